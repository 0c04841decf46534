// The client side of the UI link: reads the port file, connects to 127.0.0.1, authenticates with
// the token, sends calls and reads replies and pushes. Every wait has a deadline. Used by the UI
// driver and by tests.
#ifndef QUILLON_TOOLS_DRIVER_LINK_CLIENT_H_
#define QUILLON_TOOLS_DRIVER_LINK_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link_socket.h"
#include "ui_link_frames.h"

namespace quillon::driver {

enum class LinkStatus {
  kOk,
  kPortFileMissing,    // the port file cannot be read
  kPortFileMalformed,  // it does not hold "PORT TOKEN"
  kStale,              // nothing listens on the port any more
  kTokenRefused,       // the program closed the link instead of accepting the token
  kTimeout,            // a wait ran out
  kClosed,             // the connection ended or failed
  kBadFrame,           // the program sent something that is not a frame
};

struct PortFile {
  uint16_t port = 0;
  std::string token;
};

using Clock = std::chrono::steady_clock;

// Reads "PORT TOKEN" from `path` (UTF-8).
LinkStatus readPortFile(const std::string& path, PortFile& out);

class LinkClient {
 public:
  // Connects and authenticates; kOk once the program has welcomed the token.
  LinkStatus open(const PortFile& portFile, Clock::time_point deadline);
  // Connects without authenticating (for tests that misbehave on purpose).
  LinkStatus connectOnly(uint16_t port, Clock::time_point deadline);

  bool sendFrame(const standin::link::Frame& frame);
  bool sendBytes(const std::vector<uint8_t>& bytes);
  // Sends a call with a fresh id, stored in `id`.
  bool sendCall(const std::string& channel, const std::vector<uint8_t>& message, uint32_t& id);
  // The next frame from the program.
  LinkStatus nextFrame(standin::link::Frame& frame, Clock::time_point deadline);
  // Sends a call and waits for its reply; pushes that arrive meanwhile are skipped.
  LinkStatus call(const std::string& channel, const std::vector<uint8_t>& message,
                  std::vector<uint8_t>& reply, Clock::time_point deadline);

 private:
  standin::link::Socket socket_;
  standin::link::FrameReader reader_;
  uint32_t nextId_ = 1;
};

// A one-line explanation of a status, for error messages.
std::string describe(LinkStatus status);

}  // namespace quillon::driver

#endif  // QUILLON_TOOLS_DRIVER_LINK_CLIENT_H_
