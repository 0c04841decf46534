#include "proxy/local_proxy_server.h"

#include <chrono>
#include <exception>
#include <new>
#include <thread>

#include "log/app_log.h"
#include "log/log_text.h"
#include "proxy/proxy_core.h"
#include "proxy/proxy_run.h"
#include "proxy/proxy_session.h"
#include "proxy/self_loop.h"
#include "proxy/session_handshake.h"
#include "proxy/socket_compat.h"
#include "proxy/thread_launch.h"
#include "proxy/worker_pool.h"

namespace quillon {

namespace {

constexpr int kAcceptWaitMs = 100;
constexpr auto kStatsInterval = std::chrono::seconds(1);
// When descriptors or memory have run out, the listener pauses this long before it accepts
// again (the pending connection keeps the listening socket readable, so retrying at once would
// spin). That failure line, and the line of clients closed beyond the connection limit, are
// written at most this often.
constexpr auto kExhaustedPause = std::chrono::milliseconds(100);
constexpr auto kLimitLineInterval = std::chrono::seconds(5);

// A client's place among the open client connections, held by its job until the job ends (or
// is dropped unrun).
class ClientPlace {
 public:
  explicit ClientPlace(std::shared_ptr<ProxyCore> core) : core_(std::move(core)) {}
  ClientPlace(ClientPlace&& other) noexcept = default;
  ClientPlace& operator=(ClientPlace&&) = delete;
  ~ClientPlace() {
    if (core_) core_->clientEnded();
  }

 private:
  std::shared_ptr<ProxyCore> core_;
};

// Numbers the accepted clients of the whole process; never reset, so numbers keep rising
// across stop and start.
std::atomic<int> connectionCounter{0};

}  // namespace

LocalProxyServer::LocalProxyServer()
    : resolver_(resolveIpv4), core_(std::make_shared<ProxyCore>()) {}

LocalProxyServer::~LocalProxyServer() {
  stop();
  windDown();
}

bool LocalProxyServer::start(const ProxyConfig& config) {
  if (running_.load()) {
    logError("代理服务器已经在运行");
    return false;
  }
  // Forwarding to its own listener would send every request round again until descriptors run
  // out; the spare connections would do the same without any client.
  if (upstreamIsOwnListener(config.proxyHost, config.proxyPort, config.localPort)) {
    logError("目标代理是本地代理自己的监听地址，已拒绝: ", loggableText(config.proxyHost), ":",
             config.proxyPort);
    return false;
  }
  windDown();
  config_ = config;
  logLine("代理配置已设置 - 本地端口: ", config_.localPort,
          ", 目标代理: ", loggableText(config_.proxyHost), ":", config_.proxyPort, ", 用户名: ",
          config_.username.empty() ? std::string("无") : loggableText(config_.username),
          ", 密码: ", config_.password.empty() ? "无" : "已提供");
  core_->resetTotals();
  run_ = std::make_shared<ProxyRun>(config_, timeouts_, limits_, resolver_, core_);
  if (!run_->stopSignal.valid()) {
    logError("创建停止信号失败: ", lastSocketError());
    run_.reset();
    return false;
  }
  running_.store(true);
  {
    std::lock_guard<std::mutex> lock(setupMutex_);
    setup_ = ListenerSetup::kPending;
  }

  std::string error;
  if (!launchThread(ProxyThread::kListener, listenerThread_, error,
                    [this, run = run_] { runListener(run); })) {
    logError("创建监听线程失败: ", error);
    running_.store(false);
    return false;
  }
  // The listener binds on its own thread; true is only returned once it really listens.
  ListenerSetup outcome;
  {
    std::unique_lock<std::mutex> lock(setupMutex_);
    setupChanged_.wait_for(lock, std::chrono::milliseconds(timeouts_.listenerSetupMs),
                           [this] { return setup_ != ListenerSetup::kPending; });
    outcome = setup_;
  }
  if (outcome != ListenerSetup::kListening) {
    running_.store(false);
    windDown();
    return false;
  }

  statsRunning_.store(true);
  if (!launchThread(ProxyThread::kTicker, statsThread_, error, [this] { runStatsTicker(); })) {
    logError("创建统计线程失败: ", error);
    statsRunning_.store(false);
    running_.store(false);
    windDown();
    return false;
  }
  // Spares are a help, not a need: without their thread the sessions dial as they would anyway.
  run_->spares.start();
  logLine("代理服务器启动在端口 ", config_.localPort,
          ", 目标代理服务器: ", loggableText(config_.proxyHost), ":", config_.proxyPort);
  return true;
}

void LocalProxyServer::stop() {
  if (!running_.load()) return;
  logLine("正在停止代理服务器...");
  running_.store(false);
  if (run_) run_->spares.stop(std::chrono::milliseconds(timeouts_.stopWaitMs));
  if (listenerThread_.joinable()) listenerThread_.join();
  if (run_) {
    // Every wait of a session watches this signal: sessions still reading a head or talking to
    // the upstream proxy end now. Tunnels already relaying do not watch it.
    run_->stopSignal.raise();
    run_->waitForSessions(std::chrono::milliseconds(timeouts_.stopWaitMs));
  }
  windDown();
  logLine("代理服务器已停止");
}

void LocalProxyServer::windDown() {
  if (listenerThread_.joinable()) listenerThread_.join();
  if (run_) run_->spares.stop(std::chrono::milliseconds(0));
  {
    std::lock_guard<std::mutex> lock(tickerMutex_);
    statsRunning_.store(false);
  }
  tickerWake_.notify_all();
  if (statsThread_.joinable()) statsThread_.join();
}

int64_t LocalProxyServer::totalBytesSent() const { return core_->sent(); }

int64_t LocalProxyServer::totalBytesReceived() const { return core_->received(); }

int LocalProxyServer::activeTunnelCount() const { return core_->tunnelCount(); }

SpareCounts LocalProxyServer::spareCounts() const {
  return run_ ? run_->spares.counts() : SpareCounts{};
}

void LocalProxyServer::setStatsCallback(ProxyStatsCallback callback) {
  statsCallback_ = std::move(callback);
}

void LocalProxyServer::setTimeouts(const ProxyTimeouts& timeouts) { timeouts_ = timeouts; }

void LocalProxyServer::setLimits(const ProxyLimits& limits) { limits_ = limits; }

void LocalProxyServer::setResolver(UpstreamResolver resolver) { resolver_ = std::move(resolver); }

void LocalProxyServer::runListener(std::shared_ptr<ProxyRun> run) {
  const auto reportSetup = [this](ListenerSetup result) {
    {
      std::lock_guard<std::mutex> lock(setupMutex_);
      setup_ = result;
    }
    setupChanged_.notify_all();
  };
  try {
    if (!socketLayerStartup()) {
      logError("WSAStartup失败: ", lastSocketError());
      running_.store(false);
      reportSetup(ListenerSetup::kFailed);
      return;
    }
    Socket listener(openTcpSocket());
    const auto fail = [&](const char* message) {
      logError(message, lastSocketError());
      listener.reset();
      socketLayerCleanup();
      running_.store(false);
      reportSetup(ListenerSetup::kFailed);
    };
    if (!listener.valid()) return fail("创建socket失败: ");
    if (!prepareListenerAddress(listener.get())) return fail("设置socket选项失败: ");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(run->config.localPort);
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return fail("绑定socket失败: ");
    }
    if (::listen(listener.get(), SOMAXCONN) != 0) return fail("监听失败: ");
    logLine("代理服务器开始监听端口 ", run->config.localPort);
    reportSetup(ListenerSetup::kListening);

    const auto countInterval = std::chrono::milliseconds(run->timeouts.reapIntervalMs);
    auto countReference = std::chrono::steady_clock::now();
    auto lastExhaustedLine = countReference - kLimitLineInterval;
    auto lastOverLimitLine = countReference - kLimitLineInterval;
    while (running_.load()) {
      const int ready = waitReadable(listener.get(), kAcceptWaitMs);
      if (ready < 0) {
        logError("select失败: ", lastSocketError());
        running_.store(false);
        run->spares.stop(std::chrono::milliseconds(0));
        break;
      }
      const Accepted accepted = ready > 0 ? acceptClient(listener.get(), run) : Accepted::kServed;
      if (accepted == Accepted::kExhausted) {
        const int code = lastSocketError();
        const auto now = std::chrono::steady_clock::now();
        if (now - lastExhaustedLine >= kLimitLineInterval) {
          lastExhaustedLine = now;
          logError("接受客户端连接失败，系统资源不足: ", code);
        }
        std::this_thread::sleep_for(kExhaustedPause);
      } else if (accepted == Accepted::kOverLimit) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastOverLimitLine >= kLimitLineInterval) {
          lastOverLimitLine = now;
          logError("客户端连接数已达上限 ", run->limits.maxClientConnections, "，新连接已关闭");
        }
      }
      const auto now = std::chrono::steady_clock::now();
      if (now - countReference >= countInterval) {
        countReference = now;
        logLine("当前活跃连接数: ", run->sessionCount());
      }
    }
    listener.reset();
    socketLayerCleanup();
    logLine("代理服务器线程已退出");
  } catch (const std::exception& e) {
    // Nothing may unwind out of a thread: the server reports itself stopped instead.
    logError("监听线程异常: ", e.what());
    running_.store(false);
    reportSetup(ListenerSetup::kFailed);
  }
}

LocalProxyServer::Accepted LocalProxyServer::acceptClient(SocketHandle listener,
                                                          const std::shared_ptr<ProxyRun>& run) {
  bool loopback = false;
  Socket client(acceptSocket(listener, &loopback));
  if (!client.valid()) {
    return isResourceExhaustion(lastSocketError()) ? Accepted::kExhausted : Accepted::kServed;
  }
  // Accepted and closed at once: the client learns now, instead of waiting in the backlog.
  if (!core_->admitClient(run->limits.maxClientConnections, run->limits.loopbackReserve,
                          loopback)) {
    return Accepted::kOverLimit;
  }
  ClientPlace place(core_);
  run->spares.clientArrived();
  tuneSocket(client.get());
  const int connectionId = ++connectionCounter;

  std::string error;
  bool started = false;
  try {
    PoolJob job(
        [run = run, connectionId, socket = std::move(client), place = std::move(place)]() mutable {
          try {
            serveSession(std::move(run), std::move(socket), connectionId);
          } catch (const std::exception& e) {
            logError(sessionPrefixFor(connectionId), "异常: ", e.what());
          }
        });
    run->sessionBegan();
    started = WorkerPool::instance().run(std::move(job), ProxyThread::kSession, error);
    if (!started) run->sessionEnded();
  } catch (const std::bad_alloc& e) {
    error = e.what();
  }
  if (!started) {
    // The job, and the client socket with it, is gone: that client is lost, the server goes on.
    logError(sessionPrefixFor(connectionId), "创建会话线程失败: ", error);
  }
  return Accepted::kServed;
}

void LocalProxyServer::runStatsTicker() {
  while (statsRunning_.load()) {
    {
      std::unique_lock<std::mutex> lock(tickerMutex_);
      tickerWake_.wait_for(lock, kStatsInterval, [this] { return !statsRunning_.load(); });
    }
    if (!statsRunning_.load()) break;
    if (!statsCallback_) continue;
    const int64_t sent = core_->sent();
    const int64_t received = core_->received();
    try {
      statsCallback_(sent, received);
    } catch (const std::exception& e) {
      logError("统计回调异常: ", e.what());
    }
  }
}

}  // namespace quillon
