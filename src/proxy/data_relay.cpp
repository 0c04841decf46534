#include "proxy/data_relay.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "log/app_log.h"

namespace quillon {

namespace {

// One read per wake-up, written out completely before the next read. Large enough that a fast
// path needs few system calls per megabyte.
constexpr size_t kRelayChunk = 64 * 1024;
constexpr int64_t kKilobyteLineThreshold = 1048576;

constexpr short kReadable = kPollIn | kPollErr | kPollHup;
constexpr short kWritable = kPollOut | kPollErr | kPollHup;

// A socket that woke the wait without letting anything move is left out of it for this long
// at first, then twice as long each time it happens again, up to the longest pause.
constexpr int kFirstPauseMs = 10;
constexpr int kLongestPauseMs = 2000;
// How long a refused connection waits for the client's close once it has its answers.
constexpr int kLingerMs = 2000;
// Read buffers kept for reuse: enough for the directions that are busy at the same moment on
// a desktop, few enough that they cost little when all are idle.
constexpr size_t kSpareBuffers = 32;

// The read buffers of all tunnels. A direction takes one to read and gives it back once the
// bytes read are written, so a tunnel that waits for bytes holds none; the spare ones spare a
// busy tunnel an allocation per chunk. Never destroyed: pool threads may still relay while the
// runtime runs its exit handlers.
class BufferCache {
 public:
  std::unique_ptr<char[]> take() {
    held_.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!spare_.empty()) {
        std::unique_ptr<char[]> buffer = std::move(spare_.back());
        spare_.pop_back();
        return buffer;
      }
    }
    return std::unique_ptr<char[]>(new char[kRelayChunk]);
  }

  void give(std::unique_ptr<char[]> buffer) {
    if (!buffer) return;
    held_.fetch_sub(1);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (spare_.size() < kSpareBuffers) {
        spare_.push_back(std::move(buffer));
        return;
      }
    }
    // Freed here, outside the lock.
  }

  size_t held() const { return held_.load(); }

 private:
  std::atomic<size_t> held_{0};
  std::mutex mutex_;
  std::vector<std::unique_ptr<char[]>> spare_;  // guarded by mutex_
};

BufferCache& buffers() {
  static BufferCache* cache = new BufferCache;
  return *cache;
}

std::atomic<RelayWait> relayWait{nullptr};

// The error of a socket whose wait reported a failure: its pending error, or a reset where the
// system keeps no code for it.
int pendingError(SocketHandle socket) {
  const int error = socketErrorOf(socket);
  return error != 0 ? error : wsa::kConnReset;
}

int millisecondsUntil(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) + 1 : 0;
}

}  // namespace

size_t relayBuffersHeld() { return buffers().held(); }

void setRelayWait(RelayWait wait) { relayWait.store(wait); }

struct Tunnel::Direction {
  SocketHandle source = kInvalidSocket;
  SocketHandle destination = kInvalidSocket;
  Side sourceSide = Side::kClient;
  std::string label;
  std::string tunnelId;
  // Held only while bytes read into it wait to be written.
  std::unique_ptr<char[]> buffer;
  // Bytes produced for the destination (pending bytes of the set-up, rewritten requests),
  // kept only while they wait to be written.
  std::string staged;
  const char* out = nullptr;
  size_t outLeft = 0;
  bool sourceEnded = false;  // the end of the source's stream was read, or the tunnel failed
  bool finished = false;     // counted, logged and unregistered
  int64_t total = 0;         // bytes written to the destination

  bool clientToUpstream() const { return sourceSide == Side::kClient; }
  // Sets the direction up; `pending` goes to the destination before anything read.
  void open(SocketHandle from, SocketHandle to, Side side, std::string lineLabel, std::string id,
            std::string pending) {
    source = from;
    destination = to;
    sourceSide = side;
    label = std::move(lineLabel);
    tunnelId = std::move(id);
    staged = std::move(pending);
    outputStaged();
  }
  void outputStaged() {
    out = staged.data();
    outLeft = staged.size();
    if (outLeft == 0) drained();
  }
  // Everything read has been written: the direction lets go of its storage.
  void drained() {
    buffers().give(std::move(buffer));
    std::string().swap(staged);
  }
};

Tunnel::Tunnel(TunnelSetup setup)
    : setup_(std::move(setup)),
      toUpstream_(std::make_unique<Direction>()),
      toClient_(std::make_unique<Direction>()) {
  Direction& up = *toUpstream_;
  up.open(setup_.client.get(), setup_.upstream.get(), Side::kClient,
          setup_.sessionPrefix + "客户端->代理", setup_.baseId + "-c2p",
          std::move(setup_.toUpstream));
  Direction& down = *toClient_;
  down.open(setup_.upstream.get(), setup_.client.get(), Side::kUpstream,
            setup_.sessionPrefix + "代理->客户端", setup_.baseId + "-p2c",
            std::move(setup_.toClient));

  setup_.core->registerTunnel(up.tunnelId);
  setup_.core->registerTunnel(down.tunnelId);
}

Tunnel::~Tunnel() {
  // A tunnel that never ran still leaves the registry and counts nothing.
  if (!toUpstream_->finished || !toClient_->finished) fail(Side::kClient);
}

Tunnel::Direction& Tunnel::other(Direction& direction) {
  return &direction == toUpstream_.get() ? *toClient_ : *toUpstream_;
}

bool Tunnel::canRead(const Direction& direction) const {
  if (direction.sourceEnded) return false;
  return !direction.clientToUpstream() || !setup_.http || setup_.http->readsClient();
}

void Tunnel::run() {
  try {
    while (!toUpstream_->finished || !toClient_->finished) {
      stageReleased();
      short clientWanted = 0;
      short upstreamWanted = 0;
      for (Direction* d : {toUpstream_.get(), toClient_.get()}) {
        if (d->finished) continue;
        short& sourceWanted = d->clientToUpstream() ? clientWanted : upstreamWanted;
        short& destinationWanted = d->clientToUpstream() ? upstreamWanted : clientWanted;
        if (d->outLeft > 0) {
          destinationWanted |= kPollOut;
        } else if (canRead(*d)) {
          sourceWanted |= kPollIn;
        }
      }
      // Only a socket that a direction waits on is in the set. WSAPoll's documentation (the
      // WSAPOLLFD structure: "events ... must be one or more of the following") does not allow
      // an entry without events, and older Windows versions answer it with WSAEINVAL, which
      // would end every upload whose upstream is slow to read.
      const auto now = std::chrono::steady_clock::now();
      for (Pause* pause : {&clientPause_, &upstreamPause_}) {
        if (pause->until && now >= *pause->until) pause->until.reset();
      }
      PollEntry entries[2] = {};
      size_t count = 0;
      int clientIndex = -1;
      int upstreamIndex = -1;
      if (clientWanted != 0 && !clientPause_.until) {
        clientIndex = static_cast<int>(count);
        entries[count].fd = setup_.client.get();
        entries[count++].events = clientWanted;
      }
      if (upstreamWanted != 0 && !upstreamPause_.until) {
        upstreamIndex = static_cast<int>(count);
        entries[count].fd = setup_.upstream.get();
        entries[count++].events = upstreamWanted;
      }

      const std::optional<Deadline> deadline = nextDeadline();
      int ready = 0;
      if (count > 0) {
        const RelayWait wait = relayWait.load();
        ready = (wait != nullptr ? wait : pollSockets)(
            entries, count, deadline ? millisecondsUntil(*deadline) : -1);
      } else if (deadline) {
        // Every socket that a direction waits on is paused.
        std::this_thread::sleep_until(*deadline);
      } else {
        // Nothing to wait for and nothing due: no direction could ever move again.
        fail(Side::kClient);
        break;
      }
      if (ready < 0) {
        logError(toUpstream_->label, ": 读取错误: ", lastSocketError());
        fail(Side::kUpstream);
        break;
      }
      handleDeadlines();
      const short clientReady = clientIndex >= 0 ? entries[clientIndex].revents : 0;
      const short upstreamReady = upstreamIndex >= 0 ? entries[upstreamIndex].revents : 0;
      bool progress = false;
      if (!step(*toUpstream_, clientReady, upstreamReady, progress)) continue;
      if (!step(*toClient_, upstreamReady, clientReady, progress)) continue;
      if (!followExchange()) continue;
      if (progress) {
        clientPause_.ms = 0;
        upstreamPause_.ms = 0;
      } else {
        if (clientReady != 0) pauseSocket(Side::kClient);
        if (upstreamReady != 0) pauseSocket(Side::kUpstream);
      }
    }
  } catch (const std::exception& e) {
    logError(toUpstream_->label, ": 异常: ", e.what());
    fail(Side::kUpstream);
  }
  setup_.client.reset();
  setup_.upstream.reset();
}

// Moves what it can for one direction without blocking. False when the tunnel has failed.
bool Tunnel::step(Direction& d, short sourceReady, short destinationReady, bool& progress) {
  if (d.finished) return true;
  HttpExchange* http = setup_.http.get();
  if (d.outLeft == 0 && canRead(d) && (sourceReady & kReadable) != 0) {
    if (!d.buffer) d.buffer = buffers().take();
    const long n = recvSome(d.source, d.buffer.get(), kRelayChunk);
    if (n > 0) {
      progress = true;
      const std::string_view bytes(d.buffer.get(), static_cast<size_t>(n));
      if (http != nullptr && d.clientToUpstream()) {
        http->fromClient(bytes, d.staged);
        buffers().give(std::move(d.buffer));
        d.outputStaged();
      } else {
        if (http != nullptr) http->fromUpstream(bytes);
        d.out = d.buffer.get();
        d.outLeft = static_cast<size_t>(n);
      }
      // The destination is usually writable: try at once rather than after another wait.
      destinationReady |= kPollOut;
    } else {
      buffers().give(std::move(d.buffer));
      if (n == 0 && (sourceReady & kPollErr) == 0) {
        progress = true;
        logLine(d.label, ": 连接关闭");
        d.sourceEnded = true;
        if (http != nullptr && d.clientToUpstream()) http->clientEnded();
        if (http != nullptr && !d.clientToUpstream()) http->upstreamEnded();
      } else if (n == 0 || lastSocketError() != wsa::kWouldBlock) {
        // Some systems (Wine among them) read a reset as an end of stream; the error flag of
        // the wait tells them apart.
        logError(d.label, ": 读取错误: ", n == 0 ? pendingError(d.source) : lastSocketError());
        fail(d.clientToUpstream() ? Side::kUpstream : Side::kClient);
        return false;
      }
    }
  }
  if (d.outLeft > 0 && (destinationReady & kWritable) != 0) {
    const long n = sendSome(d.destination, d.out, d.outLeft);
    if (n > 0) {
      progress = true;
      d.out += n;
      d.outLeft -= static_cast<size_t>(n);
      d.total += n;
      if (d.outLeft == 0) d.drained();
    } else if (n == 0 || lastSocketError() != wsa::kWouldBlock) {
      logError("转发", d.label, "数据失败: ", n == 0 ? wsa::kConnReset : lastSocketError());
      fail(d.clientToUpstream() ? Side::kClient : Side::kUpstream);
      return false;
    }
  }
  if (d.sourceEnded && d.outLeft == 0) {
    // The end of one side's stream becomes the end of sending to the other side; the other
    // direction goes on until its own stream ends. When it already has, closing the sockets
    // says the same.
    if (!other(d).finished) shutdownSending(d.destination);
    finish(d);
  }
  return true;
}

void Tunnel::stageReleased() {
  Direction& up = *toUpstream_;
  if (!setup_.http || up.finished || up.outLeft > 0 || !setup_.http->hasReleased()) return;
  setup_.http->takeReleased(up.staged);
  up.outputStaged();
}

bool Tunnel::followExchange() {
  if (!setup_.http) return true;
  switch (setup_.http->end()) {
    case HttpExchange::End::kNo:
      return true;
    case HttpExchange::End::kNow:
      fail(Side::kClient);
      return false;
    case HttpExchange::End::kAfterAnswers:
      break;
  }
  Direction& down = *toClient_;
  if (lingerUntil_ || (!down.finished && down.outLeft > 0)) return true;
  // The answers of the requests accepted before the refusal have all been written: the client
  // sees the end of the stream after them.
  if (!down.finished) {
    shutdownSending(setup_.client.get());
    finish(down);
  }
  Direction& up = *toUpstream_;
  up.outLeft = 0;
  up.drained();
  lingerUntil_ = deadlineIn(kLingerMs);
  return true;
}

std::optional<Deadline> Tunnel::nextDeadline() const {
  std::optional<Deadline> next;
  const auto consider = [&next](const std::optional<Deadline>& deadline) {
    if (deadline && (!next || *deadline < *next)) next = deadline;
  };
  consider(lingerUntil_);
  if (setup_.http && canRead(*toUpstream_)) consider(setup_.http->headDeadline());
  consider(clientPause_.until);
  consider(upstreamPause_.until);
  return next;
}

void Tunnel::handleDeadlines() {
  if (!lingerUntil_ && !setup_.http) return;
  const auto now = std::chrono::steady_clock::now();
  Direction& up = *toUpstream_;
  if (lingerUntil_ && now >= *lingerUntil_ && !up.finished) finish(up);
  if (setup_.http && !up.finished && canRead(up)) {
    const std::optional<Deadline> head = setup_.http->headDeadline();
    if (head && now >= *head) setup_.http->refuseLateHead();
  }
}

void Tunnel::pauseSocket(Side side) {
  Pause& pause = side == Side::kClient ? clientPause_ : upstreamPause_;
  pause.ms = pause.ms == 0 ? kFirstPauseMs : std::min(2 * pause.ms, kLongestPauseMs);
  pause.until = deadlineIn(pause.ms);
}

void Tunnel::finish(Direction& d) {
  if (d.finished) return;
  d.finished = true;
  d.drained();
  if (d.clientToUpstream()) {
    setup_.core->addSent(d.total);
  } else {
    setup_.core->addReceived(d.total);
  }
  if (d.total > kKilobyteLineThreshold) {
    logLine(d.label, ": 转发线程结束，总共转发 ", d.total / 1024, " KB");
  }
  setup_.core->unregisterTunnel(d.tunnelId);
}

void Tunnel::fail(Side reset) {
  setResetOnClose(reset == Side::kClient ? setup_.client.get() : setup_.upstream.get());
  for (Direction* d : {toUpstream_.get(), toClient_.get()}) {
    d->sourceEnded = true;
    d->outLeft = 0;
    finish(*d);
  }
}

}  // namespace quillon
