#include <windows.h>

#include "descriptor_count.h"

namespace quillon::testing {

int openDescriptorCount() { return -1; }

int waitForDescriptorCount(int, int) { return -1; }

int threadCount() { return -1; }

int raiseDescriptorLimit() { return -1; }

long long processCpuMilliseconds() {
  // GetProcessTimes (processthreadsapi.h): kernel and user times summed over the process's
  // threads, in 100-nanosecond units; zero on failure, and the pseudo-handle of the current
  // process carries the access right it needs.
  FILETIME created{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  const auto units = [](const FILETIME& t) {
    return (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return (units(kernel) + units(user)) / 10000;
}

}  // namespace quillon::testing
