#include "executable_folder.h"

#include <system_error>

namespace standin {

std::filesystem::path executableFolder() {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : executable.parent_path();
}

}  // namespace standin
