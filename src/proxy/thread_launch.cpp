#include "proxy/thread_launch.h"

#include <atomic>

namespace quillon {

namespace {

std::atomic<unsigned> injectedFailures{0};

unsigned bitOf(ProxyThread kind) { return 1u << static_cast<unsigned>(kind); }

}  // namespace

void failNextThreadLaunch(ProxyThread kind) { injectedFailures.fetch_or(bitOf(kind)); }

bool takeInjectedLaunchFailure(ProxyThread kind) {
  return (injectedFailures.fetch_and(~bitOf(kind)) & bitOf(kind)) != 0;
}

}  // namespace quillon
