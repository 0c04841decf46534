#include "proxy/data_relay.h"

#include <chrono>
#include <exception>
#include <thread>

#include "log/app_log.h"

namespace quillon {

namespace {

// One read per wake-up, written out completely before the next read. Large enough that a fast
// path needs few system calls per megabyte.
constexpr size_t kRelayChunk = 64 * 1024;
constexpr int64_t kKilobyteLineThreshold = 1048576;
// A wake-up that let nothing move (a hang-up reported while the peer's window is still full)
// is followed by this pause, so that such a socket cannot make the loop spin.
constexpr auto kNoProgressPause = std::chrono::milliseconds(5);

constexpr short kReadable = kPollIn | kPollErr | kPollHup;

// The error of a socket whose wait reported a failure: its pending error, or a reset where the
// system keeps no code for it.
// The read buffer of a direction. A pool thread carries one tunnel at a time, so the buffers
// belong to the thread and serve each tunnel it carries: nothing is allocated per tunnel or
// per chunk. Allocated (and not cleared) when the thread first relays data, so a thread that
// only holds idle tunnels costs no buffer.
char* threadBuffer(bool clientToUpstream) {
  thread_local std::unique_ptr<char[]> buffers[2];
  std::unique_ptr<char[]>& buffer = buffers[clientToUpstream ? 0 : 1];
  if (!buffer) buffer.reset(new char[kRelayChunk]);
  return buffer.get();
}

int pendingError(SocketHandle socket) {
  const int error = socketErrorOf(socket);
  return error != 0 ? error : wsa::kConnReset;
}
constexpr short kWritable = kPollOut | kPollErr | kPollHup;

}  // namespace

struct Tunnel::Direction {
  SocketHandle source = kInvalidSocket;
  SocketHandle destination = kInvalidSocket;
  Side sourceSide = Side::kClient;
  std::string label;
  std::string tunnelId;
  RequestFilter* filter = nullptr;
  char* buffer = nullptr;  // the thread's buffer for this direction, once it has data
  // Bytes read (or produced by the filter) that are waiting to be written.
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
    out = staged.data();
    outLeft = staged.size();
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
  up.filter = setup_.requestFilter.get();
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

void Tunnel::run() {
  try {
    while (!toUpstream_->finished || !toClient_->finished) {
      short clientWanted = 0;
      short upstreamWanted = 0;
      for (Direction* d : {toUpstream_.get(), toClient_.get()}) {
        if (d->finished) continue;
        short& sourceWanted = d->clientToUpstream() ? clientWanted : upstreamWanted;
        short& destinationWanted = d->clientToUpstream() ? upstreamWanted : clientWanted;
        if (d->outLeft > 0) {
          destinationWanted |= kPollOut;
        } else if (!d->sourceEnded) {
          sourceWanted |= kPollIn;
        }
      }
      // A socket whose stream has ended is watched only while something waits to be written
      // to it: some systems keep reporting the hang-up, which would wake every wait at once.
      PollEntry entries[2] = {};
      size_t count = 0;
      int clientIndex = -1;
      int upstreamIndex = -1;
      if (clientWanted != 0 || !toUpstream_->sourceEnded) {
        clientIndex = static_cast<int>(count);
        entries[count].fd = setup_.client.get();
        entries[count++].events = clientWanted;
      }
      if (upstreamWanted != 0 || !toClient_->sourceEnded) {
        upstreamIndex = static_cast<int>(count);
        entries[count].fd = setup_.upstream.get();
        entries[count++].events = upstreamWanted;
      }

      int timeoutMs = -1;
      const std::optional<Deadline> headDeadline =
          setup_.requestFilter ? setup_.requestFilter->headDeadline() : std::nullopt;
      if (headDeadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            *headDeadline - std::chrono::steady_clock::now());
        timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) + 1 : 0;
      }
      const int ready = pollSockets(entries, count, timeoutMs);
      if (ready < 0) {
        logError(toUpstream_->label, ": 读取错误: ", lastSocketError());
        fail(Side::kUpstream);
        break;
      }
      if (ready == 0) {
        if (headDeadline && std::chrono::steady_clock::now() >= *headDeadline) {
          setup_.requestFilter->refuseLateHead();
          fail(Side::kClient);
        }
        continue;
      }
      const short clientReady = clientIndex >= 0 ? entries[clientIndex].revents : 0;
      const short upstreamReady = upstreamIndex >= 0 ? entries[upstreamIndex].revents : 0;
      bool progress = false;
      if (!step(*toUpstream_, clientReady, upstreamReady, progress)) continue;
      if (!step(*toClient_, upstreamReady, clientReady, progress)) continue;
      if (progress) continue;
      // An error on a socket that neither direction could act on (its reader waits for the
      // other side to take what it read): the tunnel ends now, not when that side drains.
      if (checkFailed(Side::kClient, clientReady) || checkFailed(Side::kUpstream, upstreamReady)) {
        continue;
      }
      std::this_thread::sleep_for(kNoProgressPause);
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
  if (d.outLeft == 0 && !d.sourceEnded && (sourceReady & kReadable) != 0) {
    if (d.buffer == nullptr) d.buffer = threadBuffer(d.clientToUpstream());
    const long n = recvSome(d.source, d.buffer, kRelayChunk);
    if (n > 0) {
      progress = true;
      if (d.filter != nullptr) {
        d.staged.clear();
        if (!d.filter->filter(std::string_view(d.buffer, static_cast<size_t>(n)), d.staged)) {
          fail(Side::kClient);
          return false;
        }
        d.out = d.staged.data();
        d.outLeft = d.staged.size();
      } else {
        d.out = d.buffer;
        d.outLeft = static_cast<size_t>(n);
      }
      // The destination is usually writable: try at once rather than after another wait.
      destinationReady |= kPollOut;
    } else if (n == 0 && (sourceReady & kPollErr) == 0) {
      progress = true;
      logLine(d.label, ": 连接关闭");
      d.sourceEnded = true;
    } else if (n == 0 || lastSocketError() != wsa::kWouldBlock) {
      // Some systems (Wine among them) read a reset as an end of stream; the error flag of the
      // wait tells them apart.
      logError(d.label, ": 读取错误: ", n == 0 ? pendingError(d.source) : lastSocketError());
      fail(d.clientToUpstream() ? Side::kUpstream : Side::kClient);
      return false;
    }
  }
  if (d.outLeft > 0 && (destinationReady & kWritable) != 0) {
    const long n = sendSome(d.destination, d.out, d.outLeft);
    if (n > 0) {
      progress = true;
      d.out += n;
      d.outLeft -= static_cast<size_t>(n);
      d.total += n;
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

bool Tunnel::checkFailed(Side side, short ready) {
  if ((ready & kPollErr) == 0) return false;
  const int error =
      pendingError(side == Side::kClient ? setup_.client.get() : setup_.upstream.get());
  Direction& reader = side == Side::kClient ? *toUpstream_ : *toClient_;
  if (!reader.sourceEnded) {
    logError(reader.label, ": 读取错误: ", error);
  } else {
    logError("转发", other(reader).label, "数据失败: ", error);
  }
  fail(side == Side::kClient ? Side::kUpstream : Side::kClient);
  return true;
}

void Tunnel::finish(Direction& d) {
  if (d.finished) return;
  d.finished = true;
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
