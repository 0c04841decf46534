#include <windows.h>

#include <atomic>

#include "stop_signal.h"

namespace quillon {

namespace {

std::atomic<bool> requested{false};
HANDLE completed = nullptr;

BOOL WINAPI onConsoleEvent(DWORD type) {
  requested.store(true);
  // For Ctrl+C and Ctrl+Break the process goes on; for a closing console, logoff or shutdown it
  // ends when this returns, so wait (bounded by the system anyway) for the main loop to stop.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    if (completed != nullptr) ::WaitForSingleObject(completed, 4000);
  }
  return TRUE;
}

}  // namespace

bool installStopSignal() {
  completed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return ::SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

bool stopRequested() { return requested.load(); }

void stopCompleted() {
  if (completed != nullptr) ::SetEvent(completed);
}

}  // namespace quillon
