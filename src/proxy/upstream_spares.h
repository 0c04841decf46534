// Spare upstream connections: TCP connections to the upstream proxy that are resolved,
// connected and tuned before a client asks, so that a new session starts its handshake with the
// upstream at once instead of first paying a name lookup and a TCP round trip. Each spare serves
// one client connection and is never reused; nothing is sent on a spare before the session
// that takes it sends its client's request, so the upstream sees an ordinary new connection
// that speaks a little later.
//
// Spares are kept only where they save something: while the upstream's TCP handshake takes at
// least ProxyTimeouts::spareMinHandshakeUs. The keeper measures its own dials, and sessions
// report theirs while there are no spares, so spares start once the path is slow enough and
// stop (closing the ones held) once it is fast.
//
// Demand decides how many are kept: none before the first client, none once no client has
// arrived for ProxyTimeouts::spareIdleMs, otherwise as many as clients arrived within one
// second at the busiest moment of that time (a page load opens many at once), at most
// ProxyLimits::maxSpares. A spare is closed before it grows old (ProxyTimeouts::spareMaxAgeMs,
// shortened when the upstream is seen closing idle spares sooner) and is checked when it is
// taken. Failed dials back off, and sessions then dial as they would without spares.
//
// A keeper job on the worker pool dials and watches the spares; it never blocks on anything
// but its wait and the name lookup. The run owns this object; stop() closes every spare at
// once.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "proxy/proxy_config.h"
#include "proxy/socket_compat.h"

namespace quillon {

// A spare handed to a session.
struct SpareConnection {
  Socket socket;  // connected, non-blocking, tuned; invalid when there was none
  // How long its TCP handshake took: about one round trip to the upstream.
  std::chrono::steady_clock::duration handshake{};
};

// What the spares did in one run, for the benchmark.
struct SpareCounts {
  int64_t connected = 0;  // spares whose connection was made
  int64_t taken = 0;      // spares a session took
};

class UpstreamSpares {
 public:
  UpstreamSpares(const ProxyConfig& config, const ProxyTimeouts& timeouts,
                 const ProxyLimits& limits, UpstreamResolver resolver);
  ~UpstreamSpares();
  UpstreamSpares(const UpstreamSpares&) = delete;
  UpstreamSpares& operator=(const UpstreamSpares&) = delete;

  // Starts the keeper (which dials nothing until the first client arrives). False when its
  // thread could not be started or maxSpares is 0; sessions then always dial.
  bool start();
  // A client has been accepted. Listener thread; cheap.
  void clientArrived();
  // The oldest ready spare that is still open, silent and young enough; an invalid socket when
  // there is none. Any thread.
  SpareConnection take();
  // A session opened its own connection to the upstream, and its TCP handshake took
  // `handshake`. Any thread; cheap.
  void handshakeMeasured(std::chrono::steady_clock::duration handshake);
  // Closes every spare and ends the keeper, waiting for it up to `wait` (it can only be held up
  // by a name lookup, which cannot be interrupted; the spares are closed before that wait).
  // Idempotent. Owner's thread.
  void stop(std::chrono::milliseconds wait);

  SpareCounts counts() const;

 private:
  struct State;
  std::shared_ptr<State> state_;  // co-owned by the keeper job
};

}  // namespace quillon
