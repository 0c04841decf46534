// Captures everything written to std::cout and std::cerr while it lives, through the same
// locked buffer the program's log uses, so tests read log lines exactly as written.
#pragma once

#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "log/app_log.h"

namespace quillon::testing {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything captured so far.
  std::string text();
  // The captured text split at line feeds (a last line without one is included).
  std::vector<std::string> lines();
  // Number of captured lines equal to `line`.
  int count(const std::string& line);
  // True when some captured line equals `line`.
  bool contains(const std::string& line) { return count(line) > 0; }
  // True when some captured line starts with `prefix`.
  bool containsPrefix(const std::string& prefix);
  // Waits (up to `timeoutMs`) until `line` has been captured; returns whether it was.
  bool waitFor(const std::string& line, int timeoutMs = 5000);
  bool waitForPrefix(const std::string& prefix, int timeoutMs = 5000);
  // Forgets what was captured so far.
  void clear();

  // A pause at a known point of another thread: the next writer of a line that contains
  // `text` is held, once its line has been captured, until release() (or until `maxHoldMs`
  // passed, so that a failing test cannot hang). Every other writer waits behind it meanwhile,
  // as the log's lock stays taken. Released when the capture ends.
  void holdWriterOf(const std::string& text, int maxHoldMs = 10000);
  // Waits (up to `timeoutMs`) until a writer is held; returns whether one is.
  bool waitUntilHeld(int timeoutMs = 5000);
  // Lets the held writer go on; a hold that has not caught anyone yet is dropped.
  void release();

 private:
  class Sink;
  Sink* sink_;
  LockedStreamBuffer* locked_;
  std::streambuf* oldOut_;
  std::streambuf* oldErr_;
};

}  // namespace quillon::testing
