// Parsers for the HTTP/1.x heads the proxy meets: the heads of client requests (request line,
// header lines, destination, CONNECT target, body framing and chunked bodies), the upstream
// proxy's answer to CONNECT, and the heads of the answers to plain requests (status and body
// framing). All of them are pure: they read only their arguments, never throw on any input,
// never read outside the bytes given, and allocate at most in proportion to their input. Any
// thread may call them.
//
// Heads are accepted with lines ending in CR LF or in a bare LF: every head the proxy sends is
// rebuilt with CR LF, so the upstream never sees the difference. Bodies are forwarded as they
// are, so chunked framing is read strictly (CR LF only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// The most bytes a client's request head may take, its empty line included; a head whose end
// has not arrived within this many bytes is refused. Large cookies and single-sign-on tokens
// need more than 16 KiB.
inline constexpr size_t kRequestHeadLimit = 65536;
// The same for the upstream's answer heads (for an answer to CONNECT: all its heads together),
// and for the trailer section of a chunked body.
inline constexpr size_t kAnswerHeadLimit = 16384;

// Offset just past the empty line that ends the head at the start of `bytes`, or npos when it
// has not arrived. A line ends in LF, optionally preceded by CR; the head ends at the first line
// that is empty. `bytes` starting with an empty line gives the offset past that line. A caller
// that appends to `bytes` and searches again may pass the size it searched before as
// `resumeFrom`, so that a head arriving byte by byte is scanned once in all.
size_t findHeadEnd(std::string_view bytes, size_t resumeFrom = 0);

// Collects one head (up to its empty line) through any split of its bytes, within `limit`
// bytes. A head that a slice holds whole is handed over where it lies; only a head split across
// slices is copied, into storage that a large head does not leave behind. Not thread-safe.
class HeadCollector {
 public:
  explicit HeadCollector(size_t limit) : limit_(limit) {}

  enum class Status { kNeedMore, kComplete, kTooLarge };
  struct Taken {
    Status status = Status::kNeedMore;
    size_t count = 0;       // bytes of the slice taken
    std::string_view head;  // with kComplete: valid until the next take() or clear()
  };
  // Takes the next bytes; with kComplete the head has ended within them, with kTooLarge it did
  // not end within the limit.
  Taken take(std::string_view bytes);
  // Some bytes of a head have been taken and its end has not.
  bool inProgress() const { return !pending_.empty(); }
  // Forgets the head taken so far (or handed over).
  void clear();

 private:
  size_t limit_;
  std::string pending_;
};

// Why a client's request is refused. Every refusal closes the client connection, and nothing
// of the refused head goes upstream. The failure text of each (faultText) and what it covers:
//
// kHeadTooLarge "请求头过大，可能不完整": no end of head within kRequestHeadLimit bytes.
// kHeadTimedOut "请求头接收超时，可能不完整": the caller's head deadline passed before the head
//   ended.
// kBadRequestLine "无效的HTTP请求行": not method, target and "HTTP/1." digit (method not a token,
//   control byte in the target, other version, fields missing or extra).
// kBadHeaderLine "无效的HTTP请求头": a header line without colon, with white space or another
//   non-token byte in its name, folded (beginning with white space), or with a control byte
//   (NUL, bare CR, ...) in its value.
// kBadTarget "无效的HTTP请求目标": target neither "/..." nor "<scheme>://..." ("*" only with
//   OPTIONS); URL with an empty or malformed host, user information with bytes illegal there,
//   or a port outside 1..65535.
// kUnsupportedScheme "不支持的URL协议": absolute target with a scheme other than http, https,
//   ftp, ws or wss.
// kNoHost "HTTP请求中未找到Host头": target "/..." or "*" and no Host header with a value.
// kBadHost "HTTP请求中的Host头无效": Host value with bytes illegal in an authority (space,
//   control bytes, "/", "@", "?", "#", ...) or a port outside 1..65535.
// kConflictingHosts "HTTP请求中有多个不同的Host头": target "/..." or "*" and Host headers with
//   different values.
// kBadContentLength "HTTP请求中的Content-Length无效": not a plain decimal number (or a comma
//   list of them), or beyond 10^18.
// kConflictingContentLengths "HTTP请求中有多个不同的Content-Length": values that differ.
// kLengthWithEncoding "HTTP请求同时带有Content-Length和Transfer-Encoding": both present.
// kUnsupportedEncoding "HTTP请求的Transfer-Encoding不是以chunked结尾": final coding not chunked,
//   chunked twice, an empty coding, or Transfer-Encoding in an HTTP/1.0 request.
// kBadChunkedBody "HTTP请求的分块数据格式无效": a chunked body breaking the syntax (see
//   ChunkedBodyScanner).
// kConnectNotFirst "CONNECT请求只能是连接中的第一个请求": CONNECT in a later head.
// kBadConnectTarget "无效的CONNECT请求格式": CONNECT target without ":" or with an empty or
//   malformed host.
// kBadConnectPort "CONNECT请求中的端口无效": CONNECT port without digits or outside 1..65535.
enum class RequestFault {
  kNone,
  kHeadTooLarge,
  kHeadTimedOut,
  kBadRequestLine,
  kBadHeaderLine,
  kBadTarget,
  kUnsupportedScheme,
  kNoHost,
  kBadHost,
  kConflictingHosts,
  kBadContentLength,
  kConflictingContentLengths,
  kLengthWithEncoding,
  kUnsupportedEncoding,
  kBadChunkedBody,
  kConnectNotFirst,
  kBadConnectTarget,
  kBadConnectPort,
};

// The failure text of `fault` from the table above ("" for kNone).
const char* faultText(RequestFault fault);

// One header line: `line` is the whole line without its line end, `name` the bytes before the
// colon, `value` the bytes after it without leading and trailing spaces and tabs. All three
// point into the head they were parsed from.
struct HeaderField {
  std::string_view name;
  std::string_view value;
  std::string_view line;
};

// A parsed request head; every view points into the parsed bytes.
struct RequestHead {
  std::string_view method;
  std::string_view target;
  std::string_view version;
  std::vector<HeaderField> fields;
};

// Parses a request line (without its line end) into `into`'s method, target and version:
// three fields separated by runs of spaces or tabs, trailing spaces and tabs ignored, no leading
// white space. The method is a token, the target holds no control byte, the version is
// "HTTP/1." and one digit. kNone or kBadRequestLine.
RequestFault parseRequestLine(std::string_view line, RequestHead& into);

// Parses a whole head (the request line, the header lines and the empty line, as delimited by
// findHeadEnd; a missing final empty line is tolerated). kNone, kBadRequestLine or
// kBadHeaderLine. `into` keeps the capacity of its field list between calls.
RequestFault parseRequestHead(std::string_view head, RequestHead& into);

// Where a request goes: the scheme of the rewritten request line ("http" also for an https
// target, which goes upstream as http with its port; "ftp", "ws" or "wss" as the target had
// them, in lower case), `userinfo` to keep in front of the host (ftp only: the login), `host`
// as it is written in the rewritten request line (a bracketed IPv6 literal keeps its brackets),
// `port` 1..65535 (written unless it is `defaultPort`, the scheme's own), `path` everything after
// the authority ("" for OPTIONS *).
struct Destination {
  std::string scheme = "http";
  std::string userinfo;
  std::string host;
  int32_t port = 80;
  int32_t defaultPort = 80;
  std::string path;
};

// Host, port and path of an absolute target "<scheme>://..." with the scheme http, https, ftp,
// ws or wss in any case. The authority ends at the first "/", "?" or "#"; user information
// before its last "@" is dropped (ftp keeps it: it is the login the upstream uses). Without a
// port (or with an empty one), the scheme's port is taken (http and ws 80, https and wss 443,
// ftp 21); a port text that is not a number gives 80 and one with trailing non-digits is read
// up to them. The path is "/" when absent and gets a "/" in front when the authority is
// followed by "?" or "#". kNone, kBadTarget or kUnsupportedScheme.
RequestFault parseAbsoluteTarget(std::string_view target, Destination& into);

// Host and port of a Host header value (already trimmed), read as an authority with the port
// rules of parseAbsoluteTarget and default port 80. `into.path` is left alone. kNone or
// kBadHost.
RequestFault parseHostValue(std::string_view value, Destination& into);

// The destination of a parsed request that is not CONNECT: from an absolute target, or for a
// target beginning with "/" (or "*" with OPTIONS) from the Host header, whose name is matched in
// any case; Host lines without a value are ignored.
RequestFault requestDestination(const RequestHead& head, Destination& into);

// Host and port of a CONNECT target "host:port"; the host may be a bracketed IPv6 literal. The
// port is read from the digits after the colon ("0443" and "443x" give 443) and must lie in
// 1..65535. `into.path` becomes "". kNone, kBadConnectTarget or kBadConnectPort.
RequestFault parseConnectTarget(std::string_view target, Destination& into);

// How the body of a request is delimited, whether it asks to leave HTTP after it, and whether
// it asks for a persistent connection.
struct RequestFraming {
  enum class Body { kNone, kLength, kChunked };
  Body body = Body::kNone;
  uint64_t length = 0;   // with kLength
  bool upgrade = false;  // an Upgrade header is present
  // A Connection or Proxy-Connection header lists "keep-alive" (any case): how an HTTP/1.0
  // client asks for a persistent connection.
  bool keepAliveAsked = false;
};

// The framing of a request from its header lines: Content-Length (digits only; a comma list of
// equal values, or several equal lines, is accepted), Transfer-Encoding whose final coding is
// chunked, or no body. Refused: kBadContentLength, kConflictingContentLengths,
// kLengthWithEncoding, kUnsupportedEncoding.
RequestFault parseRequestFraming(const RequestHead& head, RequestFraming& into);

// Follows a chunked body through any split of its bytes, in time linear in their number:
// chunk-size lines (hex digits, optional extensions, CR LF; at most 16 digits and 4096 bytes),
// the data with its CR LF, the last chunk, trailer lines (token, colon, value without control
// bytes, CR LF; together at most kAnswerHeadLimit bytes) and the final empty line. An extension
// is ";", a token name and optionally "=" and a token or quoted-string value, with white space
// allowed around ";" and "=" (not between the size and the line end without one). Bare CR,
// bare LF, folding, control bytes and any other extension text are malformed.
class ChunkedBodyScanner {
 public:
  enum class Status { kInBody, kDone, kMalformed };

  // Takes the next bytes of the body and returns how many of them belong to it: all of them
  // while the body goes on; when the body ends inside `bytes` (status kDone), the count up to
  // and including its last byte; when a byte breaks the syntax (status kMalformed), the count
  // before that byte. Once done or malformed it takes nothing more.
  size_t scan(std::string_view bytes);
  Status status() const;

 private:
  enum class Step : uint8_t {
    kSizeFirst,
    kSize,
    kSizeSpace,
    kExtNameStart,
    kExtName,
    kExtAfterName,
    kExtValueStart,
    kExtToken,
    kExtQuoted,
    kExtQuotedPair,
    kExtAfterValue,
    kSizeLf,
    kData,
    kDataCr,
    kDataLf,
    kTrailerStart,
    kTrailerName,
    kTrailerValue,
    kTrailerLf,
    kEndLf,
    kDone,
    kMalformed,
  };
  bool step(char c);
  bool enter(Step next);
  // After an extension's name or value: ";" begins another, CR ends the line.
  bool endOfExtension(char c);

  Step step_ = Step::kSizeFirst;
  uint64_t size_ = 0;        // the chunk size being read, then the data bytes still to come
  size_t digits_ = 0;        // hex digits of the size line so far
  size_t lineBytes_ = 0;     // bytes of the size line so far
  size_t trailerBytes_ = 0;  // bytes of the trailer section so far
};

// The status code of a status line (without its line end): "HTTP/1.", one digit, a space, three
// digits, then the end or a space and a reason without control bytes other than tab. Empty for
// anything else.
std::optional<int> parseStatusLine(std::string_view line);

// The upstream proxy's answer to CONNECT, judged from every byte received so far. Interim
// answers (1xx except 101, each a complete head) are skipped; the first final answer decides.
enum class AnswerVerdict {
  kNeedMore,   // read more and judge again
  kOpen,       // a 2xx answer: the tunnel is open
  kRefused,    // any other final status
  kMalformed,  // a line that is not a status line where one must be
  kTooLarge,   // the heads did not end within kAnswerHeadLimit bytes
};

struct ConnectAnswer {
  AnswerVerdict verdict = AnswerVerdict::kNeedMore;
  int status = 0;        // with kOpen and kRefused
  size_t bodyStart = 0;  // with kOpen: offset of the first byte after the final head
};

// A refusal is judged as soon as its status line is complete; an opening answer once its head
// has ended. Judging a longer input never changes a verdict other than kNeedMore.
ConnectAnswer judgeConnectAnswer(std::string_view received);

// How the body of an answer is delimited (the length rules of HTTP/1.1): none for an answer to
// HEAD, for 1xx, 204 and 304; chunked when the final transfer coding is chunked; up to the end
// of the stream for any other transfer coding or when no length is given; else Content-Length.
struct AnswerFraming {
  enum class Body { kNone, kLength, kChunked, kUntilClose };
  Body body = Body::kNone;
  uint64_t length = 0;  // with kLength
};

// The status code and framing of one answer head (status line, header lines, empty line, as
// delimited by findHeadEnd) to a request that was a HEAD (`toHead`) or not. Empty when the head
// is malformed: a bad status line or header line, or a Content-Length that is not a number (or
// a list of equal numbers) while no Transfer-Encoding is present.
std::optional<int> parseAnswerHead(std::string_view head, bool toHead, AnswerFraming& into);

// Failure text for the verdicts that end a CONNECT: kRefused
// "目标代理拒绝了CONNECT请求，响应码不是200", kMalformed "目标代理的响应格式无效", kTooLarge
// "响应头过大，可能不完整"; "" for the others.
const char* answerFailureText(AnswerVerdict verdict);

}  // namespace quillon
