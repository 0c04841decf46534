#include "system/journal_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "system/network_journal.h"

namespace quillon {
namespace {

constexpr char kFolderName[] = "quillon";
constexpr char kJournalName[] = "network-settings.journal";

// Owns one file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close itself succeeded.
  bool closeNow() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

bool writeAll(int fd, const std::string& contents) {
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t written = ::write(fd, contents.data() + done, contents.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

class FileJournalStorage final : public JournalStorage {
 public:
  explicit FileJournalStorage(std::string folder)
      : folder_(std::move(folder)),
        journal_(folder_ + "/" + kJournalName),
        temporary_(journal_ + ".tmp"),
        rejected_(journal_ + ".rejected") {}

  JournalReadStatus read(std::string* contents, unsigned long* errorCode) override {
    contents->clear();
    FileDescriptor file(open(journal_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid()) {
      if (errno == ENOENT || errno == ENOTDIR) return JournalReadStatus::kAbsent;
      *errorCode = static_cast<unsigned long>(errno);
      return JournalReadStatus::kFailed;
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0) {
      *errorCode = static_cast<unsigned long>(errno);
      return JournalReadStatus::kFailed;
    }
    if (info.st_size > static_cast<off_t>(kMaxJournalBytes)) return JournalReadStatus::kTooLarge;
    char buffer[4096];
    for (;;) {
      const ssize_t got = ::read(file.get(), buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        *errorCode = static_cast<unsigned long>(errno);
        contents->clear();
        return JournalReadStatus::kFailed;
      }
      if (got == 0) break;
      contents->append(buffer, static_cast<std::size_t>(got));
      if (contents->size() > kMaxJournalBytes) {  // it grew while being read
        contents->clear();
        return JournalReadStatus::kTooLarge;
      }
    }
    return JournalReadStatus::kRead;
  }

  bool write(const std::string& contents, unsigned long* errorCode) override {
    if (!ensureFolder(errorCode)) return false;
    FileDescriptor file(
        open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid() || !writeAll(file.get(), contents) || fsync(file.get()) != 0 ||
        !file.closeNow() || rename(temporary_.c_str(), journal_.c_str()) != 0) {
      *errorCode = static_cast<unsigned long>(errno);
      unlink(temporary_.c_str());
      return false;
    }
    // The rename itself reaches the disk with the folder.
    FileDescriptor folder(open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) fsync(folder.get());
    return true;
  }

  bool remove(unsigned long* errorCode) override {
    if (unlink(journal_.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) return true;
    *errorCode = static_cast<unsigned long>(errno);
    return false;
  }

  bool overwriteInPlace(const std::string& contents, unsigned long* errorCode) override {
    FileDescriptor file(open(journal_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid() || !writeAll(file.get(), contents) ||
        ftruncate(file.get(), static_cast<off_t>(contents.size())) != 0 || fsync(file.get()) != 0 ||
        !file.closeNow()) {
      *errorCode = static_cast<unsigned long>(errno);
      return false;
    }
    return true;
  }

  bool setAside(unsigned long* errorCode) override {
    if (rename(journal_.c_str(), rejected_.c_str()) == 0) return true;
    *errorCode = static_cast<unsigned long>(errno);
    return false;
  }

 private:
  // The folder must be a real folder of this user that nobody else may enter.
  bool ensureFolder(unsigned long* errorCode) {
    if (folder_.empty() || folder_.front() != '/') {
      *errorCode = ENOENT;
      return false;
    }
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(folder_).parent_path(), ignored);
    if (mkdir(folder_.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) {
      *errorCode = static_cast<unsigned long>(errno);
      return false;
    }
    struct stat info {};
    if (lstat(folder_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
      *errorCode = ENOTDIR;
      return false;
    }
    if ((info.st_mode & 077) != 0 && chmod(folder_.c_str(), 0700) != 0) {
      *errorCode = static_cast<unsigned long>(errno);
      return false;
    }
    return true;
  }

  const std::string folder_;
  const std::string journal_;
  const std::string temporary_;
  const std::string rejected_;
};

// "$XDG_STATE_HOME/quillon" or "$HOME/.local/state/quillon"; "" without either.
std::string programStateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/" + kFolderName;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/state/" + kFolderName;
  }
  return {};
}

}  // namespace

std::unique_ptr<JournalStorage> makeSystemJournalStorage() {
  return std::make_unique<FileJournalStorage>(programStateFolder());
}

std::unique_ptr<JournalStorage> makeJournalStorageIn(const std::filesystem::path& folder) {
  return std::make_unique<FileJournalStorage>(folder.string());
}

}  // namespace quillon
