#include "loopback.h"

#include <chrono>
#include <cstring>

#include "proxy/session_io.h"

namespace quillon::testing {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_in loopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

constexpr long kTimedOut = -2;

// Reads once from `socket` into `into`, waiting at most until `deadline`. Returns the count,
// 0 when the peer closed, kTimedOut after the deadline and -1 on failure.
long readSome(SocketHandle socket, std::string& into, Clock::time_point deadline) {
  const int ready = waitReadable(socket, msLeft(deadline));
  if (ready == 0) return kTimedOut;
  if (ready < 0) return -1;
  char buffer[16384];
  const long n = recvSome(socket, buffer, sizeof buffer);
  if (n > 0) into.append(buffer, static_cast<size_t>(n));
  return n < 0 ? -1 : n;
}

template <typename Done>
std::string readWhile(SocketHandle socket, int timeoutMs, Done done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string received;
  while (!done(received)) {
    if (readSome(socket, received, deadline) <= 0) break;
  }
  return received;
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void ensureSocketLayer() {
  static const bool started = socketLayerStartup();
  (void)started;
}

Socket connectLoopback(uint16_t port, int timeoutMs) {
  ensureSocketLayer();
  Socket socket(openTcpSocket());
  if (!socket.valid()) return {};
  const sockaddr_in address = loopbackAddress(port);
  if (!setSocketBlocking(socket.get(), false) ||
      connectWithin(socket.get(), address, deadlineIn(timeoutMs), nullptr) != IoResult::kDone ||
      !setSocketBlocking(socket.get(), true)) {
    return {};
  }
  return socket;
}

bool sendText(const Socket& socket, const std::string& text) {
  return sendAll(socket.get(), text.data(), text.size()) == text.size();
}

std::string recvUntil(const Socket& socket, const std::string& needle, int timeoutMs) {
  return readWhile(socket.get(), timeoutMs, [&](const std::string& received) {
    return received.find(needle) != std::string::npos;
  });
}

std::string recvExactly(const Socket& socket, size_t count, int timeoutMs) {
  return readWhile(socket.get(), timeoutMs,
                   [&](const std::string& received) { return received.size() >= count; });
}

std::string recvUntilClosed(const Socket& socket, int timeoutMs, bool* closed, bool* reset) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string received;
  long n = 1;
  while (n > 0) n = readSome(socket.get(), received, deadline);
  // A reset counts as closed too: the proxy closing with unread data gives one.
  if (closed != nullptr) *closed = n != kTimedOut;
  if (reset != nullptr) {
    // Some systems (Wine among them) read a reset as an end of stream; the socket's error flag
    // still tells them apart.
    PollEntry entry{};
    entry.fd = socket.get();
    *reset = n == -1 || (n == 0 && pollSockets(&entry, 1, 0) > 0 && (entry.revents & kPollErr));
  }
  return received;
}

uint16_t freeLoopbackPort() {
  LoopbackListener listener;
  return listener.port();
}

LoopbackListener::LoopbackListener() {
  ensureSocketLayer();
  Socket socket(openTcpSocket());
  if (!socket.valid()) return;
  const sockaddr_in address = loopbackAddress(0);
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(socket.get(), 128) != 0) {
    return;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return;
  port_ = ntohs(bound.sin_port);
  socket_ = std::move(socket);
}

Socket LoopbackListener::accept(int timeoutMs) {
  if (!socket_.valid() || waitReadable(socket_.get(), timeoutMs) <= 0) return {};
  Socket accepted(acceptSocket(socket_.get()));
  if (accepted.valid()) setSocketBlocking(accepted.get(), true);
  return accepted;
}

FakeConnection::FakeConnection(Socket socket, std::shared_ptr<std::atomic<bool>> stopping)
    : socket_(std::move(socket)), stopping_(std::move(stopping)) {}

long FakeConnection::readOnce(std::string& into, Clock::time_point deadline) {
  // Short waits, so that a stopping FakeUpstream is noticed promptly.
  for (;;) {
    if (stopping_->load()) return -1;
    const auto slice = std::min(deadline, Clock::now() + std::chrono::milliseconds(50));
    const size_t before = into.size();
    const long n = readSome(socket_.get(), into, slice);
    if (n > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(into, before, std::string::npos);
      return n;
    }
    if (n != kTimedOut) return n;
    if (Clock::now() >= deadline) return -1;
  }
}

std::string FakeConnection::readUntil(const std::string& needle, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string got;
  while (got.find(needle) == std::string::npos) {
    if (readOnce(got, deadline) <= 0) break;
  }
  return got;
}

std::string FakeConnection::readExactly(size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string got;
  while (got.size() < count) {
    if (readOnce(got, deadline) <= 0) break;
  }
  return got;
}

bool FakeConnection::readUntilClosed(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string got;
  for (;;) {
    const long n = readOnce(got, deadline);
    if (n == 0) return true;
    if (n < 0) return Clock::now() < deadline && !stopping_->load();  // reset: closed too
    got.clear();
  }
}

bool FakeConnection::send(const std::string& bytes) {
  return sendAll(socket_.get(), bytes.data(), bytes.size()) == bytes.size();
}

void FakeConnection::close() { socket_.reset(); }

void FakeConnection::reset() {
  setResetOnClose(socket_.get());
  socket_.reset();
}

uint16_t FakeConnection::peerPort() const {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(socket_.get(), reinterpret_cast<sockaddr*>(&peer), &length) != 0) return 0;
  return ntohs(peer.sin_port);
}

std::string FakeConnection::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

struct FakeUpstream::Entry {
  std::unique_ptr<FakeConnection> connection;
  std::thread thread;
  std::atomic<bool> finished{false};
};

FakeUpstream::FakeUpstream(Script script)
    : script_(std::move(script)),
      port_(listener_.port()),
      stopping_(std::make_shared<std::atomic<bool>>(false)) {
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeUpstream::~FakeUpstream() {
  stopping_->store(true);
  acceptThread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : entries_) entry->thread.join();
}

void FakeUpstream::acceptLoop() {
  while (!stopping_->load()) {
    Socket accepted = listener_.accept(50);
    if (!accepted.valid()) continue;
    auto entry = std::make_unique<Entry>();
    entry->connection = std::make_unique<FakeConnection>(std::move(accepted), stopping_);
    Entry* raw = entry.get();
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
    raw->thread = std::thread([this, raw] {
      script_(*raw->connection);
      // A server closes a connection it is done with, as a real one would.
      raw->connection->close();
      raw->finished.store(true);
    });
  }
}

int FakeUpstream::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(entries_.size());
}

bool FakeUpstream::waitForConnections(int count, int timeoutMs) const {
  return waitUntil([&] { return connectionCount() >= count; }, timeoutMs);
}

std::string FakeUpstream::received(int index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || index >= static_cast<int>(entries_.size())) return {};
  return entries_[static_cast<size_t>(index)]->connection->received();
}

bool FakeUpstream::waitForReceived(int index, size_t bytes, int timeoutMs) const {
  return waitUntil([&] { return received(index).size() >= bytes; }, timeoutMs);
}

bool FakeUpstream::waitForReceivedText(int index, const std::string& needle, int timeoutMs) const {
  return waitUntil([&] { return received(index).find(needle) != std::string::npos; }, timeoutMs);
}

int FakeUpstream::waitForAnyReceivedText(const std::string& needle, int timeoutMs) const {
  int found = -1;
  waitUntil(
      [&] {
        for (int i = 0; i < connectionCount(); ++i) {
          if (received(i).find(needle) != std::string::npos) {
            found = i;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

bool FakeUpstream::waitForScriptEnd(int index, int timeoutMs) const {
  return waitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return index < static_cast<int>(entries_.size()) &&
               entries_[static_cast<size_t>(index)]->finished.load();
      },
      timeoutMs);
}

FakeUpstream::Script FakeUpstream::answerThenEcho(std::string answer) {
  return [answer](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    connection.send(answer);
    std::string chunk;
    for (;;) {
      chunk = connection.readExactly(1, 60000);
      if (chunk.empty()) break;
      // readExactly(1) returns whatever one read brought; echo all of it.
      if (!connection.send(chunk)) break;
    }
  };
}

FakeUpstream::Script FakeUpstream::answerThenClose(std::string answer) {
  return [answer](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    connection.send(answer);
    connection.close();
  };
}

FakeUpstream::Script FakeUpstream::recordUntilClosed() {
  return [](FakeConnection& connection) { connection.readUntilClosed(60000); };
}

}  // namespace quillon::testing
