// The two relay threads of a proxied connection: each copies one direction until either side
// closes or fails, then adds its byte count to the totals and leaves the tunnel registry.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "proxy/proxy_core.h"
#include "proxy/socket_compat.h"
#include "proxy/tunnel_wake.h"

namespace quillon {

// What the two directions of one tunnel share. It owns both sockets: they are closed when the
// last direction lets go of it, so each peer sees its connection end once both have stopped.
struct DataTunnel {
  DataTunnel(Socket clientSocket, Socket upstreamSocket)
      : client(std::move(clientSocket)), upstream(std::move(upstreamSocket)) {}

  // Ends the tunnel: the other direction leaves its wait at once.
  void end() {
    if (tunnelActive.exchange(false)) wake.raise();
  }

  Socket client;
  Socket upstream;
  TunnelWake wake;
  std::atomic<bool> tunnelActive{true};
};

// The record one relay direction is started with; the relay thread owns it.
struct RelayJob {
  SocketHandle source = kInvalidSocket;
  SocketHandle destination = kInvalidSocket;
  std::shared_ptr<DataTunnel> tunnel;
  // Bytes read from `source` before the tunnel was up; written to `destination` first.
  std::string pending;
  std::string label;
  std::string tunnelId;
  bool clientToUpstream = true;  // decides which total the bytes go to
  std::shared_ptr<ProxyCore> core;
};

// The body of a relay thread: register, copy, count, unregister.
void relayData(std::unique_ptr<RelayJob> job);

// Hands both sockets to a new tunnel's two relay threads (they are made non-blocking first).
// `clientPending` goes to the upstream and `upstreamPending` to the client before anything
// else. Returns true when both threads run. On false the reason is logged and both sockets
// have been (or, once a started direction has left, will be) closed; either way the caller's
// Socket objects are empty afterwards.
bool startTunnelRelays(const std::shared_ptr<ProxyCore>& core, Socket& client, Socket& upstream,
                       const std::string& sessionPrefix, const std::string& baseId,
                       std::string clientPending = {}, std::string upstreamPending = {});

}  // namespace quillon
