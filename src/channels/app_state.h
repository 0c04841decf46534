// The application state the UI drives over the two method channels "com.quillon.app/vpn" and
// "com.quillon.app/stats": connection state, the server the UI connected to, the traffic
// counters, the recorded TCP connections, which system settings this process changed, the one
// local forwarding proxy and the two channels. The main window owns one AppState; it is kept
// apart from the window so that every channel method can be driven without one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "bridge/binary_messenger.h"
#include "bridge/encodable_value.h"
#include "bridge/method_call_channel.h"
#include "channels/tcp_connection_records.h"
#include "proxy/local_proxy_server.h"
#include "system/network_settings.h"

namespace quillon {

// The local port "startVpn" always uses, and the default of "startProxyServer".
inline constexpr uint16_t kLocalProxyPort = 20888;
// PAC files on the service's web server: applied by "startVpn" and by "stopProxyServer".
extern const char* const kRoutePacUrl;
extern const char* const kMacosPacUrl;

// What "getCurrentServer" reports while no connection is up.
inline constexpr char kNotConnected[] = "未连接";

inline constexpr char kVpnChannelName[] = "com.quillon.app/vpn";
inline constexpr char kStatsChannelName[] = "com.quillon.app/stats";

using ChannelCall = flutter::MethodCall;
using ChannelResult = std::unique_ptr<flutter::MethodResult>;
using Channel = flutter::MethodCallChannel;

// The server the UI connected to, as "getCurrentServer" reports it.
struct CurrentServer {
  std::string host = kNotConnected;
  int32_t port = 0;
  std::string title = kNotConnected;
};

class AppState {
 public:
  // Puts every member at its initial value and writes "[<local time>] FlutterWindow
  // initialized". PAC and DNS changes go through `network`, the owner of what this process
  // changed on the machine, which must outlive this state. No channel and no proxy exist until
  // registerChannels().
  explicit AppState(NetworkSettings& network);

  // Stops the proxy if it runs, then puts back the system PAC if this process set it, then the
  // DNS settings if this process changed them (NetworkSettings::putEverythingBack); then the
  // proxy object is destroyed (which ends its statistics thread) before the channels.
  ~AppState();

  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  // Creates the two channels on `messenger`, installs their handlers, creates the idle proxy
  // with its statistics callback and opens the statistics push. Called once, on the platform
  // thread, while `messenger` is usable.
  void registerChannels(flutter::BinaryMessenger& messenger);

  // Closes the statistics push for good: once this returns, no "onStatsUpdate" reaches the
  // stats channel, whatever the proxy's statistics thread does next. The window calls it
  // before it releases the view controller (and with it the engine and messenger). Platform
  // thread; may wait for a push that is being handed over right now.
  void stopStatisticsPushes();

  // The two channel handlers; platform thread. Each answers `result` exactly once.
  void handleVpnMethodCall(const ChannelCall& call, ChannelResult result);
  void handleStatsMethodCall(const ChannelCall& call, ChannelResult result);

  // The proxy's statistics callback: stores its totals (and, while it runs, its tunnel count)
  // in the counters and pushes "onStatsUpdate". Called on the proxy's statistics thread.
  void onProxyStats(int64_t sent, int64_t received);

  // Current values, for the window and for tests.
  bool vpnConnected() const { return vpnConnected_; }
  const NetworkSettings& network() const { return network_; }
  int32_t activeConnections() const { return activeConnections_.load(); }
  int64_t bytesSent() const { return bytesSent_.load(); }
  int64_t bytesReceived() const { return bytesReceived_.load(); }
  LocalProxyServer* proxyServer() const { return proxyServer_.get(); }

  // Test seam for the fixed waits of "startVpn" (500 ms) and "stopVpn" (300 ms): `wait` is
  // called instead of sleeping. Set before registerChannels().
  void setWaitForTesting(std::function<void(std::chrono::milliseconds)> wait);

 private:
  // How far a "startVpn" call got before it failed, so that its rollback undoes only that.
  enum class StartVpnStage { kNothingStarted, kProxyStarted, kPacSet };

  void startVpn(const flutter::EncodableValue& arguments, ChannelResult result);
  void failStartVpn(const char* reason, StartVpnStage stage, ChannelResult& result);
  void stopVpn(ChannelResult result);
  void startProxyServer(const flutter::EncodableValue& arguments, ChannelResult result);
  void recordTcpConnection(const flutter::EncodableValue& arguments, ChannelResult result);
  void setSystemDnsFromUi(const flutter::EncodableValue& arguments, ChannelResult result);
  flutter::EncodableValue tcpConnectionList() const;
  flutter::EncodableValue currentServerValue() const;
  flutter::EncodableValue statisticsMap() const;
  bool proxyRunning() const { return proxyServer_ != nullptr && proxyServer_->isRunning(); }
  void wait(std::chrono::milliseconds duration) { wait_(duration); }

  // Platform thread only.
  bool vpnConnected_ = false;
  CurrentServer currentServer_;

  // Traffic counters: written by the platform thread and by the statistics thread.
  std::atomic<int32_t> activeConnections_{0};
  std::atomic<int64_t> bytesSent_{0};
  std::atomic<int64_t> bytesReceived_{0};

  TcpConnectionRecords tcpConnections_;  // has its own mutex

  // Set once in the constructor; platform thread only.
  NetworkSettings& network_;
  std::function<void(std::chrono::milliseconds)> wait_;

  // Created by registerChannels() before the proxy exists; read by the statistics thread.
  std::unique_ptr<Channel> vpnChannel_;
  std::unique_ptr<Channel> statsChannel_;

  // The statistics push gate: the push is handed to the stats channel only while
  // pushesEnabled_ is true, and the check and the hand-over happen under pushMutex_, so
  // closing the gate also waits out a push in flight.
  std::mutex pushMutex_;
  bool pushesEnabled_ = false;  // guarded by pushMutex_

  // Created once by registerChannels(). Declared last so that it is destroyed first: its
  // destruction joins the statistics thread, which uses the members above.
  std::unique_ptr<LocalProxyServer> proxyServer_;
};

}  // namespace quillon
