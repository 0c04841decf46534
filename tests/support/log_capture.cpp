#include "log_capture.h"

#include <chrono>
#include <iostream>
#include <mutex>
#include <thread>

namespace quillon::testing {

// A string buffer whose contents may be read while other threads write through the locked
// buffer in front of it.
class LogCapture::Sink : public std::streambuf {
 public:
  std::string snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
  }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.append(s, static_cast<size_t>(n));
    return n;
  }
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const char c = traits_type::to_char_type(ch);
    xsputn(&c, 1);
    return ch;
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

LogCapture::LogCapture() : sink_(new Sink), locked_(new LockedStreamBuffer(sink_)) {
  oldOut_ = std::cout.rdbuf(locked_);
  oldErr_ = std::cerr.rdbuf(locked_);
}

LogCapture::~LogCapture() {
  std::cout.rdbuf(oldOut_);
  std::cerr.rdbuf(oldErr_);
  // Threads that a test left running (detached relays) may still hold on to the streams for a
  // moment; the buffers are kept alive and pointed nowhere rather than freed under them.
  locked_->retarget(nullptr);
  static auto* retired = new std::vector<std::pair<Sink*, LockedStreamBuffer*>>;
  retired->emplace_back(sink_, locked_);
}

std::string LogCapture::text() { return sink_->snapshot(); }

std::vector<std::string> LogCapture::lines() {
  std::vector<std::string> result;
  const std::string all = text();
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    result.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

int LogCapture::count(const std::string& line) {
  int n = 0;
  for (const auto& l : lines()) n += (l == line) ? 1 : 0;
  return n;
}

bool LogCapture::containsPrefix(const std::string& prefix) {
  for (const auto& l : lines()) {
    if (l.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

namespace {
template <typename Pred>
bool waitUntil(Pred pred, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}
}  // namespace

bool LogCapture::waitFor(const std::string& line, int timeoutMs) {
  return waitUntil([&] { return contains(line); }, timeoutMs);
}

bool LogCapture::waitForPrefix(const std::string& prefix, int timeoutMs) {
  return waitUntil([&] { return containsPrefix(prefix); }, timeoutMs);
}

void LogCapture::clear() { sink_->clear(); }

}  // namespace quillon::testing
