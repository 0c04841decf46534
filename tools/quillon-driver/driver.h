// The UI driver: a command-line client of the engine stand-in's UI link.
//
//   quillon-driver --port-file FILE call CHANNEL METHOD [ARGS] [--timeout SECONDS]
//       Sends one method call (ARGS in the notation of value_text.h; none means null) and prints
//       the reply as one line:
//         {"result":"success","value":V}
//         {"result":"error","code":C,"message":M,"details":D}
//         {"result":"notImplemented"}
//   quillon-driver --port-file FILE watch CHANNEL [--count N] [--timeout SECONDS]
//       Prints each method call the program sends on CHANNEL as one line
//       {"method":M,"arguments":V}; ends after N of them, or when the program closes the link.
//
// Every wait is bounded by the time-out (default 10 seconds). Exit codes: 0 done, 1 bad command
// line or argument text, 2 link failure (missing or stale port file, refused token, closed link,
// undecodable reply), 3 time-out.
#ifndef QUILLON_TOOLS_DRIVER_DRIVER_H_
#define QUILLON_TOOLS_DRIVER_DRIVER_H_

#include <ostream>
#include <string>
#include <vector>

namespace quillon::driver {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitLink = 2;
inline constexpr int kExitTimeout = 3;

// Runs the driver with `arguments` (UTF-8, without the program name); results go to `out`,
// complaints to `err`. Returns the exit code.
int runDriver(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace quillon::driver

#endif  // QUILLON_TOOLS_DRIVER_DRIVER_H_
