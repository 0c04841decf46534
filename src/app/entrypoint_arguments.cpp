#include "app/entrypoint_arguments.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cwchar>

namespace quillon {

std::string utf8FromUtf16(const wchar_t* text) {
  if (text == nullptr) return "";
  const size_t length = std::wcslen(text);
  if (length == 0 || length > static_cast<size_t>(INT_MAX)) return "";
  const int wideLength = static_cast<int>(length);
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, wideLength, nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return "";
  std::string utf8(static_cast<size_t>(size), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, wideLength, utf8.data(), size,
                          nullptr, nullptr) != size) {
    return "";
  }
  return utf8;
}

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
