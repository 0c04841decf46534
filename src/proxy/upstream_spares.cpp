#include "proxy/upstream_spares.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log/app_log.h"
#include "proxy/session_io.h"
#include "proxy/thread_launch.h"
#include "proxy/wake_signal.h"
#include "proxy/worker_pool.h"

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Clients that arrive within this window count as one burst (a page load opens its
// connections within a few hundred milliseconds).
constexpr auto kBurstWindow = std::chrono::seconds(1);
// Spares are never kept for less than this: the age limit learned from an upstream that closes
// idle connections sooner stops here.
constexpr auto kShortestAge = milliseconds(500);
// Waits after failed dials: doubled on each failure in a row, reset by a success. A spare that
// the upstream closes or writes to younger than kShortestAge counts as a failed dial, so that an
// upstream that drops (or greets) every new connection at once is not dialled in a tight loop.
constexpr auto kFirstBackoff = std::chrono::seconds(1);
constexpr auto kLongestBackoff = std::chrono::seconds(30);
// Whatever the limits say, one wait of the keeper holds every spare and dial.
constexpr size_t kMostSpares = 256;

int64_t millisecondsOf(Clock::duration duration) {
  return std::chrono::duration_cast<milliseconds>(duration).count();
}

struct ReadySpare {
  Socket socket;
  Clock::time_point connectedAt;
  Clock::duration handshake{};
};

struct Dial {
  Socket socket;
  Clock::time_point startedAt;
};

// How many spares recent clients call for: the largest burst of arrivals within kBurstWindow
// seen during the last idle period, until no client has arrived for that long. Counts beyond
// `cap` are not kept.
class Demand {
 public:
  void arrive(Clock::time_point now, size_t cap, Clock::duration idle) {
    while (!recent_.empty() && now - recent_.front() >= kBurstWindow) recent_.pop_front();
    if (recent_.size() >= cap) recent_.pop_front();
    recent_.push_back(now);
    if (recent_.size() >= peak_ || now - peakAt_ >= idle) {
      peak_ = recent_.size();
      peakAt_ = now;
    }
    lastArrival_ = now;
  }
  size_t target(Clock::time_point now, size_t cap, Clock::duration idle) const {
    if (peak_ == 0 || now - lastArrival_ >= idle) return 0;
    return std::min(cap, peak_);
  }
  // When the demand ends unless another client arrives.
  Clock::time_point endsAt(Clock::duration idle) const { return lastArrival_ + idle; }

 private:
  std::deque<Clock::time_point> recent_;  // arrivals within the window, at most `cap`
  size_t peak_ = 0;                       // 0 until the first client
  Clock::time_point peakAt_{};
  Clock::time_point lastArrival_{};
};

// The upstream's last few TCP handshakes. A spare saves its client one handshake, so spares are
// worth keeping only while even the fastest of these took at least `worthFrom`. The fastest is
// the measure because a busy processor or a late wake-up only ever lengthens a handshake, while
// the path's round trip is in every one of them. On Windows steady_clock reads
// QueryPerformanceCounter, documented as a time stamp of under 1 µs resolution ("Acquiring
// high-resolution time stamps"), far finer than the millisecond this is compared with.
class Handshakes {
 public:
  explicit Handshakes(Clock::duration worthFrom) : worthFrom_(worthFrom) {}
  void add(Clock::duration handshake) {
    recent_[next_] = handshake;
    next_ = (next_ + 1) % recent_.size();
    count_ = std::min(count_ + 1, recent_.size());
  }
  bool worthSpares() const {
    if (worthFrom_ <= Clock::duration{}) return true;
    if (count_ == 0) return false;  // nothing known before the first dial
    return *std::min_element(recent_.begin(), recent_.begin() + count_) >= worthFrom_;
  }

 private:
  const Clock::duration worthFrom_;
  std::array<Clock::duration, 8> recent_{};
  size_t count_ = 0;
  size_t next_ = 0;
};

}  // namespace

struct UpstreamSpares::State {
  State(const ProxyConfig& config, const ProxyTimeouts& timeouts, const ProxyLimits& limits,
        UpstreamResolver lookup)
      : host(config.proxyHost),
        port(config.proxyPort),
        resolver(std::move(lookup)),
        cap(std::min(static_cast<size_t>(std::max(limits.maxSpares, 0)), kMostSpares)),
        idle(milliseconds(timeouts.spareIdleMs)),
        connectLimit(milliseconds(timeouts.upstreamConnectMs)),
        maxAge(milliseconds(timeouts.spareMaxAgeMs)),
        handshakes(std::chrono::microseconds(timeouts.spareMinHandshakeUs)) {}

  // How many spares are called for at `now`. Mutex held.
  size_t target(Clock::time_point now) const {
    return handshakes.worthSpares() ? demand.target(now, cap, idle) : 0;
  }
  // A spare of the keeper's was connected after `handshake`. Mutex held.
  void spareConnected(ReadySpare spare) {
    handshakes.add(spare.handshake);
    ready.push_back(std::move(spare));
    ++counts.connected;
    backoff = Clock::duration{};
  }

  // The keeper's body: dials what is missing and watches every spare until stop().
  void keep();
  // Looks the upstream up and dials `missing` spares, with the mutex released meanwhile.
  void dialMissing(std::unique_lock<std::mutex>& lock, size_t missing);
  // Reacts to the wait's report for each spare the keeper still holds.
  void settle(const std::vector<PollEntry>& entries, Clock::time_point now);
  // A spare that the upstream closed, reset or wrote to while idle at `age`, at `now`: when it
  // was the oldest, the upstream drops idle connections at about that age, and spares are kept
  // for less from now on; when it was very young, dials back off.
  void idleSpareEnded(Clock::duration age, bool oldest, Clock::time_point now);
  void dialFailed(Clock::time_point now);
  void closeAllLocked();

  // Set at construction.
  const std::string host;
  const uint16_t port;
  const UpstreamResolver resolver;
  const size_t cap;
  const Clock::duration idle;
  const Clock::duration connectLimit;
  // Raised whenever the keeper has something to look at (a take, an arrival, stop).
  WakeSignal wake;

  std::mutex mutex;
  std::condition_variable keeperEnded;
  // Guarded by mutex.
  bool stopped = false;
  bool keeperRunning = false;
  // The keeper is looking the upstream up or dialling: it holds none of the spares' sockets
  // in a wait then, so stop() may close them itself.
  bool outsideWait = false;
  std::deque<ReadySpare> ready;  // oldest first
  std::vector<Dial> dialling;
  Demand demand;
  Clock::duration maxAge;
  Clock::duration backoff{};
  Clock::time_point backoffUntil{};
  Handshakes handshakes;
  std::string pendingLine;  // written by the keeper once the mutex is released
  SpareCounts counts;
};

void UpstreamSpares::State::closeAllLocked() {
  ready.clear();
  dialling.clear();
}

void UpstreamSpares::State::dialFailed(Clock::time_point now) {
  backoff = backoff == Clock::duration{} ? Clock::duration(kFirstBackoff)
                                         : std::min<Clock::duration>(2 * backoff, kLongestBackoff);
  backoffUntil = now + backoff;
}

void UpstreamSpares::State::idleSpareEnded(Clock::duration age, bool oldest,
                                           Clock::time_point now) {
  if (age < kShortestAge) dialFailed(now);
  if (!oldest || age >= maxAge) return;
  const Clock::duration shorter = std::max<Clock::duration>(kShortestAge, age * 3 / 4);
  if (shorter >= maxAge) return;
  maxAge = shorter;
  pendingLine = "目标代理在空闲 " + std::to_string(millisecondsOf(age)) +
                " 毫秒后关闭了备用连接，备用连接改为最多保留 " +
                std::to_string(millisecondsOf(maxAge)) + " 毫秒";
}

void UpstreamSpares::State::dialMissing(std::unique_lock<std::mutex>& lock, size_t missing) {
  outsideWait = true;
  lock.unlock();
  std::vector<ReadySpare> connected;
  std::vector<Dial> started;
  bool failed = false;
  sockaddr_in address{};
  if (resolver(host, port, address) != 0) {
    failed = true;
  } else {
    for (size_t i = 0; i < missing && !failed; ++i) {
      Socket socket(openTcpSocket());
      if (!socket.valid()) {
        failed = true;
        break;
      }
      tuneSocket(socket.get());
      const Clock::time_point startedAt = Clock::now();
      switch (startConnect(socket.get(), address)) {
        case IoResult::kDone:
          connected.push_back({std::move(socket), Clock::now(), Clock::now() - startedAt});
          break;
        case IoResult::kTimedOut:  // under way
          started.push_back({std::move(socket), startedAt});
          break;
        default:
          failed = true;
          break;
      }
    }
  }
  lock.lock();
  outsideWait = false;
  // After stop() the sockets dialled meanwhile close here, with the vectors.
  if (stopped) return;
  for (ReadySpare& spare : connected) spareConnected(std::move(spare));
  for (Dial& dial : started) dialling.push_back(std::move(dial));
  if (failed) dialFailed(Clock::now());
}

void UpstreamSpares::State::settle(const std::vector<PollEntry>& entries, Clock::time_point now) {
  // A ready spare may have been taken by a session during the wait: only the sockets still
  // held are looked at (the keeper alone adds sockets, and not while it waits).
  for (size_t i = 1; i < entries.size(); ++i) {
    const PollEntry& entry = entries[i];
    if (entry.events == kPollIn) {
      if (entry.revents == 0) continue;
      const auto at = std::find_if(ready.begin(), ready.end(), [&](const ReadySpare& spare) {
        return spare.socket.get() == entry.fd;
      });
      if (at == ready.end()) continue;
      idleSpareEnded(now - at->connectedAt, at == ready.begin(), now);
      ready.erase(at);
      continue;
    }
    const auto at = std::find_if(dialling.begin(), dialling.end(),
                                 [&](const Dial& dial) { return dial.socket.get() == entry.fd; });
    if (at == dialling.end()) continue;
    switch (connectProgress(at->socket.get(), entry.revents)) {
      case ConnectProgress::kConnected:
        spareConnected({std::move(at->socket), now, now - at->startedAt});
        dialling.erase(at);
        break;
      case ConnectProgress::kFailed:
        dialling.erase(at);
        dialFailed(now);
        break;
      case ConnectProgress::kPending:
        if (now - at->startedAt >= connectLimit) {
          dialling.erase(at);
          dialFailed(now);
        }
        break;
    }
  }
}

void UpstreamSpares::State::keep() {
  std::unique_lock<std::mutex> lock(mutex);
  std::vector<PollEntry> entries;
  while (!stopped) {
    // Raises from here on wake the next wait; everything raised before is in the state read
    // below.
    wake.clear();
    Clock::time_point now = Clock::now();
    const size_t wanted = target(now);
    while (!ready.empty() && now - ready.front().connectedAt >= maxAge) ready.pop_front();
    if (wanted == 0) closeAllLocked();
    const size_t held = ready.size() + dialling.size();
    const size_t missing = wanted > held ? wanted - held : 0;
    if (missing > 0 && now >= backoffUntil) {
      dialMissing(lock, missing);
      continue;
    }

    entries.clear();
    entries.push_back(PollEntry{});
    entries.back().fd = wake.pollHandle();
    entries.back().events = kPollIn;
    for (const ReadySpare& spare : ready) {
      entries.push_back(PollEntry{});
      entries.back().fd = spare.socket.get();
      entries.back().events = kPollIn;
    }
    for (const Dial& dial : dialling) {
      entries.push_back(PollEntry{});
      entries.back().fd = dial.socket.get();
      entries.back().events = kPollOut;
    }
    // Without a wake-up, the next change is the oldest spare's age limit, the end of the
    // demand or the end of a back-off; a connect under way is looked at every kConnectCheckMs.
    Clock::time_point next = Clock::time_point::max();
    if (!ready.empty()) next = ready.front().connectedAt + maxAge;
    if (wanted > 0) next = std::min(next, demand.endsAt(idle));
    if (missing > 0) next = std::min(next, backoffUntil);
    int timeoutMs = -1;
    if (next != Clock::time_point::max()) {
      timeoutMs = static_cast<int>(std::clamp<int64_t>(millisecondsOf(next - now) + 1, 0, 60000));
    }
    if (!dialling.empty()) {
      timeoutMs = timeoutMs < 0 ? kConnectCheckMs : std::min(timeoutMs, kConnectCheckMs);
    }
    std::string line = std::move(pendingLine);
    pendingLine.clear();
    lock.unlock();
    if (!line.empty()) logLine(line);
    const int waited = waitConnecting(entries.data(), entries.size(), timeoutMs);
    lock.lock();
    if (stopped) break;
    now = Clock::now();
    if (waited < 0) {
      // The wait itself failed: everything is dropped and dialled again after a back-off,
      // rather than retried at once.
      closeAllLocked();
      dialFailed(now);
      continue;
    }
    settle(entries, now);
  }
  closeAllLocked();
  keeperRunning = false;
  keeperEnded.notify_all();
}

UpstreamSpares::UpstreamSpares(const ProxyConfig& config, const ProxyTimeouts& timeouts,
                               const ProxyLimits& limits, UpstreamResolver resolver)
    : state_(std::make_shared<State>(config, timeouts, limits, std::move(resolver))) {}

UpstreamSpares::~UpstreamSpares() { stop(milliseconds(0)); }

bool UpstreamSpares::start() {
  if (state_->cap == 0 || !state_->wake.valid()) return false;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->stopped || state_->keeperRunning) return false;
    state_->keeperRunning = true;
  }
  std::string error;
  bool started = false;
  try {
    PoolJob job([state = state_] {
      try {
        state->keep();
      } catch (const std::exception& e) {
        // Nothing may leave a pool job; the spares are given up for this run.
        logError("备用连接线程异常: ", e.what());
        std::lock_guard<std::mutex> lock(state->mutex);
        state->closeAllLocked();
        state->keeperRunning = false;
        state->keeperEnded.notify_all();
      }
    });
    started = WorkerPool::instance().run(std::move(job), ProxyThread::kSpares, error);
  } catch (const std::bad_alloc&) {
  }
  if (!started) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->keeperRunning = false;
  }
  return started;
}

void UpstreamSpares::clientArrived() {
  State& s = *state_;
  bool short_ = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stopped || !s.keeperRunning) return;
    const Clock::time_point now = Clock::now();
    s.demand.arrive(now, s.cap, s.idle);
    short_ = s.ready.size() + s.dialling.size() < s.target(now);
  }
  if (short_) s.wake.raise();
}

void UpstreamSpares::handshakeMeasured(Clock::duration handshake) {
  State& s = *state_;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stopped || !s.keeperRunning) return;
    const bool worth = s.handshakes.worthSpares();
    s.handshakes.add(handshake);
    changed = worth != s.handshakes.worthSpares();
  }
  // The keeper starts dialling spares, or closes the ones it holds.
  if (changed) s.wake.raise();
}

SpareConnection UpstreamSpares::take() {
  State& s = *state_;
  for (;;) {
    ReadySpare spare;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.stopped || s.ready.empty()) return {};
      spare = std::move(s.ready.front());
      s.ready.pop_front();
    }
    // Closed, reset or written to by the upstream while it waited: not usable. The keeper may
    // not have seen it yet.
    PollEntry entry{};
    entry.fd = spare.socket.get();
    entry.events = kPollIn;
    const bool quiet = pollSockets(&entry, 1, 0) == 0;
    const Clock::time_point now = Clock::now();
    bool usable = false;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      usable = quiet && now - spare.connectedAt < s.maxAge;
      if (usable) ++s.counts.taken;
      if (!quiet) s.idleSpareEnded(now - spare.connectedAt, true, now);
    }
    // The keeper dials a replacement (and writes a learned age's line).
    s.wake.raise();
    if (usable) return SpareConnection{std::move(spare.socket), spare.handshake};
  }
}

void UpstreamSpares::stop(milliseconds wait) {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (!s.stopped) {
    s.stopped = true;
    // A keeper in its wait closes them itself when the wake-up reaches it; otherwise nothing
    // else holds them.
    if (!s.keeperRunning || s.outsideWait) s.closeAllLocked();
  }
  lock.unlock();
  s.wake.raise();
  lock.lock();
  s.keeperEnded.wait_for(lock, wait, [&] { return !s.keeperRunning; });
}

SpareCounts UpstreamSpares::counts() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->counts;
}

}  // namespace quillon
