#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "child_process.h"

namespace quillon::testing {

ChildProcess::~ChildProcess() { kill(); }

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& outputFile) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return false;
  id_ = pid;
  return true;
}

std::optional<int> ChildProcess::wait(int timeoutMs) {
  if (id_ == 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(static_cast<pid_t>(id_), &status, WNOHANG);
    if (done == static_cast<pid_t>(id_)) {
      id_ = 0;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (done < 0 || std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ChildProcess::kill() {
  if (id_ == 0) return;
  ::kill(static_cast<pid_t>(id_), SIGKILL);
  int status = 0;
  waitpid(static_cast<pid_t>(id_), &status, 0);
  id_ = 0;
}

}  // namespace quillon::testing
