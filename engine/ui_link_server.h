// The stand-in's side of the UI link: a loopback listener through which a test or tool plays the
// UI. A client authenticates with the token from the port file, then sends calls, receives their
// replies and every message the program sends. Frames are described in ui_link_frames.h.
#ifndef QUILLON_ENGINE_UI_LINK_SERVER_H_
#define QUILLON_ENGINE_UI_LINK_SERVER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link_socket.h"

namespace standin::link {

struct Connection;
struct Frame;

class UiLinkServer {
 public:
  // Hands a call to the program. Called on the link's own thread; it must only queue the work.
  // `onReply` may be called once, from any thread.
  using Deliver = std::function<void(const std::string& channel, std::vector<uint8_t> message,
                                     std::function<void(const uint8_t*, size_t)> onReply)>;
  // Answers a call on a reserved channel directly (on the link's thread), or nothing when the
  // channel is not reserved.
  using Reserved = std::function<std::optional<std::vector<uint8_t>>(const std::string& channel)>;

  // How long a client may take to send its token, and how long one send may block.
  static constexpr int kHelloTimeoutMs = 5000;
  static constexpr int kSendTimeoutMs = 5000;
  static constexpr size_t kMaxConnections = 16;

  UiLinkServer(Deliver deliver, Reserved reserved);
  ~UiLinkServer();
  UiLinkServer(const UiLinkServer&) = delete;
  UiLinkServer& operator=(const UiLinkServer&) = delete;

  // Listens on 127.0.0.1, draws a fresh token and writes "PORT TOKEN\n" to `portFile` (UTF-8
  // path), then starts the link's thread. False with `error` set when any step fails.
  bool start(const std::string& portFile, std::string& error);
  // Stops the thread, closes every connection and removes the port file. Idempotent.
  void stop();

  // Passes a message the program sent on `channel` to every authenticated client. Any thread.
  void broadcast(const std::string& channel, const uint8_t* data, size_t size);

 private:
  void run();
  void onReadable(const std::shared_ptr<Connection>& connection, uint8_t* buffer, size_t size);
  bool handleFrame(const std::shared_ptr<Connection>& connection, Frame& frame);

  // Set once before the thread starts.
  Deliver deliver_;
  Reserved reserved_;
  Socket listener_;
  std::string token_;
  std::string portFile_;
  std::thread thread_;

  std::atomic<bool> stopping_{false};
  // The list is guarded by connectionsMutex_; the link's thread alone adds and removes entries.
  std::mutex connectionsMutex_;
  std::vector<std::shared_ptr<Connection>> connections_;
};

}  // namespace standin::link

#endif  // QUILLON_ENGINE_UI_LINK_SERVER_H_
