#include "proxy/http_forward.h"

#include <algorithm>

#include "app/app_log.h"
#include "proxy/data_relay.h"
#include "proxy/local_proxy_server.h"
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

bool forwardHttpRequest(LocalProxyServer& server, Socket& client, Socket& upstream,
                        const std::string& method, const std::string& target,
                        const std::string& version, const std::string& requestHead,
                        const std::string& sessionPrefix) {
  ProxyCore& core = *server.core();
  const std::vector<std::string> headers = headerLines(requestHead);
  HttpDestination destination;
  if (isAbsoluteTarget(target)) {
    destination = parseRequestUrl(target);
  } else {
    std::optional<HttpDestination> fromHost = destinationFromHost(headers);
    if (!fromHost) {
      logError(sessionPrefix, "HTTP请求中未找到Host头");
      upstream.reset();
      return false;
    }
    destination = std::move(*fromHost);
    destination.path = target;
  }

  const ProxyConfig& config = server.config();
  const std::string head =
      buildForwardHead(method, destination, version, headers,
                       proxyAuthorizationLine(config.username, config.password, sessionPrefix));
  if (!sendCounted(core, upstream.get(), head)) {
    logError(sessionPrefix, "发送HTTP请求头到目标代理失败: 错误码=", lastSocketError());
    upstream.reset();
    return false;
  }

  const std::string body = bytesAfterHead(requestHead);
  size_t bodySent = 0;
  while (bodySent < body.size()) {
    const size_t piece = std::min(kBodyPieceSize, body.size() - bodySent);
    if (!sendCounted(core, upstream.get(), std::string_view(body).substr(bodySent, piece))) {
      logError(sessionPrefix, "发送请求体到目标代理失败: 错误码=", lastSocketError());
      upstream.reset();
      return false;
    }
    bodySent += piece;
    logLine(sessionPrefix, "已发送 ", piece, " 字节的请求体数据 (总计 ", bodySent, "/", body.size(),
            ")");
  }

  if (!startTunnelRelays(server.core(), client, upstream, sessionPrefix,
                         sessionPrefix + "tunnel-" + method + "-" + target)) {
    return false;
  }
  logLine(sessionPrefix, "HTTP请求已处理，双向转发线程已启动");
  return true;
}

}  // namespace quillon
