#include <dirent.h>

#include <chrono>
#include <thread>

#include "descriptor_count.h"

namespace quillon::testing {

int openDescriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the directory's own descriptor
}

int waitForDescriptorCount(int limit, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int count = openDescriptorCount();
  while (count > limit && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    count = openDescriptorCount();
  }
  return count;
}

}  // namespace quillon::testing
