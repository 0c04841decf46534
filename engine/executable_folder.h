// The folder of the running executable, against which the engine resolves the relative paths
// of the project it is started with.
#ifndef QUILLON_ENGINE_EXECUTABLE_FOLDER_H_
#define QUILLON_ENGINE_EXECUTABLE_FOLDER_H_

#include <filesystem>

namespace standin {

// The running executable's folder; empty when it cannot be determined.
std::filesystem::path executableFolder();

}  // namespace standin

#endif  // QUILLON_ENGINE_EXECUTABLE_FOLDER_H_
