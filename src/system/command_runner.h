// Runs one external program and waits for it. The system settings change adapters through
// it, so tests replace it with a fake that records what it was asked to run.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillon {

#ifdef _WIN32
// A command line in the system ANSI code page; the runner puts "cmd.exe /c " in front of it.
using CommandLine = std::string;
#else
// A program and its arguments, started directly: no shell ever sees the arguments.
using CommandLine = std::vector<std::string>;
#endif

// How long a command may run. A command still running then is ended, together with every
// process it started, and counts as failed: a hung tool must not hold the UI thread for good.
inline constexpr std::chrono::milliseconds kCommandTimeLimit{30000};

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;

  // Runs `command` without a window, waits for it to end and returns true only when it was
  // started and ended with exit code 0. A command that cannot be started writes
  // "CreateProcess failed: " and the error code to the error stream. One still running after
  // the runner's time limit is ended with every process it started, writes "命令在 " + limit
  // in milliseconds + " 毫秒内未结束，已终止: " + the command to the error stream, and fails.
  // Nothing the command started outlives the call. The command's output is not captured.
  // Called on the UI thread, one command at a time.
  virtual bool runCommand(const CommandLine& command) = 0;
};

// The machine's runner, with `timeLimit` for each command. Windows: "cmd.exe /c " + command
// through CreateProcessA, with the system folder's cmd.exe as the program and the system folder
// as the working folder, so an elevated process never picks up a cmd.exe planted in its own or
// the current folder; cmd.exe and what it starts (netsh) run in a job object of their own.
// Elsewhere: posix_spawnp in a process group of its own, standard input and output on /dev/null.
std::unique_ptr<CommandRunner> makeSystemCommandRunner(
    std::chrono::milliseconds timeLimit = kCommandTimeLimit);

#ifndef _WIN32
// Runs `command` as the runner does and hands back what it wrote to its standard output, at most
// 64 KiB (the rest is read and dropped). True only when it was started and ended with exit code
// 0. Used to read settings that only a tool can report (gsettings, resolvectl). Bounded by
// `timeLimit` as runCommand() is.
bool readCommandOutput(const CommandLine& command, std::string* output,
                       std::chrono::milliseconds timeLimit = kCommandTimeLimit);

// readCommandOutput()'s shape, so that tests can hand canned output to the readers built on it.
using CommandOutputReader = std::function<bool(const CommandLine& command, std::string* output)>;
#endif

}  // namespace quillon
