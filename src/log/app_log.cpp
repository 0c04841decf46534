#include "log/app_log.h"

#include <iostream>

#include "log/log_file.h"

namespace quillon {

void LockedStreamBuffer::retarget(std::streambuf* target) {
  std::lock_guard<std::mutex> lock(mutex_);
  target_ = target;
  failed_ = false;
}

LockedStreamBuffer::int_type LockedStreamBuffer::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  const char c = traits_type::to_char_type(ch);
  xsputn(&c, 1);
  return ch;
}

std::streamsize LockedStreamBuffer::xsputn(const char* s, std::streamsize n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (target_ != nullptr && !failed_ && target_->sputn(s, n) != n) failed_ = true;
  // The caller is always told the write went through: a dead log must not put the shared
  // std::cout/std::cerr into a failed state that many threads would then race to update.
  return n;
}

int LockedStreamBuffer::sync() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (target_ != nullptr && !failed_ && target_->pubsync() != 0) failed_ = true;
  return 0;
}

namespace {

// The log file and the locked buffer live for the whole process and are never destroyed or
// closed: detached pool threads may still write a line while the runtime runs its exit
// handlers, and a closed handle's number could by then belong to another file. The system
// closes the file when the process ends; nothing is buffered, so nothing is lost.
struct LogState {
  RotatingLogFile file{&AppLog::continuedText};
  LockedStreamBuffer locked{&file};
};

LogState& logState() {
  static LogState* state = new LogState;
  return *state;
}

}  // namespace

void emitLogLine(std::ostream& stream, std::string_view line) {
  LogState& state = logState();
  if (stream.rdbuf() == &state.locked) {
    // The process's own log: one append of the system, with no lock shared among writers.
    state.file.append(line);
    return;
  }
  stream.write(line.data(), static_cast<std::streamsize>(line.size()));
  stream.flush();
}

std::string AppLog::bannerText() {
  return "\n\n=== Application started at " + currentCtimeText() + "===";
}

std::string AppLog::continuedText(std::string_view earlierFile) {
  std::string date = currentCtimeText();
  if (!date.empty() && date.back() == '\n') date.pop_back();
  std::string line = "=== Log continued at " + date + ", earlier lines in ";
  line.append(earlierFile);
  line += " ===";
  return line;
}

void AppLog::openAt(const std::string& path, const LogRotationLimits& limits) {
  LogState& state = logState();
  state.file.open(path, limits);
  std::cout.rdbuf(&state.locked);
  std::cerr.rdbuf(&state.locked);
  logLine(bannerText());
}

void AppLog::open() { openAt(defaultPath()); }

}  // namespace quillon
