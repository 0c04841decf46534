#include <windows.h>
// shellapi.h needs the basic Windows types first.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "driver_console.h"

namespace quillon::driver {

std::vector<std::string> utf8Arguments(int, char**) {
  // The narrow argv is in the ANSI code page; the wide command line keeps every character.
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return arguments;
  for (int i = 1; i < count; ++i) {
    int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), size, nullptr, nullptr);
    text.resize(text.size() - 1);  // the terminator
    arguments.push_back(std::move(text));
  }
  LocalFree(wide);
  return arguments;
}

void prepareConsole() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace quillon::driver
