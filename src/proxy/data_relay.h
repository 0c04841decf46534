// The relay of a proxied connection: one thread carries both directions of a tunnel, waiting on
// both sockets at once, until each direction has met the end of its stream; then it closes both
// sockets. An end of stream is passed on as the end of sending to the other side, so a
// half-closed connection keeps working the other way; a reset or any other failure ends both
// directions at once and reaches the side that did not fail as a reset.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/proxy_core.h"
#include "proxy/session_io.h"
#include "proxy/socket_compat.h"

namespace quillon {

// What the client's bytes pass through on their way upstream (the plain HTTP rewriter).
class RequestFilter {
 public:
  virtual ~RequestFilter() = default;
  // Appends what goes upstream for `in` to `out`. False refuses the rest of the stream; the
  // filter has logged why.
  virtual bool filter(std::string_view in, std::string& out) = 0;
  // While a head has begun and not ended: when it must have ended.
  virtual std::optional<Deadline> headDeadline() const = 0;
  // Logs the refusal of a head that missed its deadline.
  virtual void refuseLateHead() = 0;
};

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
  // Null: the client's bytes go upstream unchanged.
  std::unique_ptr<RequestFilter> requestFilter;
};

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

  bool step(Direction& direction, short sourceReady, short destinationReady, bool& progress);
  // Ends the tunnel when `side`'s socket has failed (its wait reported an error); true when it
  // did.
  bool checkFailed(Side side, short ready);
  void finish(Direction& direction);
  // Ends both directions after a failure; `reset` is the side that did not fail.
  void fail(Side reset);
  Direction& other(Direction& direction);

  TunnelSetup setup_;
  std::unique_ptr<Direction> toUpstream_;
  std::unique_ptr<Direction> toClient_;
};

}  // namespace quillon
