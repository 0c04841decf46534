#include "system/command_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "app/app_log.h"

extern char** environ;

namespace quillon {
namespace {

// Owns a spawn file-actions object for the duration of one start.
class FileActions {
 public:
  FileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~FileActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  // Points standard input, output and error at /dev/null: the child has no window here
  // either, and its output must not reach the terminal this process was started from.
  bool silenceStandardStreams() {
    return ok_ && posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
           posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) == 0 &&
           posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0) == 0;
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

class SpawnRunner final : public CommandRunner {
 public:
  bool runCommand(const CommandLine& command) override {
    if (command.empty()) {
      logError("CreateProcess failed: ", EINVAL);
      return false;
    }
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    FileActions actions;
    if (!actions.silenceStandardStreams()) {
      logError("CreateProcess failed: ", ENOMEM);
      return false;
    }
    pid_t child = 0;
    const int result = posix_spawnp(&child, argv[0], actions.get(), nullptr, argv.data(), environ);
    if (result != 0) {
      logError("CreateProcess failed: ", result);
      return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

}  // namespace

std::unique_ptr<CommandRunner> makeSystemCommandRunner() { return std::make_unique<SpawnRunner>(); }

}  // namespace quillon
