#include "system/command_runner.h"

#include <windows.h>

#include <vector>

#include "log/app_log.h"
#include "log/log_text.h"

namespace quillon {
namespace {

// The whole command line, "cmd.exe /c " and the terminator included, must fit in this.
constexpr std::size_t kCommandLineBufferSize = 1024;

// How long to wait for the processes to go once they were told to end.
constexpr DWORD kTerminationWaitMs = 5000;

// Owns one kernel handle.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~OwnedHandle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// The system folder ("C:\Windows\System32"), or "" when it cannot be read.
std::string systemFolder() {
  char buffer[MAX_PATH];
  const UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::string(buffer, length);
}

// A job object that ends every process in it when its last handle is closed, so that nothing a
// command started outlives the runner's call; null when one cannot be made.
HANDLE createKillOnCloseJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

class HiddenCmdRunner final : public CommandRunner {
 public:
  explicit HiddenCmdRunner(std::chrono::milliseconds timeLimit) : timeLimit_(timeLimit) {}

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

    // cmd.exe starts netsh as a child of its own: ending cmd.exe alone would leave a hung netsh
    // running. "Job Objects": processes a job's process creates belong to the job too, and
    // TerminateJobObject ends them all. The child starts suspended and joins the job before it
    // runs ("AssignProcessToJobObject function (jobapi2.h)"); since Windows 8 this also works
    // when this process is itself in a job (nested jobs). Without a job only cmd.exe can be
    // ended.
    const OwnedHandle job(createKillOnCloseJob());
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(application.c_str(), buffer.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, folder.c_str(), &startup,
                        &info)) {
      logError("CreateProcess failed: ", GetLastError());
      return false;
    }
    const OwnedHandle thread(info.hThread);
    const OwnedHandle process(info.hProcess);
    const bool inJob = job.valid() && AssignProcessToJobObject(job.get(), process.get());
    ResumeThread(thread.get());

    const DWORD limitMs = static_cast<DWORD>(timeLimit_.count());
    if (WaitForSingleObject(process.get(), limitMs) != WAIT_OBJECT_0) {
      if (inJob) {
        TerminateJobObject(job.get(), 1);
      } else {
        TerminateProcess(process.get(), 1);
      }
      WaitForSingleObject(process.get(), kTerminationWaitMs);
      logError("命令在 ", timeLimit_.count(), " 毫秒内未结束，已终止: ", loggableText(command));
      return false;
    }
    // Preset to failure: an exit code that cannot be read must not count as success.
    DWORD exitCode = 1;
    if (!GetExitCodeProcess(process.get(), &exitCode)) exitCode = 1;
    // Closing the job at the end of the scope ends whatever the command left running.
    return exitCode == 0;
  }

 private:
  const std::chrono::milliseconds timeLimit_;
};

}  // namespace

std::unique_ptr<CommandRunner> makeSystemCommandRunner(std::chrono::milliseconds timeLimit) {
  return std::make_unique<HiddenCmdRunner>(timeLimit);
}

}  // namespace quillon
