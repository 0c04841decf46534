#include "traffic_pump.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "socket_poll.h"

namespace quillon::testing {

namespace {

constexpr size_t kMaxChunk = 65536;

uint64_t nextRandom(uint64_t& state) {
  // xorshift64*: fast, and plenty for test traffic.
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return state * 0x2545F4914F6CDD1Dull;
}

// Chunk sizes spread evenly over the powers of two up to 64 KiB, so that tiny and large
// writes both occur often.
size_t randomChunkSize(uint64_t& state) {
  const uint64_t r = nextRandom(state);
  const unsigned bits = static_cast<unsigned>(r % 17);
  return 1 + static_cast<size_t>((r >> 8) % (uint64_t{1} << bits));
}

void fillRandom(uint64_t& state, char* data, size_t size) {
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    const uint64_t word = nextRandom(state);
    std::memcpy(data + i, &word, 8);
  }
  if (i < size) {
    const uint64_t word = nextRandom(state);
    std::memcpy(data + i, &word, size - i);
  }
}

void failEnd(PumpEnd& end, const std::string& what) {
  end.failed = true;
  end.finished = true;
  end.failure = what + " failed with " + std::to_string(lastSocketError());
  end.socket.reset();
}

void sendSomeOf(PumpEnd& end) {
  if (end.chunkOffset == end.chunk.size()) {
    const size_t size = static_cast<size_t>(
        std::min<uint64_t>(randomChunkSize(end.rng), end.bytesToSend - end.sent));
    end.chunk.resize(size);
    fillRandom(end.rng, end.chunk.data(), size);
    end.sentHash.add(end.chunk.data(), size);
    end.chunkOffset = 0;
  }
  const long n = sendSome(end.socket.get(), end.chunk.data() + end.chunkOffset,
                          end.chunk.size() - end.chunkOffset);
  if (n > 0) {
    end.chunkOffset += static_cast<size_t>(n);
    end.sent += static_cast<uint64_t>(n);
  } else if (lastSocketError() != wsa::kWouldBlock) {
    failEnd(end, "send");
  }
}

void receiveSomeOf(PumpEnd& end, std::vector<char>& buffer) {
  const long n = recvSome(end.socket.get(), buffer.data(), buffer.size());
  if (n > 0) {
    end.receivedHash.add(buffer.data(), static_cast<size_t>(n));
    end.received += static_cast<uint64_t>(n);
  } else if (n == 0) {
    end.peerClosed = true;
  } else if (lastSocketError() != wsa::kWouldBlock) {
    failEnd(end, "receive");
  }
}

void updateFinished(PumpEnd& end) {
  if (end.finished) return;
  const bool exchanged = end.sent == end.bytesToSend && end.received >= end.bytesToReceive;
  if (end.closeWhenDone && exchanged) {
    end.socket.reset();
    end.finished = true;
  } else if (end.peerClosed) {
    end.finished = true;
    if (!exchanged) {
      end.failed = true;
      end.failure = "peer closed after " + std::to_string(end.received) + " of " +
                    std::to_string(end.bytesToReceive) + " bytes";
    }
  }
}

}  // namespace

void StreamHash::mix(uint64_t word) {
  state_ ^= word;
  state_ *= 0x100000001B3ull;
  state_ ^= state_ >> 29;
}

void StreamHash::add(const char* data, size_t size) {
  length_ += size;
  size_t i = 0;
  while (i < size && pendingCount_ != 0) {
    pending_ |= static_cast<uint64_t>(static_cast<unsigned char>(data[i++])) << (8 * pendingCount_);
    if (++pendingCount_ == 8) {
      mix(pending_);
      pending_ = 0;
      pendingCount_ = 0;
    }
  }
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    mix(word);
  }
  for (; i < size; ++i) {
    pending_ |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * pendingCount_);
    ++pendingCount_;
  }
}

uint64_t StreamHash::value() const {
  // Hosts are little-endian on both platforms, so whole words and byte-wise assembled words
  // agree; the length separates streams that differ only in trailing zero bytes.
  StreamHash copy = *this;
  copy.mix(copy.pending_);
  copy.mix(copy.length_);
  return copy.state_;
}

bool pumpTraffic(std::vector<PumpEnd*>& ends, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (PumpEnd* end : ends) {
    end->rng = end->seed * 0x9E3779B97F4A7C15ull + 1;
    if (!setSocketBlocking(end->socket.get(), false)) failEnd(*end, "non-blocking mode");
  }
  std::vector<char> buffer(kMaxChunk);
  std::vector<PollEntry> entries;
  std::vector<PumpEnd*> waiting;
  for (;;) {
    entries.clear();
    waiting.clear();
    for (PumpEnd* end : ends) {
      updateFinished(*end);
      if (end->finished) continue;
      PollEntry entry;
      entry.socket = end->socket.get();
      entry.wantRead = true;
      entry.wantWrite = end->sent < end->bytesToSend;
      entries.push_back(entry);
      waiting.push_back(end);
    }
    if (waiting.empty()) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    if (pollSockets(entries, 100) < 0) break;
    for (size_t i = 0; i < waiting.size(); ++i) {
      if (entries[i].writable) sendSomeOf(*waiting[i]);
      if (entries[i].readable && !waiting[i]->finished) receiveSomeOf(*waiting[i], buffer);
    }
  }
  bool ok = true;
  for (PumpEnd* end : ends) {
    if (!end->finished) {
      end->failed = true;
      end->failure = "timed out after sending " + std::to_string(end->sent) + " and receiving " +
                     std::to_string(end->received) + " bytes";
    }
    ok = ok && !end->failed;
  }
  return ok;
}

}  // namespace quillon::testing
