// Turns the platform's request to end the program (SIGINT/SIGTERM, or Ctrl+C and closing the
// console on Windows) into a flag the main loop polls.
#pragma once

namespace quillon {

// Installs the handlers; false when that failed.
bool installStopSignal();
// True once an end has been requested.
bool stopRequested();
// Tells the handler that the program has wound down (Windows waits for this before letting
// a closing console end the process).
void stopCompleted();

}  // namespace quillon
