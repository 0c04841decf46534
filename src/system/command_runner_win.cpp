#include "system/command_runner.h"

#include <windows.h>

#include <vector>

#include "log/app_log.h"

namespace quillon {
namespace {

// The whole command line, "cmd.exe /c " and the terminator included, must fit in this.
constexpr std::size_t kCommandLineBufferSize = 1024;

// Owns the two handles CreateProcessA returns and closes them on every path.
class ProcessHandles {
 public:
  explicit ProcessHandles(const PROCESS_INFORMATION& info) : info_(info) {}
  ~ProcessHandles() {
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
  }
  ProcessHandles(const ProcessHandles&) = delete;
  ProcessHandles& operator=(const ProcessHandles&) = delete;
  HANDLE process() const { return info_.hProcess; }

 private:
  PROCESS_INFORMATION info_;
};

// The system folder ("C:\Windows\System32"), or "" when it cannot be read.
std::string systemFolder() {
  char buffer[MAX_PATH];
  const UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::string(buffer, length);
}

class HiddenCmdRunner final : public CommandRunner {
 public:
  bool runCommand(const CommandLine& command) override {
    const std::string line = "cmd.exe /c " + command;
    if (line.size() >= kCommandLineBufferSize) {
      logError("命令行过长，未执行: ", line.size(), " 字节");
      return false;
    }
    // CreateProcessA may write into the command line, so it gets its own buffer.
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');

    // Without an application name CreateProcessA looks for cmd.exe in the program's folder
    // and the current folder first; this process runs elevated, so name the system's one.
    const std::string folder = systemFolder();
    if (folder.empty()) {
      logError("CreateProcess failed: ", GetLastError());
      return false;
    }
    const std::string application = folder + "\\cmd.exe";

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(application.c_str(), buffer.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup, &info)) {
      logError("CreateProcess failed: ", GetLastError());
      return false;
    }
    const ProcessHandles handles(info);
    WaitForSingleObject(handles.process(), INFINITE);
    // Preset to failure: an exit code that cannot be read must not count as success.
    DWORD exitCode = 1;
    if (!GetExitCodeProcess(handles.process(), &exitCode)) exitCode = 1;
    return exitCode == 0;
  }
};

}  // namespace

std::unique_ptr<CommandRunner> makeSystemCommandRunner() {
  return std::make_unique<HiddenCmdRunner>();
}

}  // namespace quillon
