// Plain HTTP forwarding: the first request of a client connection is rewritten to the absolute
// form a proxy expects and sent upstream with its early body; the relays carry the rest.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "proxy/data_relay.h"
#include "proxy/proxy_session.h"
#include "proxy/socket_compat.h"

namespace quillon {

struct ProxyRun;

struct HttpDestination {
  std::string host;
  int32_t port = 80;
  std::string path;
};

// True when `target` begins with a URI scheme followed by "://".
bool isAbsoluteTarget(const std::string& target);

// Host, port and path of an absolute target. The authority ends at the first "/", "?" or "#";
// a path that does not begin with "/" gets one. A port that is not a number gives 80; without
// a port, "https://" gives 443 and everything else 80.
HttpDestination parseRequestUrl(const std::string& target);

// The header lines of a request head: the lines after the request line, split at LF (a CR
// before the LF stays on the line), up to the first empty line or the end of the head.
std::vector<std::string> headerLines(const std::string& requestHead);

// Host and port from the first "Host:" header (name in any case) that has a value. Empty when
// there is none.
std::optional<HttpDestination> destinationFromHost(const std::vector<std::string>& headers);

// The rewritten head: the absolute request line, the client's headers without its own proxy
// headers, `authorizationLine` (possibly "") and the keep-alive lines.
std::string buildForwardHead(const std::string& method, const HttpDestination& destination,
                             const std::string& version, const std::vector<std::string>& headers,
                             const std::string& authorizationLine);

// Checks the client's first plain HTTP request and rewrites it (with whatever followed it in
// `head`) into `request`. False when it is refused (logged): no upstream connection is opened.
bool examineHttpRequest(ProxyRun& run, const std::string& head, const std::string& prefix,
                        ClientRequest& request);

// Sends the rewritten bytes upstream on the session thread. The tunnel that carries the rest of
// the connection, or empty when sending failed (logged; `session.upstream` is closed).
std::optional<TunnelSetup> forwardHttpRequest(SessionContext& session, ClientRequest& request);

}  // namespace quillon
