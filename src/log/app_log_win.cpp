#include <windows.h>

#include <time.h>
#include <wchar.h>

#include <mutex>
#include <string>

#include "log/app_log.h"
#include "log/log_file.h"
#include "log/wide_text.h"

namespace quillon {

std::string AppLog::defaultPath() {
  // The path is put together in UTF-16 within MAX_PATH characters and opened by its name in
  // the ANSI code page, as the narrow file stream needs.
  wchar_t modulePath[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "";
  if (wchar_t* slash = wcsrchr(modulePath, L'\\')) slash[1] = L'\0';

  wchar_t logPath[MAX_PATH] = {};
  if (wcslen(modulePath) + wcslen(L"quillon_app.log") >= MAX_PATH) return "";
  wcscpy(logPath, modulePath);
  wcscat(logPath, L"quillon_app.log");

  std::string narrowPath;
  if (!narrowFromUtf16(logPath, CodePage::kAnsi, narrowPath) || narrowPath.size() >= MAX_PATH) {
    return "";
  }
  return narrowPath;
}

intptr_t openAppending(const std::string& path) {
  // Append-only access: every write lands at the end of the file, whole, whichever thread
  // makes it. Other programs may read, write and rename the file meanwhile.
  const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(file);
}

std::uint64_t appendToFile(intptr_t handle, std::string_view bytes) {
  // Windows places each write to an append-only handle at the end of the file whole, but Wine
  // finds the end and writes there in two steps, so that writes from two threads can overwrite
  // each other: the writes are serialised here.
  static std::mutex appendMutex;
  // A text file: every line feed is stored as CR LF.
  std::string text;
  text.reserve(bytes.size() + 8);
  for (const char c : bytes) {
    if (c == '\n') text += '\r';
    text += c;
  }
  DWORD written = 0;
  std::lock_guard<std::mutex> lock(appendMutex);
  if (!WriteFile(reinterpret_cast<HANDLE>(handle), text.data(), static_cast<DWORD>(text.size()),
                 &written, nullptr)) {
    return 0;  // a full disk: the line is lost, the program goes on
  }
  return written;
}

void closeAppending(intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

std::uint64_t fileSizeOrZero(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info)) return 0;
  return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

bool replaceFile(const std::string& from, const std::string& to) {
  // Fails with a sharing violation while another program holds either file open without
  // FILE_SHARE_DELETE; the caller keeps the file and tries again later.
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string localTimestamp() {
  const __time64_t now = _time64(nullptr);
  struct tm local {};
  _localtime64_s(&local, &now);
  char text[32];
  const size_t length = strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  return std::string(text, length);
}

std::string currentCtimeText() {
  const __time64_t now = _time64(nullptr);
  char text[26] = {};
  if (_ctime64_s(text, sizeof(text), &now) != 0) return "\n";
  return text;
}

}  // namespace quillon
