// Loopback socket helpers for tests: clients with deadlines and a scripted fake peer that
// records what arrives and answers as a test tells it. Everything binds 127.0.0.1 only, and
// every wait has a deadline so that a hang fails a test instead of blocking the run.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proxy/socket_compat.h"

namespace quillon::testing {

// Starts the socket library once for the test process (Winsock needs it; elsewhere a no-op).
void ensureSocketLayer();

// Polls `condition` every few milliseconds until it holds or timeoutMs passed; returns its last
// value.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// Connects to 127.0.0.1:`port`; an empty Socket when that fails within `timeoutMs`.
Socket connectLoopback(uint16_t port, int timeoutMs = 5000);

// Sends every byte; false when the connection failed first.
bool sendText(const Socket& socket, const std::string& text);

// Receives until `needle` has arrived, the peer closed or `timeoutMs` passed, and returns
// everything received (which may run past the needle).
std::string recvUntil(const Socket& socket, const std::string& needle, int timeoutMs = 5000);

// Receives until `count` bytes have arrived (or close / deadline); returns what arrived.
std::string recvExactly(const Socket& socket, size_t count, int timeoutMs = 5000);

// Receives until the peer closes the connection; `closed` tells whether it did so before the
// deadline, `reset` whether the connection ended in a failure (a reset) rather than a clean end
// of stream. Returns everything received.
std::string recvUntilClosed(const Socket& socket, int timeoutMs = 5000, bool* closed = nullptr,
                            bool* reset = nullptr);

// Returns a loopback port that was free a moment ago (bound and released).
uint16_t freeLoopbackPort();

// A listening socket on 127.0.0.1 with a port chosen by the system.
class LoopbackListener {
 public:
  LoopbackListener();
  uint16_t port() const { return port_; }
  bool valid() const { return socket_.valid(); }
  // Accepts one connection; an empty Socket after `timeoutMs`.
  Socket accept(int timeoutMs = 5000);

 private:
  Socket socket_;
  uint16_t port_ = 0;
};

// One accepted connection of a FakeUpstream, handed to its script on a thread of its own.
// Everything the script reads is recorded and can be looked at from the test thread.
class FakeConnection {
 public:
  FakeConnection(Socket socket, std::shared_ptr<std::atomic<bool>> stopping);

  // Reads until `needle` has arrived (or close / deadline); returns what was read by this call.
  std::string readUntil(const std::string& needle, int timeoutMs = 10000);
  // Reads until `count` bytes have arrived in this call (or close / deadline).
  std::string readExactly(size_t count, int timeoutMs = 10000);
  // Reads until the peer closes or the deadline passes; true when the peer closed.
  bool readUntilClosed(int timeoutMs = 10000);
  bool send(const std::string& bytes);
  // Closes the connection (the peer sees its end).
  void close();
  // Closes the connection with a reset (the peer's next operation on it fails).
  void reset();
  // The peer's port: the proxy's local port of this connection.
  uint16_t peerPort() const;

  // Everything received so far on this connection.
  std::string received() const;
  SocketHandle handle() const { return socket_.get(); }

 private:
  // Reads once (bounded by `deadline`); appends to the record; returns the count, 0 on close,
  // -1 on time-out or failure.
  long readOnce(std::string& into, std::chrono::steady_clock::time_point deadline);

  Socket socket_;
  std::shared_ptr<std::atomic<bool>> stopping_;
  mutable std::mutex mutex_;
  std::string received_;  // guarded by mutex_
};

// A fake upstream (or origin) on 127.0.0.1: accepts connections and runs `script` for each on
// its own thread. Destroying it closes every connection and joins every thread.
class FakeUpstream {
 public:
  using Script = std::function<void(FakeConnection&)>;

  explicit FakeUpstream(Script script);
  ~FakeUpstream();
  FakeUpstream(const FakeUpstream&) = delete;
  FakeUpstream& operator=(const FakeUpstream&) = delete;

  uint16_t port() const { return port_; }
  int connectionCount() const;
  bool waitForConnections(int count, int timeoutMs = 5000) const;
  // What connection `index` (0-based, accept order) has received so far; "" if none yet.
  std::string received(int index) const;
  // Waits until connection `index` has received at least `bytes` bytes (or holds `needle`).
  bool waitForReceived(int index, size_t bytes, int timeoutMs = 5000) const;
  bool waitForReceivedText(int index, const std::string& needle, int timeoutMs = 5000) const;
  // Waits until some connection has received `needle`: its index, or -1 at the time-out. For a
  // proxy that keeps spare connections, whose accept order says nothing of which one a session
  // took.
  int waitForAnyReceivedText(const std::string& needle, int timeoutMs = 5000) const;
  // Waits until the script of connection `index` has returned.
  bool waitForScriptEnd(int index, int timeoutMs = 5000) const;

  // Common scripts.
  // Reads a request head, records it and answers `answer`; then keeps the connection open
  // and echoes every byte back until the peer closes.
  static Script answerThenEcho(std::string answer);
  // Reads a request head, answers `answer`, and closes.
  static Script answerThenClose(std::string answer);
  // Records everything until the peer closes; never answers.
  static Script recordUntilClosed();

 private:
  struct Entry;
  void acceptLoop();

  Script script_;
  LoopbackListener listener_;
  uint16_t port_ = 0;
  std::shared_ptr<std::atomic<bool>> stopping_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Entry>> entries_;  // guarded by mutex_
  std::thread acceptThread_;
};

}  // namespace quillon::testing
