// The TCP connections the UI reported through the vpn channel: a bounded, time-stamped list,
// oldest first, kept for the life of the application state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace quillon {

struct TcpConnectionRecord {
  std::string sourceIp;
  int32_t sourcePort = 0;
  std::string destIp;
  int32_t destPort = 0;
  bool isRouted = false;
  std::string timestamp;  // local time of recording, "%Y-%m-%d %H:%M:%S"
};

// At most this many records are kept; each further one drops the oldest.
inline constexpr std::size_t kMaxTcpConnectionRecords = 1000;

// Thread-safe list of records. Every operation holds the list's one mutex for its whole read
// or update, so a listing never sees a half-made change.
class TcpConnectionRecords {
 public:
  // Stamps a record with the current local time (taken before locking), appends it, drops the
  // oldest record when the list outgrows its bound, and logs
  // "记录TCP连接: src:port -> dst:port (路由: 是|否)" while still holding the lock.
  void recordTcpConnection(const std::string& sourceIp, int32_t sourcePort,
                           const std::string& destIp, int32_t destPort, bool isRouted);

  // A copy of every record, oldest first.
  std::vector<TcpConnectionRecord> snapshot() const;

  // Removes every record.
  void clear();

  std::size_t size() const;

 private:
  mutable std::mutex tcpConnectionsMutex;
  std::deque<TcpConnectionRecord> tcpConnections;  // guarded by tcpConnectionsMutex
};

}  // namespace quillon
