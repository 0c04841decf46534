// How many descriptors and threads the process holds, for leak checks in the load tests, and
// how much processor time it has used.
#pragma once

namespace quillon::testing {

// The number of open descriptors of this process, or -1 where it cannot be counted exactly
// (on Windows the handle count moves with threads and the runtime's own handles).
int openDescriptorCount();

// Waits (up to timeoutMs) until openDescriptorCount() is at most `limit`; returns the last
// count seen.
int waitForDescriptorCount(int limit, int timeoutMs);

// The number of threads of this process, or -1 where it is not counted.
int threadCount();

// Raises this process's descriptor limit as far as allowed; returns the limit now in force
// (-1 where there is no such limit).
int raiseDescriptorLimit();

// The processor time (user and system, all threads) this process has used so far, in
// milliseconds; -1 when the system does not tell.
long long processCpuMilliseconds();

}  // namespace quillon::testing
