#include <signal.h>

#include "stop_signal.h"

namespace quillon {

namespace {

volatile sig_atomic_t requested = 0;

void onSignal(int) { requested = 1; }

}  // namespace

bool installStopSignal() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  // Writes into a connection the peer has dropped must fail, not end the program.
  signal(SIGPIPE, SIG_IGN);
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

bool stopRequested() { return requested != 0; }

void stopCompleted() {}

}  // namespace quillon
