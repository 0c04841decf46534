#include "link_client.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quillon::driver {

using standin::link::Frame;
using standin::link::FrameKind;
using standin::link::ReadStatus;

namespace {

int millisecondsLeft(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1000 * 1000));
}

}  // namespace

LinkStatus readPortFile(const std::string& path, PortFile& out) {
  std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())));
  if (!in) return LinkStatus::kPortFileMissing;
  std::string line;
  std::getline(in, line);
  std::istringstream fields(line);
  long port = 0;
  std::string token;
  std::string extra;
  if (!(fields >> port >> token) || (fields >> extra) || port <= 0 || port > 65535 ||
      token.size() != standin::link::kTokenLength) {
    return LinkStatus::kPortFileMalformed;
  }
  out.port = static_cast<uint16_t>(port);
  out.token = token;
  return LinkStatus::kOk;
}

LinkStatus LinkClient::connectOnly(uint16_t port, Clock::time_point deadline) {
  std::string error;
  socket_ = standin::link::connectLoopback(port, std::max(1, millisecondsLeft(deadline)), error);
  reader_ = standin::link::FrameReader();
  if (socket_.valid()) return LinkStatus::kOk;
  return error == "connect timed out" ? LinkStatus::kTimeout : LinkStatus::kStale;
}

LinkStatus LinkClient::open(const PortFile& portFile, Clock::time_point deadline) {
  LinkStatus status = connectOnly(portFile.port, deadline);
  if (status != LinkStatus::kOk) return status;
  Frame hello;
  hello.kind = FrameKind::kHello;
  hello.text = portFile.token;
  if (!sendFrame(hello)) return LinkStatus::kTokenRefused;
  Frame answer;
  status = nextFrame(answer, deadline);
  if (status == LinkStatus::kClosed) return LinkStatus::kTokenRefused;
  if (status != LinkStatus::kOk) return status;
  return answer.kind == FrameKind::kWelcome ? LinkStatus::kOk : LinkStatus::kBadFrame;
}

bool LinkClient::sendBytes(const std::vector<uint8_t>& bytes) {
  return socket_.valid() && !bytes.empty() &&
         standin::link::sendAll(socket_, bytes.data(), bytes.size());
}

bool LinkClient::sendFrame(const Frame& frame) {
  return sendBytes(standin::link::encodeFrame(frame));
}

bool LinkClient::sendCall(const std::string& channel, const std::vector<uint8_t>& message,
                          uint32_t& id) {
  Frame frame;
  frame.kind = FrameKind::kCall;
  frame.id = id = nextId_++;
  frame.text = channel;
  frame.message = message;
  return sendFrame(frame);
}

LinkStatus LinkClient::nextFrame(Frame& frame, Clock::time_point deadline) {
  std::vector<uint8_t> buffer(64 * 1024);
  std::vector<bool> readable;
  for (;;) {
    switch (reader_.next(frame)) {
      case ReadStatus::kFrame:
        return LinkStatus::kOk;
      case ReadStatus::kBad:
        return LinkStatus::kBadFrame;
      case ReadStatus::kNeedMore:
        break;
    }
    if (!socket_.valid()) return LinkStatus::kClosed;
    int left = millisecondsLeft(deadline);
    if (left == 0) return LinkStatus::kTimeout;
    if (!standin::link::waitReadable({&socket_}, left, readable)) return LinkStatus::kClosed;
    if (!readable[0]) continue;
    long received = standin::link::receiveSome(socket_, buffer.data(), buffer.size());
    if (received <= 0) {
      socket_.close();
      return LinkStatus::kClosed;
    }
    reader_.append(buffer.data(), static_cast<size_t>(received));
  }
}

LinkStatus LinkClient::call(const std::string& channel, const std::vector<uint8_t>& message,
                            std::vector<uint8_t>& reply, Clock::time_point deadline) {
  uint32_t id = 0;
  if (!sendCall(channel, message, id)) return LinkStatus::kClosed;
  for (;;) {
    Frame frame;
    LinkStatus status = nextFrame(frame, deadline);
    if (status != LinkStatus::kOk) return status;
    if (frame.kind == FrameKind::kReply && frame.id == id) {
      reply = std::move(frame.message);
      return LinkStatus::kOk;
    }
  }
}

std::string describe(LinkStatus status) {
  switch (status) {
    case LinkStatus::kOk:
      return "ok";
    case LinkStatus::kPortFileMissing:
      return "the port file cannot be read (is the program running with --ui-link?)";
    case LinkStatus::kPortFileMalformed:
      return "the port file does not hold a port and a token";
    case LinkStatus::kStale:
      return "the port file is stale: nothing listens on its port";
    case LinkStatus::kTokenRefused:
      return "the program refused the token";
    case LinkStatus::kTimeout:
      return "timed out";
    case LinkStatus::kClosed:
      return "the program closed the link";
    case LinkStatus::kBadFrame:
      return "the program sent a malformed frame";
  }
  return "unknown";
}

}  // namespace quillon::driver
