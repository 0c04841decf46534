#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "log/app_log.h"
#include "log/log_file.h"

namespace quillon {

std::string AppLog::defaultPath() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return "";
  std::string path(buffer, static_cast<size_t>(length));
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) path.resize(slash + 1);
  return path + kFileName;
}

intptr_t openAppending(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  return fd < 0 ? -1 : fd;
}

std::uint64_t appendToFile(intptr_t handle, std::string_view bytes) {
  std::uint64_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n =
        ::write(static_cast<int>(handle), bytes.data() + written, bytes.size() - written);
    if (n > 0) {
      written += static_cast<std::uint64_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;  // a full disk: the line is lost, the program goes on
    }
  }
  return written;
}

void closeAppending(intptr_t handle) { ::close(static_cast<int>(handle)); }

std::uint64_t fileSizeOrZero(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

bool replaceFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string localTimestamp() {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char text[32];
  const size_t length = strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  return std::string(text, length);
}

std::string currentCtimeText() {
  const time_t now = time(nullptr);
  char text[26] = {};
  if (ctime_r(&now, text) == nullptr) return "\n";
  return text;
}

}  // namespace quillon
