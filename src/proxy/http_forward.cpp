#include "proxy/http_forward.h"

#include <chrono>

#include "log/app_log.h"
#include "log/log_text.h"
#include "proxy/proxy_run.h"

namespace quillon {

namespace {

void logLaterRequests(const std::string& prefix, const std::vector<RequestReport>& requests) {
  for (const RequestReport& request : requests) {
    logRequest(prefix, request);
    if (request.authorizationAdded) logLine(prefix, "已添加代理认证头 (Basic认证)");
  }
}

// The client's bytes on their way upstream, request by request through the rewriter; each
// head must end within its own deadline from its first byte.
class HttpRequestFilter : public RequestFilter {
 public:
  HttpRequestFilter(std::unique_ptr<RequestStreamRewriter> rewriter, std::string prefix, int headMs)
      : rewriter_(std::move(rewriter)), prefix_(std::move(prefix)), headMs_(headMs) {
    trackHead();
  }

  bool filter(std::string_view in, std::string& out) override {
    const FeedResult fed = rewriter_->feed(in, out);
    logLaterRequests(prefix_, fed.requests);
    if (fed.verdict == StreamVerdict::kRefused) {
      logError(prefix_, faultText(fed.fault));
      return false;
    }
    trackHead();
    return true;
  }

  std::optional<Deadline> headDeadline() const override {
    if (rewriter_->headInProgress() == 0) return std::nullopt;
    return deadline_;
  }

  void refuseLateHead() override { logError(prefix_, faultText(RequestFault::kHeadTimedOut)); }

 private:
  void trackHead() {
    const uint64_t head = rewriter_->headInProgress();
    if (head != 0 && head != head_) {
      head_ = head;
      deadline_ = deadlineIn(headMs_);
    }
  }

  std::unique_ptr<RequestStreamRewriter> rewriter_;
  std::string prefix_;
  int headMs_;
  uint64_t head_ = 0;  // the head whose deadline runs
  Deadline deadline_;
};

}  // namespace

std::optional<TunnelSetup> forwardHttpRequest(SessionContext& session, ClientRequest& request) {
  ProxyRun& run = session.run;
  const std::string& prefix = session.prefix;
  if (request.authorizationAdded) logLine(prefix, "已添加代理认证头 (Basic认证)");
  const std::string_view bytes(request.upstreamBytes);
  if (!sendUpstream(session, bytes.substr(0, request.firstHeadSize),
                    "发送HTTP请求头到目标代理失败: 错误码=")) {
    return std::nullopt;
  }
  const std::string_view rest = bytes.substr(request.firstHeadSize);
  if (!rest.empty()) {
    if (!sendUpstream(session, rest, "发送请求体到目标代理失败: 错误码=")) return std::nullopt;
    logLine(prefix, "已发送 ", rest.size(), " 字节的请求体数据 (总计 ", rest.size(), "/",
            rest.size(), ")");
  }
  logLaterRequests(prefix, request.laterRequests);

  TunnelSetup setup;
  setup.core = run.core;
  setup.client = std::move(session.client);
  setup.upstream = std::move(session.upstream);
  setup.sessionPrefix = prefix;
  setup.baseId =
      prefix + "tunnel-" + loggableText(request.method) + "-" + loggableText(request.target);
  setup.requestFilter = std::make_unique<HttpRequestFilter>(std::move(request.rewriter), prefix,
                                                            run.timeouts.clientHeadMs);
  return setup;
}

}  // namespace quillon
