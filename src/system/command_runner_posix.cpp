#include "system/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "log/app_log.h"
#include "log/log_text.h"

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

// How often the exit of a child is looked for where the kernel cannot signal it (no pidfd).
constexpr int kExitCheckSliceMs = 20;

// Owns a spawn attributes object that puts the child in a process group of its own, so that
// the child and everything it starts can be ended together.
class OwnGroupAttributes {
 public:
  OwnGroupAttributes() {
    ok_ = posix_spawnattr_init(&attributes_) == 0;
    if (ok_) {
      ok_ = posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETPGROUP) == 0 &&
            posix_spawnattr_setpgroup(&attributes_, 0) == 0;
    }
  }
  ~OwnGroupAttributes() { posix_spawnattr_destroy(&attributes_); }
  OwnGroupAttributes(const OwnGroupAttributes&) = delete;
  OwnGroupAttributes& operator=(const OwnGroupAttributes&) = delete;
  bool ok() const { return ok_; }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
  bool ok_ = false;
};

std::string commandText(const CommandLine& command) {
  std::string text;
  for (const std::string& word : command) text += (text.empty() ? "" : " ") + word;
  return text;
}

// Appends what is readable on `fd` to `output` (bounded); false once the writers closed it.
bool drainOutput(int fd, std::string* output) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (got <= 0) return false;
    const std::size_t room = kMaxCommandOutput - std::min(kMaxCommandOutput, output->size());
    output->append(buffer, std::min(room, static_cast<std::size_t>(got)));
  }
}

// Waits until `child` has ended and, with `output`, its standard output is closed, at most until
// `deadline`. True when both happened in time; `status` is then the child's wait status.
bool waitBounded(pid_t child, int outputFd, std::string* output,
                 std::chrono::steady_clock::time_point deadline, int* status) {
  // A pidfd becomes readable when the child ends, so the wait needs no polling loop; kernels
  // before 5.3 lack it, and then the exit is looked for in short slices.
  Descriptor exitFd(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
  bool exited = false;
  bool outputOpen = outputFd >= 0;
  while (!exited || outputOpen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[2];
    nfds_t count = 0;
    if (outputOpen) fds[count++] = {outputFd, POLLIN, 0};
    const bool watchExit = !exited && exitFd.get() >= 0;
    if (watchExit) fds[count++] = {exitFd.get(), POLLIN, 0};
    int timeout = static_cast<int>(std::min<long long>(left.count(), 60 * 60 * 1000));
    if (!exited && exitFd.get() < 0) timeout = std::min(timeout, kExitCheckSliceMs);
    const int ready = poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0 && outputOpen && fds[0].revents != 0) outputOpen = drainOutput(outputFd, output);
    if (!exited) {
      const pid_t done = waitpid(child, status, WNOHANG);
      if (done == child) exited = true;
      if (done < 0 && errno != EINTR) return false;
    }
  }
  return true;
}

// Starts `command` in a process group of its own and waits for it, at most `timeLimit`; with
// `output`, its standard output is read (bounded) until it closes. True when it ran and ended
// with exit code 0. Whatever of the group is still running at the end is killed.
bool spawnAndWait(const CommandLine& command, std::string* output,
                  std::chrono::milliseconds timeLimit) {
  if (command.empty()) {
    logError("CreateProcess failed: ", EINVAL);
    return false;
  }
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  int ends[2] = {-1, -1};
  if (output != nullptr && pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    logError("CreateProcess failed: ", errno);
    return false;
  }
  Descriptor readEnd(ends[0]);
  Descriptor writeEnd(ends[1]);
  FileActions actions;
  OwnGroupAttributes attributes;
  if (!actions.silenceStandardStreams(writeEnd.get()) || !attributes.ok()) {
    logError("CreateProcess failed: ", ENOMEM);
    return false;
  }
  // The child's end of the pipe must block as usual; only this side reads without blocking.
  if (writeEnd.get() >= 0) fcntl(writeEnd.get(), F_SETFL, 0);
  pid_t child = 0;
  const int result =
      posix_spawnp(&child, argv[0], actions.get(), attributes.get(), argv.data(), environ);
  writeEnd.reset();  // the child holds its own copy; reading ends when it closes it
  if (result != 0) {
    logError("CreateProcess failed: ", result);
    return false;
  }
  if (output != nullptr) output->clear();
  int status = 0;
  const bool finished = waitBounded(child, readEnd.get(), output,
                                    std::chrono::steady_clock::now() + timeLimit, &status);
  // The group is named by the child's id, which stays reserved while any member lives; killing
  // it ends what the command started and, after a time-out, the command itself.
  kill(-child, SIGKILL);
  if (!finished) {
    kill(child, SIGKILL);  // also when its group could not be made
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    logError("命令在 ", timeLimit.count(),
             " 毫秒内未结束，已终止: ", loggableText(commandText(command)));
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class SpawnRunner final : public CommandRunner {
 public:
  explicit SpawnRunner(std::chrono::milliseconds timeLimit) : timeLimit_(timeLimit) {}
  bool runCommand(const CommandLine& command) override {
    return spawnAndWait(command, nullptr, timeLimit_);
  }

 private:
  const std::chrono::milliseconds timeLimit_;
};

}  // namespace

std::unique_ptr<CommandRunner> makeSystemCommandRunner(std::chrono::milliseconds timeLimit) {
  return std::make_unique<SpawnRunner>(timeLimit);
}

bool readCommandOutput(const CommandLine& command, std::string* output,
                       std::chrono::milliseconds timeLimit) {
  return spawnAndWait(command, output, timeLimit);
}

}  // namespace quillon
