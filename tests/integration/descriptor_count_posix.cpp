#include <dirent.h>
#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "descriptor_count.h"

namespace quillon::testing {

namespace {

int entriesOf(const char* directory) {
  DIR* dir = ::opendir(directory);
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace

int openDescriptorCount() {
  const int count = entriesOf("/proc/self/fd");
  return count < 0 ? count : count - 1;  // the directory's own descriptor
}

int threadCount() { return entriesOf("/proc/self/task"); }

int raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ::getrlimit(RLIMIT_NOFILE, &limit);
  return static_cast<int>(limit.rlim_cur);
}

long long processCpuMilliseconds() {
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  const auto ms = [](const timeval& t) {
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_usec / 1000;
  };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
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
