// Starting the proxy's threads without letting a refusal of the system end the process.
#pragma once

#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace quillon {

enum class ProxyThread { kListener, kTicker, kSession, kClientRelay, kUpstreamRelay };

// Test seam: the next launch of a thread of this kind fails as if the system had refused it.
void failNextThreadLaunch(ProxyThread kind);
// Consumes a failure set by failNextThreadLaunch(); true when there was one.
bool takeInjectedLaunchFailure(ProxyThread kind);

// Starts `body` on a new thread held by `out`. When the thread cannot be created, returns false
// with the reason in `error`; `body` is then destroyed without having run.
template <typename Body>
bool launchThread(ProxyThread kind, std::thread& out, std::string& error, Body&& body) {
  if (takeInjectedLaunchFailure(kind)) {
    error = std::make_error_code(std::errc::resource_unavailable_try_again).message();
    return false;
  }
  try {
    out = std::thread(std::forward<Body>(body));
    return true;
  } catch (const std::system_error& e) {
    error = e.what();
    return false;
  }
}

}  // namespace quillon
