// Moves pseudo-random bytes both ways over many connections at once from one thread, and keeps
// a hash of everything each end sent and received, so that a test can compare the two ends of
// every connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "proxy/socket_compat.h"

namespace quillon::testing {

// A 64-bit hash of a byte stream that does not depend on how the stream was cut into pieces.
class StreamHash {
 public:
  void add(const char* data, size_t size);
  // The hash of everything added so far (the bytes still held back included).
  uint64_t value() const;

 private:
  void mix(uint64_t word);

  uint64_t state_ = 0x9E3779B97F4A7C15ull;
  uint64_t pending_ = 0;  // up to 7 bytes not yet mixed, in arrival order
  int pendingCount_ = 0;
  uint64_t length_ = 0;
};

// One end of a connection as the pump drives it.
struct PumpEnd {
  // Set by the test.
  Socket socket;
  uint64_t seed = 1;         // of the bytes this end sends
  uint64_t bytesToSend = 0;  // sent in chunks of random size (1 byte to 64 KiB)
  uint64_t bytesToReceive = 0;
  // true: close the socket once everything is sent and received (the side that ends the
  // connection); false: then wait for the peer to close.
  bool closeWhenDone = false;

  // Filled in by the pump.
  uint64_t sent = 0;
  uint64_t received = 0;
  StreamHash sentHash;
  StreamHash receivedHash;
  bool peerClosed = false;
  bool failed = false;  // a send or receive error other than would-block
  std::string failure;

  // Pump state.
  uint64_t rng = 0;
  std::vector<char> chunk;
  size_t chunkOffset = 0;
  bool finished = false;
};

// Puts every end's socket into non-blocking mode and moves the bytes until every end is
// finished (closed after its exchange, or saw its peer close after receiving everything) or
// timeoutMs passed. Returns true when every end finished without failure.
bool pumpTraffic(std::vector<PumpEnd*>& ends, int timeoutMs);

}  // namespace quillon::testing
