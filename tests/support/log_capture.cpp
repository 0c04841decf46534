#include "log_capture.h"

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string_view>
#include <thread>

namespace quillon::testing {

// A string buffer whose contents may be read while other threads write through the locked
// buffer in front of it. Each line arrives in one write (the log writes whole lines), which is
// what the hold looks at.
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
  void hold(const std::string& text, int maxHoldMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdText_ = text;
    maxHold_ = std::chrono::milliseconds(maxHoldMs);
    armed_ = true;
    released_ = false;
  }
  bool waitUntilHeld(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return held_; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
    released_ = true;
    changed_.notify_all();
  }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::unique_lock<std::mutex> lock(mutex_);
    text_.append(s, static_cast<size_t>(n));
    if (armed_ &&
        std::string_view(s, static_cast<size_t>(n)).find(holdText_) != std::string_view::npos) {
      armed_ = false;
      held_ = true;
      changed_.notify_all();
      // The wait gives up mutex_, so the test reads the log while this writer waits.
      changed_.wait_for(lock, maxHold_, [&] { return released_; });
      held_ = false;
    }
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
  std::condition_variable changed_;
  // All guarded by mutex_.
  std::string text_;
  std::string holdText_;
  std::chrono::milliseconds maxHold_{0};
  bool armed_ = false;     // the next line containing holdText_ is held
  bool held_ = false;      // a writer is held now
  bool released_ = false;  // release() was called since hold()
};

LogCapture::LogCapture() : sink_(new Sink), locked_(new LockedStreamBuffer(sink_)) {
  oldOut_ = std::cout.rdbuf(locked_);
  oldErr_ = std::cerr.rdbuf(locked_);
}

LogCapture::~LogCapture() {
  sink_->release();
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

void LogCapture::holdWriterOf(const std::string& text, int maxHoldMs) {
  sink_->hold(text, maxHoldMs);
}

bool LogCapture::waitUntilHeld(int timeoutMs) { return sink_->waitUntilHeld(timeoutMs); }

void LogCapture::release() { sink_->release(); }

}  // namespace quillon::testing
