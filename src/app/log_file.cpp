#include "app/log_file.h"

#include <ios>

namespace quillon {

bool RotatingLogFile::open(const std::string& path, const LogRotationLimits& limits) {
  close();
  path_ = path;
  limits_ = limits;
  size_ = fileSizeOrZero(path);
  rotateAbove_ = limits.whileRunningBytes;
  if (size_ > limits.atOpenBytes) {
    if (moveAside()) {
      size_ = 0;
    } else {
      rotateAbove_ = size_ + limits.retryAfterBytes;
    }
  }
  // Text mode: on Windows every line feed is stored as CR LF. The C runtime opens the file
  // shared for reading and writing, so other programs can read and tail it meanwhile.
  return file_.open(path, std::ios::out | std::ios::app) != nullptr;
}

void RotatingLogFile::close() {
  if (file_.is_open()) file_.close();
}

RotatingLogFile::int_type RotatingLogFile::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  const char c = traits_type::to_char_type(ch);
  return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
}

std::streamsize RotatingLogFile::xsputn(const char* s, std::streamsize n) {
  const std::streamsize written = file_.sputn(s, n);
  if (written > 0) size_ += static_cast<std::uint64_t>(written);
  if (written == n && n > 0 && s[n - 1] == '\n' && size_ > rotateAbove_) rotate();
  return written;
}

int RotatingLogFile::sync() { return file_.pubsync(); }

bool RotatingLogFile::moveAside() { return replaceFile(path_, path_ + ".1"); }

void RotatingLogFile::rotate() {
  // Closing flushes every line written so far into the file that is moved aside.
  file_.close();
  const bool moved = moveAside();
  if (file_.open(path_, std::ios::out | std::ios::app) == nullptr) return;
  if (!moved) {
    rotateAbove_ = size_ + limits_.retryAfterBytes;
    return;
  }
  size_ = 0;
  rotateAbove_ = limits_.whileRunningBytes;
  const std::string banner = banner_() + "\n";
  const std::streamsize written =
      file_.sputn(banner.data(), static_cast<std::streamsize>(banner.size()));
  if (written > 0) size_ += static_cast<std::uint64_t>(written);
}

}  // namespace quillon
