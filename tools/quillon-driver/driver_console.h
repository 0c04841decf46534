// What the driver needs from the console: its arguments as UTF-8 and byte-exact output.
#ifndef QUILLON_TOOLS_DRIVER_DRIVER_CONSOLE_H_
#define QUILLON_TOOLS_DRIVER_DRIVER_CONSOLE_H_

#include <string>
#include <vector>

namespace quillon::driver {

// The command-line arguments after the program name, as UTF-8.
std::vector<std::string> utf8Arguments(int argc, char** argv);
// Makes the standard streams write exactly the bytes given (no newline translation).
void prepareConsole();

}  // namespace quillon::driver

#endif  // QUILLON_TOOLS_DRIVER_DRIVER_CONSOLE_H_
