#include "channels/tcp_connection_records.h"

#include <utility>

#include "log/app_log.h"
#include "log/log_text.h"

namespace quillon {

void TcpConnectionRecords::recordTcpConnection(const std::string& sourceIp, int32_t sourcePort,
                                               const std::string& destIp, int32_t destPort,
                                               bool isRouted) {
  TcpConnectionRecord record{sourceIp, sourcePort, destIp, destPort, isRouted, localTimestamp()};

  std::lock_guard<std::mutex> lock(tcpConnectionsMutex);
  tcpConnections.push_back(std::move(record));
  if (tcpConnections.size() > kMaxTcpConnectionRecords) {
    tcpConnections.pop_front();
  }
  const TcpConnectionRecord& added = tcpConnections.back();
  logLine("记录TCP连接: ", loggableText(added.sourceIp), ":", added.sourcePort, " -> ",
          loggableText(added.destIp), ":", added.destPort, " (路由: ", added.isRouted ? "是" : "否",
          ")");
}

std::vector<TcpConnectionRecord> TcpConnectionRecords::snapshot() const {
  std::lock_guard<std::mutex> lock(tcpConnectionsMutex);
  return std::vector<TcpConnectionRecord>(tcpConnections.begin(), tcpConnections.end());
}

void TcpConnectionRecords::clear() {
  std::lock_guard<std::mutex> lock(tcpConnectionsMutex);
  tcpConnections.clear();
}

std::size_t TcpConnectionRecords::size() const {
  std::lock_guard<std::mutex> lock(tcpConnectionsMutex);
  return tcpConnections.size();
}

}  // namespace quillon
