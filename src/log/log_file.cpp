#include "log/log_file.h"

#include <mutex>

namespace quillon {

RotatingLogFile::~RotatingLogFile() { close(); }

bool RotatingLogFile::open(const std::string& path, const LogRotationLimits& limits) {
  std::unique_lock<std::shared_mutex> lock(fileMutex_);
  if (handle_ != -1) closeAppending(std::exchange(handle_, -1));
  path_ = path;
  limits_ = limits;
  std::uint64_t size = fileSizeOrZero(path);
  std::uint64_t rotateAbove = limits.whileRunningBytes;
  if (size > limits.atOpenBytes) {
    if (replaceFile(path_, path_ + ".1")) {
      size = 0;
    } else {
      rotateAbove = size + limits.retryAfterBytes;
    }
  }
  size_.store(size);
  rotateAbove_.store(rotateAbove);
  handle_ = openAppending(path);
  return handle_ != -1;
}

void RotatingLogFile::close() {
  std::unique_lock<std::shared_mutex> lock(fileMutex_);
  if (handle_ != -1) closeAppending(std::exchange(handle_, -1));
}

void RotatingLogFile::append(std::string_view bytes) {
  if (bytes.empty()) return;
  bool full = false;
  {
    std::shared_lock<std::shared_mutex> lock(fileMutex_);
    if (handle_ == -1) return;
    const std::uint64_t size = size_ += appendToFile(handle_, bytes);
    full = bytes.back() == '\n' && size > rotateAbove_.load();
  }
  if (full) rotate();
}

RotatingLogFile::int_type RotatingLogFile::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  const char c = traits_type::to_char_type(ch);
  append(std::string_view(&c, 1));
  return ch;
}

std::streamsize RotatingLogFile::xsputn(const char* s, std::streamsize n) {
  append(std::string_view(s, static_cast<size_t>(n)));
  return n;
}

void RotatingLogFile::rotate() {
  std::unique_lock<std::shared_mutex> lock(fileMutex_);
  // Another writer may have moved the file while this one waited.
  if (handle_ == -1 || size_.load() <= rotateAbove_.load()) return;
  // Windows cannot rename a file this process holds open; closing also ends every write.
  closeAppending(std::exchange(handle_, -1));
  const bool moved = replaceFile(path_, path_ + ".1");
  handle_ = openAppending(path_);
  if (!moved) {
    rotateAbove_.store(size_.load() + limits_.retryAfterBytes);
    return;
  }
  size_.store(0);
  rotateAbove_.store(limits_.whileRunningBytes);
  if (handle_ != -1) {
    const std::string moved = path_ + ".1";
    const size_t slash = moved.find_last_of("/\\");
    const std::string_view name =
        std::string_view(moved).substr(slash == std::string::npos ? 0 : slash + 1);
    size_ += appendToFile(handle_, continued_(name) + "\n");
  }
}

}  // namespace quillon
