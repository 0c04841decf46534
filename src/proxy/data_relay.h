// The relay of a proxied connection: one thread carries both directions of a tunnel, waiting on
// both sockets at once, until each direction has met the end of its stream; then it closes both
// sockets. An end of stream is passed on as the end of sending to the other side, so a
// half-closed connection keeps working the other way; a reset or any other failure ends both
// directions at once and reaches the side that did not fail as a reset.
//
// A direction that cannot move waits for its socket: to become readable when it has nothing to
// write, writable when it has. A socket that neither direction can act on is not waited on at
// all, so an idle or stalled tunnel costs no processor time. A direction holds a read buffer
// only while it has bytes to write, so an idle tunnel holds almost no memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/http_exchange.h"
#include "proxy/proxy_core.h"
#include "proxy/session_io.h"
#include "proxy/socket_compat.h"

namespace quillon {

// Everything a tunnel is made of. The tunnel owns the sockets from then on; both are
// non-blocking, as the sessions use them.
struct TunnelSetup {
  std::shared_ptr<ProxyCore> core;
  Socket client;
  Socket upstream;
  // "[会话-N] ", the start of every line of the tunnel; the two directions' labels add
  // "客户端->代理" and "代理->客户端".
  std::string sessionPrefix;
  // The registry ids of the directions are this plus "-c2p" and "-p2c".
  std::string baseId;
  // Bytes that go to the upstream / the client before anything read from the other side.
  std::string toUpstream;
  std::string toClient;
  // A plain HTTP connection's requests and answers. Null (a CONNECT tunnel): bytes pass
  // unchanged both ways.
  std::unique_ptr<HttpExchange> http;
};

// Test seams. How many read buffers tunnels hold at this moment (the spare ones kept for
// reuse not counted).
size_t relayBuffersHeld();
// Replaces the wait of every tunnel (pollSockets); null restores it. Tests use it to hold the
// tunnels to the rules of systems stricter than the one they run on.
using RelayWait = int (*)(PollEntry* entries, size_t count, int timeoutMs);
void setRelayWait(RelayWait wait);

class Tunnel {
 public:
  // Registers the two directions.
  explicit Tunnel(TunnelSetup setup);
  ~Tunnel();
  Tunnel(const Tunnel&) = delete;
  Tunnel& operator=(const Tunnel&) = delete;

  // Relays until both directions have ended; each direction adds its count to the totals,
  // logs and unregisters as it ends. The sockets are closed on return. Never throws.
  void run();

 private:
  struct Direction;
  enum class Side { kClient, kUpstream };
  // A socket that woke the wait without letting anything move (Windows reports a peer's
  // orderly close on every wait, also while its receive window is full) is left out of the
  // wait for a pause that grows while it goes on.
  struct Pause {
    std::optional<Deadline> until;
    int ms = 0;
  };

  bool step(Direction& direction, short sourceReady, short destinationReady, bool& progress);
  bool canRead(const Direction& direction) const;
  // Hands bytes the HTTP exchange released (after an upgrade's answer) to the client's direction.
  void stageReleased();
  // Acts on what the HTTP exchange decided after a step; false when the tunnel has failed.
  bool followExchange();
  // The earliest time the wait must end at (head deadline, linger, pauses); empty for none.
  std::optional<Deadline> nextDeadline() const;
  void handleDeadlines();
  void pauseSocket(Side side);
  void finish(Direction& direction);
  // Ends both directions after a failure; `reset` is the side that did not fail.
  void fail(Side reset);
  Direction& other(Direction& direction);

  TunnelSetup setup_;
  std::unique_ptr<Direction> toUpstream_;
  std::unique_ptr<Direction> toClient_;
  // After a refused request's earlier answers went out: the client has been told the end of
  // the stream, and what it still sends is read and dropped until it closes or this passes, so
  // that the close does not reset the connection while the client is still reading the answers.
  std::optional<Deadline> lingerUntil_;
  Pause clientPause_;
  Pause upstreamPause_;
};

}  // namespace quillon
