// Starting the proxy's threads without letting a refusal of the system end the process.
#pragma once

#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace quillon {

// The kinds of thread the proxy starts: its listener, its statistics ticker, the worker
// threads that carry client connections (sessions and their tunnels), and the worker thread
// that keeps the spare upstream connections.
enum class ProxyThread { kListener, kTicker, kSession, kSpares };

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
  } catch (const std::exception& e) {
    // std::system_error when the system refuses the thread; std::bad_alloc when its state
    // cannot be allocated.
    error = e.what();
    return false;
  }
}

}  // namespace quillon
