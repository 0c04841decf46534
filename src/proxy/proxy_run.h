// One run of the proxy server, from start() to stop(): what its sessions read, the count of
// sessions still setting up, and the spare upstream connections. Sessions co-own it, so a session
// that outlives stop() (a name lookup cannot be interrupted) or the server itself touches nothing
// that was freed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "proxy/proxy_config.h"
#include "proxy/proxy_core.h"
#include "proxy/upstream_spares.h"
#include "proxy/wake_signal.h"

namespace quillon {

struct ProxyRun {
  ProxyRun(const ProxyConfig& config, const ProxyTimeouts& timeouts, const ProxyLimits& limits,
           UpstreamResolver resolver, std::shared_ptr<ProxyCore> core);

  // A session begins when its client is accepted and ends when it has handed its sockets to
  // the tunnel or has failed.
  void sessionBegan();
  void sessionEnded();
  int sessionCount();
  // Waits until no session is setting up or `timeout` has passed; true when none is left.
  bool waitForSessions(std::chrono::milliseconds timeout);

  // Set at construction, read by every session without a lock.
  const ProxyConfig config;
  const ProxyTimeouts timeouts;
  const ProxyLimits limits;
  const UpstreamResolver resolver;
  const std::shared_ptr<ProxyCore> core;
  // The Basic proxy authorization line for the configured credentials (with its CR LF), or ""
  // without them; built once per run.
  const std::string authorizationLine;
  // Raised by stop(): every wait of a session watches it.
  WakeSignal stopSignal;
  // This run's spare upstream connections: started once the listener listens, stopped by
  // stop() (or when the listener ends by itself); sessions take from them.
  UpstreamSpares spares;

 private:
  std::mutex sessionThreadsMutex;
  std::condition_variable sessionsChanged;
  int sessions = 0;  // guarded by sessionThreadsMutex
};

}  // namespace quillon
