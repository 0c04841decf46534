// The log file itself: an appending text file that is moved aside to "<path>.1" when it has
// grown too large, and begun again with a line that says so.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>

#include "log/app_log.h"

namespace quillon {

// Appends whole lines to one text file (on Windows every line feed is stored as CR LF), each
// with one write of the system, so that a completed line is in the file even if the process is
// killed right after. Appends from any number of threads go on side by side where the system
// places each at the end of the file whole (O_APPEND); the Windows part serialises its writes.
//
// When the file is too large it is moved aside: it becomes "<path>.1", replacing an older one,
// and a new file is begun with the line `continued` gives for the moved file's name. A move
// happens only after a write that ends in a line feed, so no completed line is lost or split; a
// move that the system refuses leaves the file in use. Sizes are counted, not asked of the system,
// so a write costs no extra system call.
//
// It is also a stream buffer (for the log's LockedStreamBuffer); it buffers nothing.
class RotatingLogFile : public std::streambuf {
 public:
  explicit RotatingLogFile(std::function<std::string(std::string_view earlierFile)> continued)
      : continued_(std::move(continued)) {}
  ~RotatingLogFile() override;

  // Opens `path` for appending, creating it when missing; a file larger than
  // `limits.atOpenBytes` is moved aside first. Closes a file opened earlier. Writes nothing.
  bool open(const std::string& path, const LogRotationLimits& limits);
  void close();

  // Appends `bytes` (whole lines). Any thread; dropped when no file is open.
  void append(std::string_view bytes);

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;

 private:
  // Moves the file aside and begins a new one; on a refused move, keeps the file and sets
  // the next attempt.
  void rotate();

  std::function<std::string(std::string_view earlierFile)> continued_;
  // Held shared by every append and exclusively to open, close or move the file.
  std::shared_mutex fileMutex_;
  intptr_t handle_ = -1;  // the platform's file handle; guarded by fileMutex_
  std::string path_;      // written under fileMutex_ held exclusively
  LogRotationLimits limits_;
  std::atomic<std::uint64_t> size_{0};         // bytes in the file: at open plus written
  std::atomic<std::uint64_t> rotateAbove_{0};  // a size past which a line end moves the file
};

// Platform parts, in app_log_posix.cpp and app_log_win.cpp.
// Opens `path` for appending (created when missing; other programs may read, write and rename
// it meanwhile); -1 when it cannot be opened.
intptr_t openAppending(const std::string& path);
// Appends `bytes` with one write (on Windows each line feed as CR LF); the bytes the file grew.
std::uint64_t appendToFile(intptr_t handle, std::string_view bytes);
void closeAppending(intptr_t handle);
// The size of the file at `path` in bytes; 0 when there is none.
std::uint64_t fileSizeOrZero(const std::string& path);
// Renames `from` to `to`, replacing a file of that name; false when the system refused.
bool replaceFile(const std::string& from, const std::string& to);

}  // namespace quillon
