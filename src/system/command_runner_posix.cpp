#include "system/command_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "log/app_log.h"

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
  // either, and its output must not reach the terminal this process was started from. With
  // `outputPipe` (the write end of a pipe) standard output goes there instead.
  bool silenceStandardStreams(int outputPipe = -1) {
    if (!ok_ || posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) != 0) {
      return false;
    }
    const int outputSet =
        outputPipe >= 0 ? posix_spawn_file_actions_adddup2(&actions_, outputPipe, 1)
                        : posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0);
    return outputSet == 0 &&
           posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0) == 0;
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

// Owns one file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

constexpr std::size_t kMaxCommandOutput = 64 * 1024;

// Starts `command` and waits for it; with `output`, its standard output is read (bounded) until
// it closes. True when it ran and ended with exit code 0.
bool spawnAndWait(const CommandLine& command, std::string* output) {
  if (command.empty()) {
    logError("CreateProcess failed: ", EINVAL);
    return false;
  }
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  int ends[2] = {-1, -1};
  if (output != nullptr && pipe2(ends, O_CLOEXEC) != 0) {
    logError("CreateProcess failed: ", errno);
    return false;
  }
  Descriptor readEnd(ends[0]);
  Descriptor writeEnd(ends[1]);
  FileActions actions;
  if (!actions.silenceStandardStreams(writeEnd.get())) {
    logError("CreateProcess failed: ", ENOMEM);
    return false;
  }
  pid_t child = 0;
  const int result = posix_spawnp(&child, argv[0], actions.get(), nullptr, argv.data(), environ);
  writeEnd.reset();  // the child holds its own copy; the read below ends when it closes it
  if (result != 0) {
    logError("CreateProcess failed: ", result);
    return false;
  }
  if (output != nullptr) {
    output->clear();
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(readEnd.get(), buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      const std::size_t room = kMaxCommandOutput - std::min(kMaxCommandOutput, output->size());
      output->append(buffer, std::min(room, static_cast<std::size_t>(got)));
    }
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class SpawnRunner final : public CommandRunner {
 public:
  bool runCommand(const CommandLine& command) override { return spawnAndWait(command, nullptr); }
};

}  // namespace

std::unique_ptr<CommandRunner> makeSystemCommandRunner() { return std::make_unique<SpawnRunner>(); }

bool readCommandOutput(const CommandLine& command, std::string* output) {
  return spawnAndWait(command, output);
}

}  // namespace quillon
