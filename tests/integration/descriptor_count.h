// How many descriptors the process holds open, for leak checks in the load tests.
#pragma once

namespace quillon::testing {

// The number of open descriptors of this process, or -1 where it cannot be counted exactly
// (on Windows the handle count moves with threads and the runtime's own handles).
int openDescriptorCount();

// Waits (up to timeoutMs) until openDescriptorCount() is at most `limit`; returns the last
// count seen.
int waitForDescriptorCount(int limit, int timeoutMs);

}  // namespace quillon::testing
