#include "proxy/local_proxy_server.h"

#include <chrono>
#include <exception>

#include "app/app_log.h"
#include "proxy/proxy_core.h"
#include "proxy/proxy_session.h"
#include "proxy/socket_compat.h"
#include "proxy/thread_launch.h"

namespace quillon {

namespace {

constexpr int kAcceptWaitMs = 100;
constexpr auto kStatsInterval = std::chrono::seconds(1);

// Numbers the accepted clients of the whole process; never reset, so numbers keep rising
// across stop and start.
std::atomic<int> connectionCounter{0};

}  // namespace

struct LocalProxyServer::SessionSlot {
  std::thread thread;
  std::atomic<bool> done{false};
};

LocalProxyServer::LocalProxyServer() : core_(std::make_shared<ProxyCore>()) {}

LocalProxyServer::~LocalProxyServer() {
  stop();
  windDown();
}

bool LocalProxyServer::start(uint16_t localPort, const std::string& proxyHost, uint16_t proxyPort,
                             const std::string& username, const std::string& password) {
  if (running_.load()) {
    logError("代理服务器已经在运行");
    return false;
  }
  windDown();
  config_ = ProxyConfig{localPort, proxyHost, proxyPort, username, password};
  logLine("代理配置已设置 - 本地端口: ", localPort, ", 目标代理: ", proxyHost, ":", proxyPort,
          ", 用户名: ", username.empty() ? std::string("无") : username,
          ", 密码: ", password.empty() ? "无" : "已提供");
  core_->resetTotals();
  running_.store(true);
  {
    std::lock_guard<std::mutex> lock(setupMutex_);
    setup_ = ListenerSetup::kPending;
  }

  std::string error;
  if (!launchThread(ProxyThread::kListener, listenerThread_, error, [this] { runListener(); })) {
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
  logLine("代理服务器启动在端口 ", localPort, ", 目标代理服务器: ", proxyHost, ":", proxyPort);
  return true;
}

void LocalProxyServer::stop() {
  if (!running_.load()) return;
  logLine("正在停止代理服务器...");
  running_.store(false);
  windDown();
  logLine("代理服务器已停止");
}

void LocalProxyServer::windDown() {
  if (listenerThread_.joinable()) listenerThread_.join();
  {
    std::lock_guard<std::mutex> lock(sessionThreadsMutex_);
    for (auto& slot : sessionThreads_) slot->thread.join();
    sessionThreads_.clear();
  }
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

void LocalProxyServer::setStatsCallback(ProxyStatsCallback callback) {
  statsCallback_ = std::move(callback);
}

void LocalProxyServer::setTimeouts(const ProxyTimeouts& timeouts) { timeouts_ = timeouts; }

void LocalProxyServer::runListener() {
  const auto reportSetup = [this](ListenerSetup result) {
    {
      std::lock_guard<std::mutex> lock(setupMutex_);
      setup_ = result;
    }
    setupChanged_.notify_all();
  };
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
  if (!setIntOption(listener.get(), SOL_SOCKET, SO_REUSEADDR, 1)) {
    return fail("设置socket选项失败: ");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(config_.localPort);
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return fail("绑定socket失败: ");
  }
  if (::listen(listener.get(), SOMAXCONN) != 0) return fail("监听失败: ");
  logLine("代理服务器开始监听端口 ", config_.localPort);
  setSocketBlocking(listener.get(), false);
  reportSetup(ListenerSetup::kListening);

  const auto reapInterval = std::chrono::milliseconds(timeouts_.reapIntervalMs);
  auto reapReference = std::chrono::steady_clock::now();
  while (running_.load()) {
    const int ready = waitReadable(listener.get(), kAcceptWaitMs);
    if (ready < 0) {
      logError("select失败: ", lastSocketError());
      running_.store(false);
      break;
    }
    if (ready > 0) acceptClient(static_cast<intptr_t>(listener.get()));
    const auto now = std::chrono::steady_clock::now();
    if (now - reapReference >= reapInterval) {
      reapReference = now;
      reapFinishedSessions();
    }
  }
  listener.reset();
  socketLayerCleanup();
  logLine("代理服务器线程已退出");
}

void LocalProxyServer::acceptClient(intptr_t listenerValue) {
  const auto listener = static_cast<SocketHandle>(listenerValue);
  Socket client(acceptSocket(listener));
  if (!client.valid()) return;
  // Windows hands out accepted sockets in the listener's non-blocking mode.
  setSocketBlocking(client.get(), true);
  tuneSocket(client.get());
  const int connectionId = ++connectionCounter;

  auto slot = std::make_unique<SessionSlot>();
  SessionSlot* const raw = slot.get();
  std::string error;
  std::lock_guard<std::mutex> lock(sessionThreadsMutex_);
  const bool launched =
      launchThread(ProxyThread::kSession, slot->thread, error,
                   [this, raw, connectionId, socket = std::move(client)]() mutable {
                     try {
                       serveSession(*this, std::move(socket), connectionId);
                     } catch (const std::exception& e) {
                       logError(sessionPrefixFor(connectionId), "异常: ", e.what());
                     }
                     raw->done.store(true);
                   });
  if (!launched) {
    // The client socket went down with the thread's arguments: that client is lost, the
    // server goes on.
    logError(sessionPrefixFor(connectionId), "创建会话线程失败: ", error);
    return;
  }
  sessionThreads_.push_back(std::move(slot));
}

void LocalProxyServer::reapFinishedSessions() {
  std::lock_guard<std::mutex> lock(sessionThreadsMutex_);
  // Only sessions that have finished are joined, so an idle client never holds up the listener.
  std::erase_if(sessionThreads_, [](const std::unique_ptr<SessionSlot>& slot) {
    if (!slot->done.load()) return false;
    slot->thread.join();
    return true;
  });
  logLine("当前活跃连接数: ", sessionThreads_.size());
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
