// The process log: one text file "quillon_app.log" beside the executable, written through
// std::cout (events) and std::cerr (failures), which share the file's stream buffer.
#pragma once

#include <charconv>
#include <cstdint>
#include <iostream>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace quillon {

// Forwards every write to a target buffer while holding one mutex. It has no put area of
// its own, so each ostream::write() reaches the target as one indivisible call; that is what
// keeps whole lines from different threads apart. A failing target is remembered and later
// writes are dropped, so a log that could not be opened costs nothing and reports nothing.
class LockedStreamBuffer : public std::streambuf {
 public:
  explicit LockedStreamBuffer(std::streambuf* target) : target_(target) {}

  // Points the buffer at another target (or none); used when the log is reopened.
  void retarget(std::streambuf* target);

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  std::mutex mutex_;
  std::streambuf* target_;  // guarded by mutex_, not owned
  bool failed_ = false;     // guarded by mutex_
};

// When the log file is moved aside. Sizes count the bytes handed to the file; on Windows the
// file on disk is larger by one CR per line.
struct LogRotationLimits {
  // A file larger than this when the log is opened is moved aside before anything is written.
  std::uint64_t atOpenBytes = 16u << 20;
  // A file that grows past this while the program runs is moved aside after the line that
  // crossed it.
  std::uint64_t whileRunningBytes = 32u << 20;
  // When a move fails (on Windows, another program holds the file without delete sharing),
  // writing goes on in the same file and the move is tried again after this many more bytes.
  std::uint64_t retryAfterBytes = 1u << 20;
};

class AppLog {
 public:
  static constexpr const char* kFileName = "quillon_app.log";

  // Opens the log beside the executable, attaches std::cout and std::cerr to it and writes
  // the start banner. The entry function calls this before anything else. A log that cannot
  // be opened leaves both streams attached to a dead buffer: the program runs on silently.
  // A file larger than 16 MiB at start-up, or grown past 32 MiB while the program runs, is
  // moved aside to "quillon_app.log.1" (replacing an older one) and begun again: at start-up
  // with the banner, while running with the continued line (continuedText).
  static void open();

  // The same with an explicit file path and size limits; open() uses it, and tests point it
  // at scratch files with small limits. Calling it again closes the earlier file first.
  static void openAt(const std::string& path, const LogRotationLimits& limits = {});

  // The log path beside the running executable ("" when it cannot be determined).
  static std::string defaultPath();

  // The banner text written at every start: "\n\n=== Application started at " + ctime + "===".
  static std::string bannerText();

  // The line that begins the file when the log moves on to a new one while the program runs,
  // so that it does not read as a restart: "=== Log continued at " + the ctime date +
  // ", earlier lines in " + `earlierFile` + " ===".
  static std::string continuedText(std::string_view earlierFile);
};

// Writes `line` (ending in a line feed) to `stream` in one write, followed by a flush. When the
// stream is attached to the process's log, the line goes straight to the file with one append
// of the system. Safe from any thread once the log is open.
void emitLogLine(std::ostream& stream, std::string_view line);

namespace log_detail {

inline void appendPiece(std::string& line, std::string_view text) { line.append(text); }
inline void appendPiece(std::string& line, const char* text) { line.append(text); }
inline void appendPiece(std::string& line, const std::string& text) { line.append(text); }
inline void appendPiece(std::string& line, char c) { line.push_back(c); }

// Integers in plain decimal, as the stream writes them by default; anything else through a
// stream, with its default formatting.
template <typename Piece>
void appendPiece(std::string& line, const Piece& piece) {
  if constexpr (std::is_integral_v<Piece> && !std::is_same_v<Piece, bool>) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, piece);
    line.append(digits, result.ptr);
  } else {
    std::ostringstream text;
    text << piece;
    line += std::move(text).str();
  }
}

}  // namespace log_detail

// Writes one line, its pieces concatenated with default stream formatting, as one write
// followed by a flush (emitLogLine). Safe from any thread once the log is open.
template <typename... Pieces>
void writeLogLine(std::ostream& stream, const Pieces&... pieces) {
  std::string line;
  line.reserve(128);
  (log_detail::appendPiece(line, pieces), ...);
  line.push_back('\n');
  emitLogLine(stream, line);
}

// An ordinary event line on std::cout.
template <typename... Pieces>
void logLine(const Pieces&... pieces) {
  writeLogLine(std::cout, pieces...);
}

// A failure line on std::cerr.
template <typename... Pieces>
void logError(const Pieces&... pieces) {
  writeLogLine(std::cerr, pieces...);
}

// Local wall-clock time to the second as "%Y-%m-%d %H:%M:%S".
std::string localTimestamp();

// The C library's ctime() text of the current local time: 24 characters and a newline.
std::string currentCtimeText();

}  // namespace quillon
