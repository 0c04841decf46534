#include "proxy/http_forward.h"

#include "log/app_log.h"
#include "log/log_text.h"
#include "proxy/proxy_run.h"

namespace quillon {

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
    // Later requests' heads may be among these bytes: the line counts only bodies.
    const size_t body = request.earlyBodyBytes;
    if (body > 0)
      logLine(prefix, "已发送 ", body, " 字节的请求体数据 (总计 ", body, "/", body, ")");
  }
  for (const RequestReport& later : request.laterRequests) logForwardedRequest(prefix, later);

  TunnelSetup setup;
  setup.core = run.core;
  setup.client = std::move(session.client);
  setup.upstream = std::move(session.upstream);
  setup.sessionPrefix = prefix;
  setup.baseId =
      prefix + "tunnel-" + loggableText(request.method) + "-" + loggableText(request.target);
  std::vector<RequestReport> accepted = std::move(request.laterRequests);
  accepted.insert(accepted.begin(), RequestReport{request.method, request.target,
                                                  request.authorizationAdded, request.upgrade});
  setup.http =
      std::make_unique<HttpExchange>(std::move(request.rewriter), accepted,
                                     std::move(request.early), prefix, run.timeouts.clientHeadMs);
  return setup;
}

}  // namespace quillon
