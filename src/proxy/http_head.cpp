#include "proxy/http_head.h"

#include <algorithm>
#include <cstring>

#include "proxy/proxy_text.h"

namespace quillon {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isHexDigit(char c) { return hexValue(c) >= 0; }

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A byte that may appear in a field value or a reason phrase: tab, visible ASCII, space and
// the bytes of non-ASCII text.
bool isFieldByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return c == '\t' || (u >= 0x20 && u != 0x7f);
}

bool isTokenChar(char c) {
  return isAlpha(c) || isDigit(c) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Unreserved bytes, "%" of percent-encoding, and the sub-delimiters of URI syntax: everything a
// registered host name may hold.
bool isHostChar(char c) {
  return isAlpha(c) || isDigit(c) || (c != '\0' && std::strchr("-._~%!$&'()*+,;=", c) != nullptr);
}

bool isUserinfoChar(char c) { return isHostChar(c) || c == ':'; }

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && startsWithNoCase(a, b);
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// A host as written in an authority: a bracketed IPv6 literal, or a non-empty registered name
// or IPv4 address.
bool isValidHost(std::string_view host) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    if (host.size() < 4 || host.back() != ']') return false;
    const std::string_view inside = host.substr(1, host.size() - 2);
    return inside.find(':') != std::string_view::npos &&
           std::all_of(inside.begin(), inside.end(),
                       [](char c) { return isHexDigit(c) || c == ':' || c == '.'; });
  }
  return std::all_of(host.begin(), host.end(), isHostChar);
}

// Splits "host[:port]" (host possibly "[...]") into `into`. The port text is read leniently:
// none or empty gives `defaultPort`, no leading digits gives 80, trailing non-digits are
// ignored; a number outside 1..65535 is refused with `fault`.
RequestFault splitAuthority(std::string_view authority, int32_t defaultPort, RequestFault fault,
                            Destination& into) {
  size_t hostEnd = authority.find(':');
  if (!authority.empty() && authority.front() == '[') {
    hostEnd = authority.find(']');
    if (hostEnd == std::string_view::npos) return fault;
    ++hostEnd;
    if (hostEnd < authority.size() && authority[hostEnd] != ':') return fault;
  }
  const std::string_view host = authority.substr(0, hostEnd);
  if (!isValidHost(host)) return fault;
  int32_t port = defaultPort;
  if (hostEnd < authority.size()) {
    const std::string_view portText = authority.substr(hostEnd + 1);
    if (!std::all_of(portText.begin(), portText.end(), isHostChar)) return fault;
    if (!portText.empty()) {
      port = parseLenientInt(portText).value_or(80);
      if (port < 1 || port > 65535) return fault;
    }
  }
  into.host.assign(host);
  into.port = port;
  return RequestFault::kNone;
}

// Parses one header line (without its line end).
RequestFault parseField(std::string_view line, HeaderField& into) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return RequestFault::kBadHeaderLine;
  // A name must be a token: this refuses folded lines and white space before the colon, which
  // other parsers read in different ways.
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = line.substr(colon + 1);
  if (!isToken(name) || !std::all_of(value.begin(), value.end(), isFieldByte)) {
    return RequestFault::kBadHeaderLine;
  }
  into.name = name;
  into.value = trimBlanks(value);
  into.line = line;
  return RequestFault::kNone;
}

// Calls `element` with each comma-separated element of `value`, trimmed; stops at the first
// fault it returns.
template <typename Element>
RequestFault forEachListElement(std::string_view value, Element element) {
  for (;;) {
    const size_t comma = value.find(',');
    const RequestFault fault = element(trimBlanks(value.substr(0, comma)));
    if (fault != RequestFault::kNone || comma == std::string_view::npos) return fault;
    value.remove_prefix(comma + 1);
  }
}

// Takes the first line off `head` and returns it without its line end (LF, or CR LF).
std::string_view takeLine(std::string_view& head) {
  const size_t lf = head.find('\n');
  std::string_view line = head.substr(0, lf);
  head.remove_prefix(lf == std::string_view::npos ? head.size() : lf + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// A collector keeps no more than this after handing over a head.
constexpr size_t kRetainedHeadBytes = 1024;

constexpr uint64_t kMaxContentLength = 1000000000000000000ull;  // 10^18

std::optional<uint64_t> parseContentLength(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (!isDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > kMaxContentLength) return std::nullopt;
  }
  return value;
}

constexpr size_t kChunkSizeDigitsLimit = 16;
constexpr size_t kChunkLineLimit = 4096;

}  // namespace

size_t findHeadEnd(std::string_view bytes, size_t resumeFrom) {
  size_t p = std::min(resumeFrom, bytes.size());
  for (;;) {
    const void* found = std::memchr(bytes.data() + p, '\n', bytes.size() - p);
    if (found == nullptr) return std::string_view::npos;
    p = static_cast<size_t>(static_cast<const char*>(found) - bytes.data());
    // The line that this LF ends is empty when it begins at the start or right after an LF.
    if (p == 0 || bytes[p - 1] == '\n') return p + 1;
    if (bytes[p - 1] == '\r' && (p == 1 || bytes[p - 2] == '\n')) return p + 1;
    ++p;
  }
}

HeadCollector::Taken HeadCollector::take(std::string_view bytes) {
  Taken taken;
  if (pending_.empty()) {
    // The usual case: the whole head is in this slice and is handed over where it lies.
    const size_t end = findHeadEnd(bytes.substr(0, limit_));
    if (end != std::string_view::npos) {
      taken = {Status::kComplete, end, bytes.substr(0, end)};
    } else if (bytes.size() >= limit_) {
      taken.status = Status::kTooLarge;
    } else {
      pending_.assign(bytes);
      taken.count = bytes.size();
    }
    return taken;
  }
  const size_t before = pending_.size();
  taken.count = std::min(bytes.size(), limit_ - before);
  pending_.append(bytes.data(), taken.count);
  const size_t end = findHeadEnd(pending_, before);
  if (end != std::string_view::npos) {
    pending_.resize(end);
    taken = {Status::kComplete, end - before, pending_};
  } else if (pending_.size() >= limit_) {
    taken.status = Status::kTooLarge;
  }
  return taken;
}

void HeadCollector::clear() {
  // A kept-alive connection that is idle between heads should not hold a large head's storage.
  if (pending_.capacity() > kRetainedHeadBytes) {
    pending_ = std::string();
  } else {
    pending_.clear();
  }
}

const char* faultText(RequestFault fault) {
  switch (fault) {
    case RequestFault::kNone:
      return "";
    case RequestFault::kHeadTooLarge:
      return "请求头过大，可能不完整";
    case RequestFault::kHeadTimedOut:
      return "请求头接收超时，可能不完整";
    case RequestFault::kBadRequestLine:
      return "无效的HTTP请求行";
    case RequestFault::kBadHeaderLine:
      return "无效的HTTP请求头";
    case RequestFault::kBadTarget:
      return "无效的HTTP请求目标";
    case RequestFault::kUnsupportedScheme:
      return "不支持的URL协议";
    case RequestFault::kNoHost:
      return "HTTP请求中未找到Host头";
    case RequestFault::kBadHost:
      return "HTTP请求中的Host头无效";
    case RequestFault::kConflictingHosts:
      return "HTTP请求中有多个不同的Host头";
    case RequestFault::kBadContentLength:
      return "HTTP请求中的Content-Length无效";
    case RequestFault::kConflictingContentLengths:
      return "HTTP请求中有多个不同的Content-Length";
    case RequestFault::kLengthWithEncoding:
      return "HTTP请求同时带有Content-Length和Transfer-Encoding";
    case RequestFault::kUnsupportedEncoding:
      return "HTTP请求的Transfer-Encoding不是以chunked结尾";
    case RequestFault::kBadChunkedBody:
      return "HTTP请求的分块数据格式无效";
    case RequestFault::kConnectNotFirst:
      return "CONNECT请求只能是连接中的第一个请求";
    case RequestFault::kBadConnectTarget:
      return "无效的CONNECT请求格式";
    case RequestFault::kBadConnectPort:
      return "CONNECT请求中的端口无效";
  }
  return "";
}

RequestFault parseRequestLine(std::string_view line, RequestHead& into) {
  std::string_view fields[3];
  size_t count = 0;
  size_t p = 0;
  while (p < line.size()) {
    if (count == 3) return RequestFault::kBadRequestLine;
    const size_t start = p;
    while (p < line.size() && !isBlank(line[p])) ++p;
    if (p == start) return RequestFault::kBadRequestLine;  // leading white space
    fields[count++] = line.substr(start, p - start);
    while (p < line.size() && isBlank(line[p])) ++p;
  }
  if (count != 3) return RequestFault::kBadRequestLine;
  const std::string_view target = fields[1];
  const std::string_view version = fields[2];
  const bool targetClean = std::all_of(target.begin(), target.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7f;
  });
  if (!isToken(fields[0]) || !targetClean || version.size() != 8 ||
      version.substr(0, 7) != "HTTP/1." || !isDigit(version[7])) {
    return RequestFault::kBadRequestLine;
  }
  into.method = fields[0];
  into.target = target;
  into.version = version;
  return RequestFault::kNone;
}

RequestFault parseRequestHead(std::string_view head, RequestHead& into) {
  into.fields.clear();
  bool first = true;
  while (!head.empty()) {
    const std::string_view line = takeLine(head);
    if (first) {
      const RequestFault fault = parseRequestLine(line, into);
      if (fault != RequestFault::kNone) return fault;
      first = false;
      continue;
    }
    if (line.empty()) break;
    HeaderField field;
    const RequestFault fault = parseField(line, field);
    if (fault != RequestFault::kNone) return fault;
    into.fields.push_back(field);
  }
  return first ? RequestFault::kBadRequestLine : RequestFault::kNone;
}

namespace {

// The schemes forwarded in absolute form, with the port each implies. An https target goes
// upstream as http with its port, as the proxy has always sent it; the others keep their
// scheme and the upstream decides what it does with them.
struct SchemeRule {
  std::string_view name;
  std::string_view forwardedAs;
  int32_t port;
  bool keepsUserinfo;  // ftp: the login the upstream uses
};

constexpr SchemeRule kSchemes[] = {
    {"http", "http", 80, false}, {"https", "http", 443, false}, {"ftp", "ftp", 21, true},
    {"ws", "ws", 80, false},     {"wss", "wss", 443, false},
};

}  // namespace

RequestFault parseAbsoluteTarget(std::string_view target, Destination& into) {
  const size_t separator = target.find("://");
  if (separator == std::string_view::npos) return RequestFault::kBadTarget;
  const std::string_view scheme = target.substr(0, separator);
  const SchemeRule* rule = nullptr;
  for (const SchemeRule& candidate : kSchemes) {
    if (equalsNoCase(scheme, candidate.name)) rule = &candidate;
  }
  if (rule == nullptr) return RequestFault::kUnsupportedScheme;
  const std::string_view rest = target.substr(separator + 3);
  const size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
  std::string_view authority = rest.substr(0, authorityEnd);
  // User information never travels upstream (but for an ftp login): the request line is
  // rebuilt from the host alone.
  std::string_view userinfo;
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    userinfo = authority.substr(0, at);
    if (!std::all_of(userinfo.begin(), userinfo.end(), isUserinfoChar)) {
      return RequestFault::kBadTarget;
    }
    authority.remove_prefix(at + 1);
  }
  const RequestFault fault = splitAuthority(authority, rule->port, RequestFault::kBadTarget, into);
  if (fault != RequestFault::kNone) return fault;
  into.scheme.assign(rule->forwardedAs);
  into.defaultPort = rule->forwardedAs == "http" ? 80 : rule->port;
  into.userinfo.assign(rule->keepsUserinfo ? userinfo : std::string_view());
  const std::string_view path = rest.substr(authorityEnd);
  if (path.empty()) {
    into.path = "/";
  } else if (path.front() == '/') {
    into.path.assign(path);
  } else {
    into.path = "/";
    into.path.append(path);
  }
  return RequestFault::kNone;
}

RequestFault parseHostValue(std::string_view value, Destination& into) {
  into.scheme = "http";
  into.userinfo.clear();
  into.defaultPort = 80;
  return splitAuthority(value, 80, RequestFault::kBadHost, into);
}

RequestFault requestDestination(const RequestHead& head, Destination& into) {
  const std::string_view target = head.target;
  const bool asterisk = target == "*" && head.method == "OPTIONS";
  if (!asterisk && (target.empty() || target.front() != '/')) {
    return parseAbsoluteTarget(target, into);
  }
  std::string_view host;
  for (const HeaderField& field : head.fields) {
    if (field.value.empty() || !equalsNoCase(field.name, "Host")) continue;
    if (host.empty()) {
      host = field.value;
    } else if (!equalsNoCase(host, field.value)) {
      return RequestFault::kConflictingHosts;
    }
  }
  if (host.empty()) return RequestFault::kNoHost;
  const RequestFault fault = parseHostValue(host, into);
  if (fault != RequestFault::kNone) return fault;
  if (asterisk) {
    into.path.clear();
  } else {
    into.path.assign(target);
  }
  return RequestFault::kNone;
}

RequestFault parseConnectTarget(std::string_view target, Destination& into) {
  size_t colon = target.find(':');
  if (!target.empty() && target.front() == '[') {
    const size_t close = target.find(']');
    colon = close == std::string_view::npos ? close : target.find(':', close);
  }
  if (colon == std::string_view::npos) return RequestFault::kBadConnectTarget;
  const std::string_view host = target.substr(0, colon);
  if (!isValidHost(host)) return RequestFault::kBadConnectTarget;
  const std::string_view portText = target.substr(colon + 1);
  if (portText.empty() || !isDigit(portText.front())) return RequestFault::kBadConnectPort;
  const std::optional<int32_t> port = parseLenientInt(portText);
  if (!port || *port < 1 || *port > 65535) return RequestFault::kBadConnectPort;
  into.host.assign(host);
  into.port = *port;
  into.path.clear();
  return RequestFault::kNone;
}

RequestFault parseRequestFraming(const RequestHead& head, RequestFraming& into) {
  into = RequestFraming();
  bool sawLength = false;
  bool sawEncoding = false;
  int chunkedCount = 0;
  bool lastIsChunked = false;
  for (const HeaderField& field : head.fields) {
    RequestFault fault = RequestFault::kNone;
    if (equalsNoCase(field.name, "Content-Length")) {
      fault = forEachListElement(field.value, [&](std::string_view element) {
        const std::optional<uint64_t> length = parseContentLength(element);
        if (!length) return RequestFault::kBadContentLength;
        if (sawLength && *length != into.length) return RequestFault::kConflictingContentLengths;
        sawLength = true;
        into.length = *length;
        return RequestFault::kNone;
      });
    } else if (equalsNoCase(field.name, "Transfer-Encoding")) {
      sawEncoding = true;
      fault = forEachListElement(field.value, [&](std::string_view coding) {
        if (coding.empty()) return RequestFault::kUnsupportedEncoding;
        lastIsChunked = equalsNoCase(coding, "chunked");
        if (lastIsChunked) ++chunkedCount;
        return RequestFault::kNone;
      });
    } else if (equalsNoCase(field.name, "Upgrade")) {
      into.upgrade = true;
    } else if (equalsNoCase(field.name, "Connection") ||
               equalsNoCase(field.name, "Proxy-Connection")) {
      forEachListElement(field.value, [&](std::string_view option) {
        if (equalsNoCase(option, "keep-alive")) into.keepAliveAsked = true;
        return RequestFault::kNone;
      });
    }
    if (fault != RequestFault::kNone) return fault;
  }
  if (sawLength && sawEncoding) return RequestFault::kLengthWithEncoding;
  if (sawEncoding) {
    // HTTP/1.0 has no transfer codings; a peer of that version may read the body differently.
    if (!lastIsChunked || chunkedCount != 1 || head.version == "HTTP/1.0") {
      return RequestFault::kUnsupportedEncoding;
    }
    into.body = RequestFraming::Body::kChunked;
  } else if (sawLength && into.length > 0) {
    into.body = RequestFraming::Body::kLength;
  }
  return RequestFault::kNone;
}

ChunkedBodyScanner::Status ChunkedBodyScanner::status() const {
  if (step_ == Step::kDone) return Status::kDone;
  if (step_ == Step::kMalformed) return Status::kMalformed;
  return Status::kInBody;
}

size_t ChunkedBodyScanner::scan(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    if (step_ == Step::kDone || step_ == Step::kMalformed) break;
    if (step_ == Step::kData) {
      // Chunk data is skipped in one step, whatever its size.
      const size_t take = static_cast<size_t>(std::min<uint64_t>(size_, bytes.size() - i));
      i += take;
      size_ -= take;
      if (size_ == 0) step_ = Step::kDataCr;
      continue;
    }
    if (!step(bytes[i])) {
      step_ = Step::kMalformed;
      break;
    }
    ++i;
  }
  return i;
}

bool ChunkedBodyScanner::enter(Step next) {
  step_ = next;
  return true;
}

bool ChunkedBodyScanner::endOfExtension(char c) {
  if (c == ';') return enter(Step::kExtNameStart);
  return c == '\r' && enter(Step::kSizeLf);
}

bool ChunkedBodyScanner::step(char c) {
  switch (step_) {
    case Step::kSizeFirst:
    case Step::kSize:
    case Step::kSizeSpace:
    case Step::kExtNameStart:
    case Step::kExtName:
    case Step::kExtAfterName:
    case Step::kExtValueStart:
    case Step::kExtToken:
    case Step::kExtQuoted:
    case Step::kExtQuotedPair:
    case Step::kExtAfterValue:
      if (++lineBytes_ > kChunkLineLimit) return false;
      break;
    case Step::kTrailerStart:
    case Step::kTrailerName:
    case Step::kTrailerValue:
    case Step::kTrailerLf:
    case Step::kEndLf:
      if (++trailerBytes_ > kAnswerHeadLimit) return false;
      break;
    default:
      break;
  }
  switch (step_) {
    case Step::kSizeFirst:
      if (hexValue(c) < 0) return false;
      size_ = static_cast<uint64_t>(hexValue(c));
      digits_ = 1;
      return enter(Step::kSize);
    case Step::kSize:
      if (hexValue(c) >= 0) {
        size_ = size_ * 16 + static_cast<uint64_t>(hexValue(c));
        return ++digits_ <= kChunkSizeDigitsLimit;
      }
      if (c == ';') return enter(Step::kExtNameStart);
      if (c == '\r') return enter(Step::kSizeLf);
      return isBlank(c) && enter(Step::kSizeSpace);
    case Step::kSizeSpace:
      // White space after the size is only allowed before an extension.
      return c == ';' ? enter(Step::kExtNameStart) : isBlank(c);
    // An extension: ";" name ["=" value], the value a token or a quoted-string; anything else
    // is text that upstream parsers read in different ways (some reset the connection).
    case Step::kExtNameStart:
      return isBlank(c) || (isTokenChar(c) && enter(Step::kExtName));
    case Step::kExtName:
      if (isTokenChar(c)) return true;
      if (c == '=') return enter(Step::kExtValueStart);
      return endOfExtension(c) || (isBlank(c) && enter(Step::kExtAfterName));
    case Step::kExtAfterName:
      if (c == '=') return enter(Step::kExtValueStart);
      return isBlank(c) || endOfExtension(c);
    case Step::kExtValueStart:
      if (c == '"') return enter(Step::kExtQuoted);
      return isBlank(c) || (isTokenChar(c) && enter(Step::kExtToken));
    case Step::kExtToken:
      if (isTokenChar(c)) return true;
      return endOfExtension(c) || (isBlank(c) && enter(Step::kExtAfterValue));
    case Step::kExtQuoted:
      if (c == '"') return enter(Step::kExtAfterValue);
      if (c == '\\') return enter(Step::kExtQuotedPair);
      return isFieldByte(c);
    case Step::kExtQuotedPair:
      return isFieldByte(c) && enter(Step::kExtQuoted);
    case Step::kExtAfterValue:
      return isBlank(c) || endOfExtension(c);
    case Step::kSizeLf:
      lineBytes_ = 0;
      return c == '\n' && enter(size_ == 0 ? Step::kTrailerStart : Step::kData);
    case Step::kDataCr:
      return c == '\r' && enter(Step::kDataLf);
    case Step::kDataLf:
      return c == '\n' && enter(Step::kSizeFirst);
    case Step::kTrailerStart:
      if (c == '\r') return enter(Step::kEndLf);
      return isTokenChar(c) && enter(Step::kTrailerName);
    case Step::kTrailerName:
      return c == ':' ? enter(Step::kTrailerValue) : isTokenChar(c);
    case Step::kTrailerValue:
      return c == '\r' ? enter(Step::kTrailerLf) : isFieldByte(c);
    case Step::kTrailerLf:
      return c == '\n' && enter(Step::kTrailerStart);
    case Step::kEndLf:
      return c == '\n' && enter(Step::kDone);
    case Step::kData:
    case Step::kDone:
    case Step::kMalformed:
      break;
  }
  return false;
}

std::optional<int> parseStatusLine(std::string_view line) {
  if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || !isDigit(line[7]) || line[8] != ' ' ||
      !isDigit(line[9]) || !isDigit(line[10]) || !isDigit(line[11])) {
    return std::nullopt;
  }
  const std::string_view rest = line.substr(12);
  if (!rest.empty() &&
      (rest.front() != ' ' || !std::all_of(rest.begin(), rest.end(), isFieldByte))) {
    return std::nullopt;
  }
  return (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
}

ConnectAnswer judgeConnectAnswer(std::string_view received) {
  ConnectAnswer answer;
  // Only the first kAnswerHeadLimit bytes may hold heads; an end beyond them comes too late.
  const std::string_view window = received.substr(0, kAnswerHeadLimit);
  const bool windowFull = received.size() >= kAnswerHeadLimit;
  size_t start = 0;
  for (;;) {
    const std::string_view head = window.substr(start);
    const size_t lf = head.find('\n');
    if (lf == std::string_view::npos) break;
    std::string_view line = head.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::optional<int> status = parseStatusLine(line);
    if (!status) {
      answer.verdict = AnswerVerdict::kMalformed;
      return answer;
    }
    const bool interim = *status / 100 == 1 && *status != 101;
    if (!interim && *status / 100 != 2) {
      answer.verdict = AnswerVerdict::kRefused;
      answer.status = *status;
      return answer;
    }
    const size_t end = findHeadEnd(head, lf);
    if (end == std::string_view::npos) break;
    if (!interim) {
      answer.verdict = AnswerVerdict::kOpen;
      answer.status = *status;
      answer.bodyStart = start + end;
      return answer;
    }
    start += end;
  }
  if (windowFull) answer.verdict = AnswerVerdict::kTooLarge;
  return answer;
}

std::optional<int> parseAnswerHead(std::string_view head, bool toHead, AnswerFraming& into) {
  into = AnswerFraming();
  std::optional<int> status;
  bool sawLength = false;
  bool sawEncoding = false;
  bool lastIsChunked = false;
  bool lengthValid = true;
  while (!head.empty()) {
    const std::string_view line = takeLine(head);
    if (!status) {
      status = parseStatusLine(line);
      if (!status) return std::nullopt;
      continue;
    }
    if (line.empty()) break;
    HeaderField field;
    if (parseField(line, field) != RequestFault::kNone) return std::nullopt;
    if (equalsNoCase(field.name, "Transfer-Encoding")) {
      sawEncoding = true;
      forEachListElement(field.value, [&](std::string_view coding) {
        if (!coding.empty()) lastIsChunked = equalsNoCase(coding, "chunked");
        return RequestFault::kNone;
      });
    } else if (equalsNoCase(field.name, "Content-Length")) {
      forEachListElement(field.value, [&](std::string_view element) {
        const std::optional<uint64_t> length = parseContentLength(element);
        if (!length || (sawLength && *length != into.length)) {
          lengthValid = false;
        } else {
          sawLength = true;
          into.length = *length;
        }
        return RequestFault::kNone;
      });
    }
  }
  if (!status) return std::nullopt;
  if (toHead || *status / 100 == 1 || *status == 204 || *status == 304) {
    into.length = 0;
    return status;
  }
  if (sawEncoding) {
    // A transfer coding decides over any length; without chunked last, the body ends with the
    // stream.
    into.body = lastIsChunked ? AnswerFraming::Body::kChunked : AnswerFraming::Body::kUntilClose;
    into.length = 0;
  } else if (!lengthValid) {
    return std::nullopt;
  } else if (sawLength) {
    if (into.length > 0) into.body = AnswerFraming::Body::kLength;
  } else {
    into.body = AnswerFraming::Body::kUntilClose;
  }
  return status;
}

const char* answerFailureText(AnswerVerdict verdict) {
  switch (verdict) {
    case AnswerVerdict::kRefused:
      return "目标代理拒绝了CONNECT请求，响应码不是200";
    case AnswerVerdict::kMalformed:
      return "目标代理的响应格式无效";
    case AnswerVerdict::kTooLarge:
      return "响应头过大，可能不完整";
    case AnswerVerdict::kNeedMore:
    case AnswerVerdict::kOpen:
      break;
  }
  return "";
}

}  // namespace quillon
