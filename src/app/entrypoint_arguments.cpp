#include "app/entrypoint_arguments.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "log/wide_text.h"

namespace quillon {

std::vector<std::string> entrypointArgumentsFrom(const wchar_t* commandLine) {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** elements = CommandLineToArgvW(commandLine, &count);
  if (elements == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(utf8FromUtf16(elements[i]));
  LocalFree(elements);
  return arguments;
}

std::vector<std::string> processEntrypointArguments() {
  return entrypointArgumentsFrom(GetCommandLineW());
}

}  // namespace quillon
