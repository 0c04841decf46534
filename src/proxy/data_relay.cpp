#include "proxy/data_relay.h"

#include <exception>
#include <thread>

#include "app/app_log.h"
#include "proxy/thread_launch.h"

namespace quillon {

namespace {

constexpr size_t kRelayBufferSize = 8192;
constexpr int64_t kKilobyteLineThreshold = 1048576;

// Writes all `size` bytes to the job's destination, waiting for writability whenever the
// socket's send buffer is full. Returns false (after the failure line) when a write fails.
bool writeChunk(RelayJob& job, const char* data, size_t size, int64_t& total) {
  size_t written = 0;
  while (written < size) {
    const long n = sendSome(job.destination, data + written, size - written);
    if (n > 0) {
      written += static_cast<size_t>(n);
      total += n;
      continue;
    }
    const int error = lastSocketError();
    if ((n == 0 || error == wsa::kWouldBlock) && waitWritable(job.destination, -1) >= 0) {
      continue;
    }
    logError("转发", job.label, "数据失败: ", n == 0 ? error : lastSocketError());
    job.tunnel->end();
    return false;
  }
  return true;
}

void copyLoop(RelayJob& job, int64_t& total) {
  DataTunnel& tunnel = *job.tunnel;
  SourceWatch watch(job.source, tunnel.wake);
  if (!watch.valid()) {
    logError(job.label, ": 读取错误: ", lastSocketError());
    tunnel.end();
    return;
  }
  if (!job.pending.empty() && !writeChunk(job, job.pending.data(), job.pending.size(), total)) {
    return;
  }
  char buffer[kRelayBufferSize];
  while (tunnel.tunnelActive.load()) {
    const long n = recvSome(job.source, buffer, sizeof buffer);
    if (n > 0) {
      if (!writeChunk(job, buffer, static_cast<size_t>(n), total)) return;
      continue;
    }
    if (n == 0) {
      logLine(job.label, ": 连接关闭");
      tunnel.end();
      return;
    }
    const int error = lastSocketError();
    if (error == wsa::kWouldBlock) {
      if (watch.wait()) continue;
    }
    logError(job.label, ": 读取错误: ", error == wsa::kWouldBlock ? lastSocketError() : error);
    tunnel.end();
    return;
  }
}

std::unique_ptr<RelayJob> makeJob(const std::shared_ptr<ProxyCore>& core,
                                  const std::shared_ptr<DataTunnel>& tunnel, bool clientToUpstream,
                                  const std::string& sessionPrefix, const std::string& baseId,
                                  std::string pending) {
  auto job = std::make_unique<RelayJob>();
  job->source = clientToUpstream ? tunnel->client.get() : tunnel->upstream.get();
  job->destination = clientToUpstream ? tunnel->upstream.get() : tunnel->client.get();
  job->tunnel = tunnel;
  job->pending = std::move(pending);
  job->label = sessionPrefix + (clientToUpstream ? "客户端->代理" : "代理->客户端");
  job->tunnelId = baseId + (clientToUpstream ? "-c2p" : "-p2c");
  job->clientToUpstream = clientToUpstream;
  job->core = core;
  return job;
}

}  // namespace

void relayData(std::unique_ptr<RelayJob> job) {
  job->core->registerTunnel(job->tunnelId);
  int64_t total = 0;
  try {
    copyLoop(*job, total);
  } catch (const std::exception& e) {
    logError(job->label, ": 异常: ", e.what());
    job->tunnel->end();
  }
  if (job->clientToUpstream) {
    job->core->addSent(total);
  } else {
    job->core->addReceived(total);
  }
  if (total > kKilobyteLineThreshold) {
    logLine(job->label, ": 转发线程结束，总共转发 ", total / 1024, " KB");
  }
  job->core->unregisterTunnel(job->tunnelId);
  // Dropping the job releases this direction's share of the tunnel; the last one closes both
  // sockets.
}

bool startTunnelRelays(const std::shared_ptr<ProxyCore>& core, Socket& client, Socket& upstream,
                       const std::string& sessionPrefix, const std::string& baseId,
                       std::string clientPending, std::string upstreamPending) {
  setSocketBlocking(client.get(), false);
  setSocketBlocking(upstream.get(), false);
  auto tunnel = std::make_shared<DataTunnel>(std::move(client), std::move(upstream));
  if (!tunnel->wake.valid()) {
    logError(sessionPrefix, "创建隧道信号失败: ", lastSocketError());
    return false;
  }

  auto toUpstream = makeJob(core, tunnel, true, sessionPrefix, baseId, std::move(clientPending));
  auto toClient = makeJob(core, tunnel, false, sessionPrefix, baseId, std::move(upstreamPending));

  std::thread first;
  std::thread second;
  std::string error;
  if (!launchThread(ProxyThread::kClientRelay, first, error,
                    [job = std::move(toUpstream)]() mutable { relayData(std::move(job)); })) {
    logError(sessionPrefix, "创建转发线程失败: ", error);
    return false;
  }
  if (!launchThread(ProxyThread::kUpstreamRelay, second, error,
                    [job = std::move(toClient)]() mutable { relayData(std::move(job)); })) {
    logError(sessionPrefix, "创建转发线程失败: ", error);
    // The started direction leaves at once and, being the last owner, closes both sockets.
    tunnel->end();
    first.detach();
    return false;
  }
  first.detach();
  second.detach();
  return true;
}

}  // namespace quillon
