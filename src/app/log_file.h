// The log file itself: an appending text file that is moved aside to "<path>.1" when it has
// grown too large, and begun again with a banner.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <streambuf>
#include <string>
#include <utility>

#include "app/app_log.h"

namespace quillon {

// A stream buffer that appends to one text file (on Windows in text mode: every line feed is
// stored as CR LF) and moves it aside when it is too large: the file becomes "<path>.1",
// replacing an older one, and a new file is begun with `banner`'s text and a line feed. A move
// happens only after a write that ends in a line feed, with everything written before it
// flushed into the old file, so no completed line is lost or split; a move that the system
// refuses leaves the file in use. Sizes are counted, not asked of the system, so a write costs
// no extra system call.
//
// Not thread-safe: the log's LockedStreamBuffer serialises every call.
class RotatingLogFile : public std::streambuf {
 public:
  explicit RotatingLogFile(std::function<std::string()> banner) : banner_(std::move(banner)) {}

  // Opens `path` for appending, creating it when missing; a file larger than
  // `limits.atOpenBytes` is moved aside first. Closes a file opened earlier. Writes nothing.
  bool open(const std::string& path, const LogRotationLimits& limits);
  void close();

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  // Moves the file aside and begins a new one; on a refused move, keeps the file and sets
  // the next attempt.
  void rotate();
  // Renames `path_` to "<path_>.1"; the file must be closed (Windows cannot rename a file
  // this process holds open).
  bool moveAside();

  std::function<std::string()> banner_;
  std::filebuf file_;
  std::string path_;
  LogRotationLimits limits_;
  std::uint64_t size_ = 0;         // bytes in the file: its size at open plus what was written
  std::uint64_t rotateAbove_ = 0;  // a size past which the next line end moves the file
};

// Platform parts, in app_log_posix.cpp and app_log_win.cpp.
// The size of the file at `path` in bytes; 0 when there is none.
std::uint64_t fileSizeOrZero(const std::string& path);
// Renames `from` to `to`, replacing a file of that name; false when the system refused.
bool replaceFile(const std::string& from, const std::string& to);

}  // namespace quillon
