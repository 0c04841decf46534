// The process's command-line arguments as the UI receives them: UTF-8 texts, in order,
// without the program path (Windows only).
#pragma once

#include <string>
#include <vector>

namespace quillon {

// Splits `commandLine` by the system's rules, drops the first element (the program path) and
// converts the rest to UTF-8 (utf8FromUtf16), keeping an empty text in place of any argument that
// cannot be converted. A command line that cannot be split gives no arguments.
std::vector<std::string> entrypointArgumentsFrom(const wchar_t* commandLine);

// entrypointArgumentsFrom() for the command line of this process.
std::vector<std::string> processEntrypointArguments();

}  // namespace quillon
