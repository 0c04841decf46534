#include <windows.h>

#include <filesystem>

#include "child_process.h"

namespace quillon::testing {
namespace {

std::wstring widen(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end())).wstring();
}

// Quotes one argument so that the child's command-line parser gives it back unchanged.
std::wstring quoteArgument(const std::wstring& argument) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

std::filesystem::path resolve(const std::string& program) {
  std::filesystem::path path(widen(program));
  if (path.has_parent_path()) return path;
  wchar_t self[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::filesystem::path(std::wstring(self, length)).parent_path() / path;
}

}  // namespace

ChildProcess::~ChildProcess() { kill(); }

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& outputFile) {
  std::wstring path = resolve(program).wstring();
  std::wstring commandLine = quoteArgument(path);
  for (const std::string& argument : arguments)
    commandLine += L" " + quoteArgument(widen(argument));

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = CreateFileW(widen(outputFile).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return false;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                nullptr, nullptr, &startup, &process);
  CloseHandle(output);
  if (!started) return false;
  CloseHandle(process.hThread);
  id_ = reinterpret_cast<long long>(process.hProcess);
  return true;
}

std::optional<int> ChildProcess::wait(int timeoutMs) {
  if (id_ == 0) return std::nullopt;
  HANDLE process = reinterpret_cast<HANDLE>(id_);
  if (WaitForSingleObject(process, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  id_ = 0;
  return static_cast<int>(code);
}

void ChildProcess::kill() {
  if (id_ == 0) return;
  HANDLE process = reinterpret_cast<HANDLE>(id_);
  TerminateProcess(process, 1);
  WaitForSingleObject(process, 5000);
  CloseHandle(process);
  id_ = 0;
}

}  // namespace quillon::testing
