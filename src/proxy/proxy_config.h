// What the proxy is started with: where it listens, which upstream proxy it talks to, and its
// time limits. The top of the proxy folder: everything else of it reads these.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "proxy/socket_compat.h"

namespace quillon {

// Where the proxy listens and which upstream proxy it talks to. Written only by start().
struct ProxyConfig {
  uint16_t localPort = 0;
  std::string proxyHost;
  uint16_t proxyPort = 0;
  std::string username;
  std::string password;
};

// Every time limit of the proxy in one place. The defaults are the production values; tests
// shorten them with LocalProxyServer::setTimeouts() so that they need not sleep through them.
struct ProxyTimeouts {
  // The whole request head of a client must arrive within this time (all reads together).
  int clientHeadMs = 30000;
  // Each of the proxy's own sends during a hand-over (its request upstream, its reply to a
  // CONNECT client) must complete within this time.
  int upstreamIoMs = 10000;
  // The whole answer of the upstream proxy to a CONNECT request must arrive within this time.
  int upstreamAnswerMs = 30000;
  // Bound on opening the TCP connection to the upstream proxy (Windows' own default).
  int upstreamConnectMs = 21000;
  // How often the listener logs how many sessions are still setting up.
  int reapIntervalMs = 6000;
  // How long start() waits for the listener to report that it is bound and listening.
  int listenerSetupMs = 2000;
  // How long stop() waits for interrupted sessions to end; one stuck in a name lookup (which
  // cannot be interrupted) finishes on its own afterwards.
  int stopWaitMs = 1000;
  // Spare upstream connections are kept only while a client has arrived within this time.
  int spareIdleMs = 60000;
  // A spare is closed once it is this old, before the upstream would drop it as idle: squid
  // waits 5 minutes for the first request on a new connection, nginx 60 s, Apache 20 s or more;
  // HAProxy as configured (often 10 s). The limit shortens by itself when the upstream is seen
  // closing idle spares sooner.
  int spareMaxAgeMs = 20000;
  // A plain request whose head alone went out on a freshly taken spare waits this long, plus
  // two of the spare's handshakes (about two round trips), for the upstream's first answer
  // byte before relaying starts: a close or reset within that time means the spare died as it
  // was taken, and the head is sent again on a new connection.
  int spareAnswerWaitMs = 50;
  // Spares are kept only while the upstream's TCP handshake takes at least this long (the
  // fastest of the last few, dialled by the spares or by sessions). A spare saves its client
  // one handshake; below about a millisecond (the same host, a fast LAN) that saving is smaller
  // than what keeping spares costs the proxy and the upstream. 0: whatever the handshake takes.
  int spareMinHandshakeUs = 1000;
};

// Bounds on what the proxy holds at once. The defaults are the production values; tests lower
// them with LocalProxyServer::setLimits().
struct ProxyLimits {
  // Client connections (each a session, then its tunnel, on a thread of its own) at once, of
  // every run together; a client beyond it is closed as soon as it is accepted. Two forwarders
  // pointed at each other through CONNECT would otherwise grow until the process has no threads
  // left. Chosen from the benchmark (README): far above what browsers open, and below where
  // memory and the upstream's ports would become the limit.
  int maxClientConnections = 4096;
  // Of those, this many are kept for clients of this machine (loopback addresses): a client
  // from another host is closed once the rest are taken, so that the network cannot take every
  // place from the local applications the proxy is for.
  int loopbackReserve = 256;
  // Spare upstream connections kept ready at most (0: none). From the benchmark over a 100 ms
  // round trip: with 16, bursts of 8 and of 16 new connections get their first answer byte at
  // 0.5x to 0.72x the direct time; with 8, bursts of 16 stay at 0.97x for HTTPS, and with 4 so
  // do bursts of 8. A page load opens 6 to 20 at once.
  int maxSpares = 16;
};

// Resolves the upstream proxy's host and port to one IPv4 address. Returns 0, or the Winsock
// number of the failure.
using UpstreamResolver =
    std::function<int(const std::string& host, uint16_t port, sockaddr_in& address)>;

}  // namespace quillon
