#include "ui_link_server.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "secure_random.h"
#include "ui_link_frames.h"

namespace standin::link {

struct Connection {
  Socket socket;  // received from and closed by the link's thread only; sends under writeMutex
  std::mutex writeMutex;
  bool open = true;  // guarded by writeMutex
  std::atomic<bool> authenticated{false};
  FrameReader reader;                                 // link's thread only
  std::chrono::steady_clock::time_point helloBefore;  // link's thread only

  // Any thread. A failed send shuts the socket down, so the link's thread drops the connection.
  void send(const Frame& frame) {
    std::vector<uint8_t> bytes = encodeFrame(frame);
    std::lock_guard<std::mutex> lock(writeMutex);
    if (!open) return;
    if (bytes.empty() || !sendAll(socket, bytes.data(), bytes.size())) socket.shutdownBoth();
  }

  void close() {
    std::lock_guard<std::mutex> lock(writeMutex);
    open = false;
    socket.close();
  }
};

namespace {

std::filesystem::path utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

bool drawToken(std::string& token) {
  uint8_t bytes[kTokenLength / 2];
  if (!secureRandomBytes(bytes, sizeof(bytes))) return false;
  static const char kHex[] = "0123456789abcdef";
  token.clear();
  for (uint8_t byte : bytes) {
    token.push_back(kHex[byte >> 4]);
    token.push_back(kHex[byte & 15]);
  }
  return true;
}

// Compares without stopping at the first difference, so timing says nothing about the token.
bool sameToken(const std::string& given, const std::string& expected) {
  if (given.size() != expected.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
  }
  return difference == 0;
}

std::string readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

UiLinkServer::UiLinkServer(Deliver deliver, Reserved reserved)
    : deliver_(std::move(deliver)), reserved_(std::move(reserved)) {}

UiLinkServer::~UiLinkServer() { stop(); }

bool UiLinkServer::start(const std::string& portFile, std::string& error) {
  uint16_t port = 0;
  listener_ = listenLoopback(port, error);
  if (!listener_.valid()) return false;
  if (!drawToken(token_)) {
    error = "the system's random generator failed";
    listener_.close();
    return false;
  }
  // Written beside the target and renamed over it, so a reader never sees half a file.
  std::filesystem::path target = utf8Path(portFile);
  std::filesystem::path temporary = target;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    // The token is a password for the program's channels: only the owner may read it.
    std::error_code permissionError;
    std::filesystem::permissions(
        temporary, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        permissionError);
    out << port << ' ' << token_ << '\n';
    out.close();
    if (!out) {
      error = "cannot write the port file " + portFile;
      listener_.close();
      return false;
    }
  }
  std::error_code renameError;
  std::filesystem::rename(temporary, target, renameError);
  if (renameError) {
    error = "cannot write the port file " + portFile + ": " + renameError.message();
    std::filesystem::remove(temporary, renameError);
    listener_.close();
    return false;
  }
  portFile_ = portFile;
  thread_ = std::thread(&UiLinkServer::run, this);
  return true;
}

void UiLinkServer::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  std::vector<std::shared_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    connections.swap(connections_);
  }
  for (auto& connection : connections) connection->close();
  listener_.close();
  if (!portFile_.empty()) {
    std::filesystem::path target = utf8Path(portFile_);
    // Only our own file: a later run may already have replaced it.
    if (readWholeFile(target).find(token_) != std::string::npos) {
      std::error_code ignored;
      std::filesystem::remove(target, ignored);
    }
    portFile_.clear();
  }
}

void UiLinkServer::broadcast(const std::string& channel, const uint8_t* data, size_t size) {
  Frame frame;
  frame.kind = FrameKind::kPush;
  frame.text = channel;
  frame.message.assign(data, data + size);
  std::vector<std::shared_ptr<Connection>> targets;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    for (auto& connection : connections_) {
      if (connection->authenticated) targets.push_back(connection);
    }
  }
  for (auto& connection : targets) connection->send(frame);
}

void UiLinkServer::run() {
  std::vector<uint8_t> buffer(64 * 1024);
  std::vector<bool> readable;
  while (!stopping_) {
    std::vector<std::shared_ptr<Connection>> connections;
    {
      std::lock_guard<std::mutex> lock(connectionsMutex_);
      connections = connections_;
    }
    std::vector<const Socket*> sockets{&listener_};
    for (auto& connection : connections) sockets.push_back(&connection->socket);
    // The short wait bounds how long stop() takes.
    if (!waitReadable(sockets, 100, readable)) {
      std::cerr << "UI link stopped: waiting on its sockets failed\n" << std::flush;
      break;
    }

    std::vector<std::shared_ptr<Connection>> finished;
    auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < connections.size(); ++i) {
      auto& connection = connections[i];
      if (readable[i + 1]) onReadable(connection, buffer.data(), buffer.size());
      if (!connection->authenticated && now > connection->helloBefore) {
        connection->socket.shutdownBoth();
      }
      std::lock_guard<std::mutex> lock(connection->writeMutex);
      if (!connection->open) finished.push_back(connection);
    }
    if (readable[0]) {
      std::string error;
      Socket client = acceptClient(listener_, error);
      if (client.valid() && connections.size() - finished.size() < kMaxConnections) {
        setSendTimeout(client, kSendTimeoutMs);
        auto connection = std::make_shared<Connection>();
        connection->socket = std::move(client);
        connection->helloBefore = now + std::chrono::milliseconds(kHelloTimeoutMs);
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_.push_back(std::move(connection));
      }
    }
    if (!finished.empty()) {
      std::lock_guard<std::mutex> lock(connectionsMutex_);
      std::erase_if(connections_, [&](const std::shared_ptr<Connection>& connection) {
        return std::find(finished.begin(), finished.end(), connection) != finished.end();
      });
    }
  }
}

void UiLinkServer::onReadable(const std::shared_ptr<Connection>& connection, uint8_t* buffer,
                              size_t size) {
  long received = receiveSome(connection->socket, buffer, size);
  if (received <= 0) {
    connection->close();
    return;
  }
  connection->reader.append(buffer, static_cast<size_t>(received));
  Frame frame;
  for (;;) {
    ReadStatus status = connection->reader.next(frame);
    if (status == ReadStatus::kNeedMore) return;
    if (status == ReadStatus::kBad || !handleFrame(connection, frame)) {
      connection->close();
      return;
    }
  }
}

bool UiLinkServer::handleFrame(const std::shared_ptr<Connection>& connection, Frame& frame) {
  if (!connection->authenticated) {
    if (frame.kind != FrameKind::kHello || !sameToken(frame.text, token_)) return false;
    connection->authenticated = true;
    Frame welcome;
    welcome.kind = FrameKind::kWelcome;
    connection->send(welcome);
    return true;
  }
  // After the hello a client may only call.
  if (frame.kind != FrameKind::kCall) return false;
  if (std::optional<std::vector<uint8_t>> answer = reserved_(frame.text)) {
    Frame reply;
    reply.kind = FrameKind::kReply;
    reply.id = frame.id;
    reply.message = std::move(*answer);
    connection->send(reply);
    return true;
  }
  uint32_t id = frame.id;
  deliver_(frame.text, std::move(frame.message),
           [connection, id](const uint8_t* data, size_t size) {
             Frame reply;
             reply.kind = FrameKind::kReply;
             reply.id = id;
             if (size > 0) reply.message.assign(data, data + size);
             connection->send(reply);
           });
  return true;
}

}  // namespace standin::link
