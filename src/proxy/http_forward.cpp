#include "proxy/http_forward.h"

#include <algorithm>

#include "app/app_log.h"
#include "proxy/data_relay.h"
#include "proxy/http_head.h"
#include "proxy/proxy_run.h"
#include "proxy/proxy_core.h"
#include "proxy/proxy_text.h"

namespace quillon {

namespace {

constexpr size_t kBodyPieceSize = 8192;

bool isSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '.';
}

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string trimRight(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' ||
                           text.back() == '\t')) {
    text.pop_back();
  }
  return text;
}

// Splits "host[:port]" the way both the URL and the Host header are read.
void splitAuthority(const std::string& authority, int32_t defaultPort, HttpDestination& into) {
  const size_t colon = authority.find(':');
  if (colon == std::string::npos) {
    into.host = authority;
    into.port = defaultPort;
    return;
  }
  into.host = authority.substr(0, colon);
  into.port = parseLenientInt(std::string_view(authority).substr(colon + 1)).value_or(80);
}

}  // namespace

bool isAbsoluteTarget(const std::string& target) {
  const size_t separator = target.find("://");
  if (separator == std::string::npos || separator == 0 || !isAlpha(target[0])) return false;
  return std::all_of(target.begin(), target.begin() + static_cast<long>(separator), isSchemeChar);
}

HttpDestination parseRequestUrl(const std::string& target) {
  HttpDestination destination;
  const size_t start = target.find("://") + 3;
  const size_t end = target.find_first_of("/?#", start);
  const std::string authority =
      target.substr(start, end == std::string::npos ? std::string::npos : end - start);
  splitAuthority(authority, target.rfind("https://", 0) == 0 ? 443 : 80, destination);
  if (end == std::string::npos) {
    destination.path = "/";
  } else if (target[end] == '/') {
    destination.path = target.substr(end);
  } else {
    destination.path = "/" + target.substr(end);
  }
  return destination;
}

std::vector<std::string> headerLines(const std::string& requestHead) {
  std::vector<std::string> lines;
  size_t start = requestHead.find('\n');
  if (start == std::string::npos) return lines;
  ++start;
  while (start < requestHead.size()) {
    const size_t end = requestHead.find('\n', start);
    std::string line = requestHead.substr(start, end == std::string::npos ? end : end - start);
    if (line.empty() || line == "\r") break;
    lines.push_back(std::move(line));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

std::optional<HttpDestination> destinationFromHost(const std::vector<std::string>& headers) {
  for (const std::string& line : headers) {
    if (!startsWithNoCase(line, "Host:")) continue;
    const size_t valueStart = line.find_first_not_of(" \t", 5);
    const std::string value =
        trimRight(valueStart == std::string::npos ? std::string() : line.substr(valueStart));
    if (value.empty()) continue;  // a Host line without a value is no Host header
    HttpDestination destination;
    splitAuthority(value, 80, destination);
    destination.host = trimRight(destination.host);
    return destination;
  }
  return std::nullopt;
}

std::string buildForwardHead(const std::string& method, const HttpDestination& destination,
                             const std::string& version, const std::vector<std::string>& headers,
                             const std::string& authorizationLine) {
  std::string head = method + " http://" + destination.host;
  if (destination.port != 80) head += ":" + std::to_string(destination.port);
  head += destination.path + " " + version + "\r\n";
  for (const std::string& line : headers) {
    if (startsWithNoCase(line, "Proxy-Authorization:") ||
        startsWithNoCase(line, "Proxy-Connection:")) {
      continue;
    }
    const bool endsInCr = !line.empty() && line.back() == '\r';
    head.append(line, 0, endsInCr ? line.size() - 1 : line.size());
    head += "\r\n";
  }
  head += authorizationLine;
  head += kKeepAliveTail;
  return head;
}

namespace {

// Until the request rewriter is in: the client's later bytes go upstream unchanged.
class PassThroughFilter : public RequestFilter {
 public:
  bool filter(std::string_view in, std::string& out) override {
    out.append(in);
    return true;
  }
  std::optional<Deadline> headDeadline() const override { return std::nullopt; }
  void refuseLateHead() override {}
};

}  // namespace

bool examineHttpRequest(ProxyRun& run, const std::string& head, const std::string& prefix,
                        ClientRequest& request) {
  const std::vector<std::string> headers = headerLines(head);
  HttpDestination destination;
  if (isAbsoluteTarget(request.target)) {
    destination = parseRequestUrl(request.target);
  } else {
    std::optional<HttpDestination> fromHost = destinationFromHost(headers);
    if (!fromHost) {
      logError(prefix, "HTTP请求中未找到Host头");
      return false;
    }
    destination = std::move(*fromHost);
    destination.path = request.target;
  }
  const ProxyConfig& config = run.config;
  request.upstreamBytes =
      buildForwardHead(request.method, destination, request.version, headers,
                       basicAuthorizationLine(config.username, config.password));
  request.firstHeadSize = request.upstreamBytes.size();
  request.upstreamBytes += bytesAfterHead(head);
  request.filter = std::make_unique<PassThroughFilter>();
  return true;
}

std::optional<TunnelSetup> forwardHttpRequest(SessionContext& session, ClientRequest& request) {
  ProxyRun& run = session.run;
  const std::string& prefix = session.prefix;
  if (!basicAuthorizationLine(run.config.username, run.config.password).empty()) {
    logLine(prefix, "已添加代理认证头 (Basic认证)");
  }
  const std::string_view bytes(request.upstreamBytes);
  if (!sendUpstream(session, bytes.substr(0, request.firstHeadSize),
                    "发送HTTP请求头到目标代理失败: 错误码=")) {
    return std::nullopt;
  }
  const std::string_view body = bytes.substr(request.firstHeadSize);
  if (!body.empty()) {
    if (!sendUpstream(session, body, "发送请求体到目标代理失败: 错误码=")) return std::nullopt;
    logLine(prefix, "已发送 ", body.size(), " 字节的请求体数据 (总计 ", body.size(), "/",
            body.size(), ")");
  }

  TunnelSetup setup;
  setup.core = run.core;
  setup.client = std::move(session.client);
  setup.upstream = std::move(session.upstream);
  setup.sessionPrefix = prefix;
  setup.baseId = prefix + "tunnel-" + request.method + "-" + loggableText(request.target);
  setup.requestFilter = std::move(request.filter);
  return setup;
}

}  // namespace quillon
