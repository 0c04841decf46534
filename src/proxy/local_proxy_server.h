// The local forwarding proxy: a listener on every local IPv4 interface that turns HTTP proxy
// requests from local applications into requests to one upstream HTTP proxy, and the byte
// totals and tunnel registry that the statistics channel reads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proxy/proxy_config.h"
#include "proxy/upstream_spares.h"

namespace quillon {

struct ProxyCore;
struct ProxyRun;

// Called once a second on the statistics thread with (bytes sent, bytes received).
using ProxyStatsCallback = std::function<void(int64_t, int64_t)>;

// Owns the proxy: its listener and statistics threads. Each accepted client is one job on the
// worker pool (its session, then its tunnel on the same thread). Sessions still setting up are
// ended by stop(); tunnels are not: they share the byte totals and the tunnel registry with the
// server (ProxyCore), so they may safely outlive stop() and even the server itself.
//
// start(), stop(), the setters and destruction are called from one thread (the UI thread);
// the getters may be called from any thread, the statistics callback included.
class LocalProxyServer {
 public:
  LocalProxyServer();
  ~LocalProxyServer();
  LocalProxyServer(const LocalProxyServer&) = delete;
  LocalProxyServer& operator=(const LocalProxyServer&) = delete;

  // Stores the configuration and starts the listener and the statistics ticker. Returns true
  // once the listener is bound and listening on every IPv4 interface; false when the server
  // already runs, when the upstream proxy is this listener itself (forwarding to it would send
  // every request round again without end), or when the listener could not be set up (the
  // reason is in the log). The loop check may look the upstream's name up.
  bool start(const ProxyConfig& config);

  // Stops accepting clients, ends the sessions still setting up (their waits are interrupted;
  // it waits for them up to stopWaitMs) and stops the statistics ticker. Running tunnels are
  // left alone. Does nothing when not running. Returns within about a second.
  void stop();

  bool isRunning() const { return running_.load(); }

  int64_t totalBytesSent() const;
  int64_t totalBytesReceived() const;
  // Number of relay directions running; one proxied connection counts 2.
  int activeTunnelCount() const;
  // What the spare upstream connections of the current (or last) run did. From the thread that
  // calls start() and stop().
  SpareCounts spareCounts() const;

  // Installs the statistics callback. Not while the ticker runs: call it before start() or
  // after stop().
  void setStatsCallback(ProxyStatsCallback callback);

  // Test seam: replaces the time limits. Not while the server runs.
  void setTimeouts(const ProxyTimeouts& timeouts);
  // Test seam: replaces the bounds on what the proxy holds. Not while the server runs.
  void setLimits(const ProxyLimits& limits);
  // Test seam: replaces the name lookup of the upstream proxy. Not while the server runs.
  void setResolver(UpstreamResolver resolver);

  const ProxyConfig& config() const { return config_; }
  const ProxyTimeouts& timeouts() const { return timeouts_; }
  const ProxyLimits& limits() const { return limits_; }
  // The totals and registry shared with the tunnels.
  const std::shared_ptr<ProxyCore>& core() const { return core_; }

 private:
  enum class ListenerSetup { kPending, kListening, kFailed };

  void runListener(std::shared_ptr<ProxyRun> run);
  void runStatsTicker();
  enum class Accepted { kServed, kExhausted, kOverLimit };
  // Accepts one client and hands its session to the worker pool (listener thread only).
  // kExhausted when accepting failed because descriptors or memory ran out; kOverLimit when the
  // client was closed because maxClientConnections are open.
  Accepted acceptClient(SocketHandle listener, const std::shared_ptr<ProxyRun>& run);
  // Joins the listener and the statistics ticker (those that exist).
  void windDown();

  // Set by start() before any thread is started; read without a lock afterwards.
  ProxyConfig config_;
  ProxyTimeouts timeouts_;
  ProxyLimits limits_;
  UpstreamResolver resolver_;
  ProxyStatsCallback statsCallback_;
  // The current run; its sessions co-own it. Touched only by the thread that calls start()
  // and stop().
  std::shared_ptr<ProxyRun> run_;

  std::thread listenerThread_;
  std::atomic<bool> running_{false};

  // Listener set-up result, handed from the listener thread to start().
  std::mutex setupMutex_;
  std::condition_variable setupChanged_;
  ListenerSetup setup_ = ListenerSetup::kPending;  // guarded by setupMutex_

  std::thread statsThread_;
  std::atomic<bool> statsRunning_{false};
  std::mutex tickerMutex_;  // only for waking the ticker early on stop
  std::condition_variable tickerWake_;

  // Totals and tunnel registry; co-owned by every tunnel.
  std::shared_ptr<ProxyCore> core_;
};

}  // namespace quillon
