// The head parsers, one table each: where a head ends, request lines, header lines, the
// destination of a request, CONNECT targets, body framing, chunked bodies and the judgement of
// the answer to CONNECT.
#include "proxy/http_head.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

constexpr size_t npos = std::string_view::npos;
using Fault = RequestFault;

TEST(FindHeadEnd, FindsTheFirstEmptyLineAlsoWhenFedByteByByte) {
  struct Row {
    std::string head;  // up to the expected end
    std::string after;
    bool complete;
  };
  const Row rows[] = {
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", "body\r\n\r\n", true},
      {"GET / HTTP/1.1\nHost: a\n\n", "x", true},
      {"GET / HTTP/1.1\r\nHost: a\n\r\n", "", true},
      {"\r\n", "GET / HTTP/1.1\r\n\r\n", true},
      {"\n", "", true},
      {"GET / HTTP/1.1\r\nHost: a\r\n\r", "", false},
      {"GET / HTTP/1.1\r\n\r\r\n", "", false},  // a line holding a CR is not empty
      {"", "", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.head + row.after);
    const std::string bytes = row.head + row.after;
    const size_t expected = row.complete ? row.head.size() : npos;
    EXPECT_EQ(findHeadEnd(bytes), expected);
    size_t found = npos;
    for (size_t size = 1; size <= bytes.size() && found == npos; ++size) {
      found = findHeadEnd(std::string_view(bytes).substr(0, size), size - 1);
    }
    EXPECT_EQ(found, expected);
  }
}

TEST(RequestLine, ThreeFieldsWithATokenMethodAndAnHttp1Version) {
  struct Row {
    std::string line;
    std::string method;  // "" when refused
    std::string target;
    std::string version;
  };
  const Row rows[] = {
      {"GET /a?b=1 HTTP/1.1", "GET", "/a?b=1", "HTTP/1.1"},
      {"GET  /a\tHTTP/1.0 \t", "GET", "/a", "HTTP/1.0"},
      {"M-SEARCH * HTTP/1.1", "M-SEARCH", "*", "HTTP/1.1"},
      {"GET /caf\xc3\xa9 HTTP/1.9", "GET", "/caf\xc3\xa9", "HTTP/1.9"},
      {" GET /a HTTP/1.1", "", "", ""},
      {"GET /a", "", "", ""},
      {"GET /a b HTTP/1.1", "", "", ""},
      {"GET /a HTTP/2.0", "", "", ""},
      {"GET /a http/1.1", "", "", ""},
      {"GET /a HTTP/1.10", "", "", ""},
      {"GE(T /a HTTP/1.1", "", "", ""},
      {"GET /a\x01 HTTP/1.1", "", "", ""},
      {"GET /a\rX: HTTP/1.1", "", "", ""},
      {"", "", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    RequestHead head;
    const Fault fault = parseRequestLine(row.line, head);
    EXPECT_EQ(fault, row.method.empty() ? Fault::kBadRequestLine : Fault::kNone);
    if (fault != Fault::kNone) continue;
    EXPECT_EQ(head.method, row.method);
    EXPECT_EQ(head.target, row.target);
    EXPECT_EQ(head.version, row.version);
  }
}

TEST(HeaderLines, TokenNameColonAndCleanValueOrTheHeadIsRefused) {
  struct Row {
    std::string line;
    Fault fault;
    std::string value;
  };
  const Row rows[] = {
      {"Accept: */*", Fault::kNone, "*/*"},
      {"X-Pad:\t a b \t", Fault::kNone, "a b"},
      {"X-Empty:", Fault::kNone, ""},
      {"X-Text: caf\xc3\xa9", Fault::kNone, "caf\xc3\xa9"},
      {"Proxy-Authorization : Basic eDp5", Fault::kBadHeaderLine, ""},
      {" Proxy-Authorization: Basic eDp5", Fault::kBadHeaderLine, ""},
      {"\tX: folded", Fault::kBadHeaderLine, ""},
      {"NoColon", Fault::kBadHeaderLine, ""},
      {": no name", Fault::kBadHeaderLine, ""},
      {"X@Y: z", Fault::kBadHeaderLine, ""},
      {"Host: a\rX-Injected: 1", Fault::kBadHeaderLine, ""},
      {std::string("X: a\0b", 6), Fault::kBadHeaderLine, ""},
      {"X: a\x0b", Fault::kBadHeaderLine, ""},
      {"X: a\x7f", Fault::kBadHeaderLine, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    RequestHead head;
    const std::string text = "GET / HTTP/1.1\r\nFirst: 1\r\n" + row.line + "\r\n\r\n";
    ASSERT_EQ(parseRequestHead(text, head), row.fault);
    if (row.fault != Fault::kNone) continue;
    ASSERT_EQ(head.fields.size(), 2u);
    EXPECT_EQ(head.fields[1].line, row.line);
    EXPECT_EQ(head.fields[1].value, row.value);
  }
}

TEST(Destination, FromTheAbsoluteTargetOrTheHostHeader) {
  struct Row {
    std::string head;
    Fault fault;
    std::string host;
    int32_t port;
    std::string path;
  };
  const std::string v = " HTTP/1.1\r\n";
  const std::string h = "Host: 192.0.2.1\r\n";
  const Row rows[] = {
      {"GET http://192.0.2.1/a" + v, Fault::kNone, "192.0.2.1", 80, "/a"},
      {"GET http://192.0.2.1:8080/a" + v, Fault::kNone, "192.0.2.1", 8080, "/a"},
      {"GET HTTPS://192.0.2.1/a" + v, Fault::kNone, "192.0.2.1", 443, "/a"},
      {"GET https://192.0.2.1:/a" + v, Fault::kNone, "192.0.2.1", 443, "/a"},
      {"GET http://192.0.2.1" + v, Fault::kNone, "192.0.2.1", 80, "/"},
      {"GET http://192.0.2.1:8080?x=1" + v, Fault::kNone, "192.0.2.1", 8080, "/?x=1"},
      {"GET http://192.0.2.1:abc/" + v, Fault::kNone, "192.0.2.1", 80, "/"},
      {"GET https://192.0.2.1:abc/" + v, Fault::kNone, "192.0.2.1", 80, "/"},
      {"GET http://192.0.2.1:8080x/" + v, Fault::kNone, "192.0.2.1", 8080, "/"},
      {"GET http://user:pw@origin.test/x" + v, Fault::kNone, "origin.test", 80, "/x"},
      {"GET http://[::1]:8080/x" + v, Fault::kNone, "[::1]", 8080, "/x"},
      {"GET http://[2001:db8::7]/x" + v, Fault::kNone, "[2001:db8::7]", 80, "/x"},
      // An absolute target ignores the Host header, also a conflicting one.
      {"GET http://192.0.2.1/a" + v + "Host: a\r\nHost: b\r\n", Fault::kNone, "192.0.2.1", 80,
       "/a"},
      {"GET ftp://192.0.2.1/f" + v, Fault::kNone, "192.0.2.1", 21, "/f"},
      {"GET WSS://192.0.2.1" + v, Fault::kNone, "192.0.2.1", 443, "/"},
      {"GET gopher://192.0.2.1/f" + v, Fault::kUnsupportedScheme, "", 0, ""},
      {"GET http:///x" + v, Fault::kBadTarget, "", 0, ""},
      {"GET http://user@/x" + v, Fault::kBadTarget, "", 0, ""},
      {"GET http://a@b@origin.test/x" + v, Fault::kBadTarget, "", 0, ""},
      {"GET http://evil.test\\@origin.test/x" + v, Fault::kBadTarget, "", 0, ""},
      {"GET http://[::1/x" + v, Fault::kBadTarget, "", 0, ""},
      {"GET http://[::1]x/" + v, Fault::kBadTarget, "", 0, ""},
      {"GET http://a:0/" + v, Fault::kBadTarget, "", 0, ""},
      {"GET http://a:-1/" + v, Fault::kBadTarget, "", 0, ""},
      {"GET http://a:70000/" + v, Fault::kBadTarget, "", 0, ""},
      {"GET 192.0.2.1:80" + v + h, Fault::kBadTarget, "", 0, ""},
      {"GET @evil.test/x" + v + h, Fault::kBadTarget, "", 0, ""},
      {"GET *" + v + h, Fault::kBadTarget, "", 0, ""},
      // Origin form: the Host header decides, its name in any case.
      {"GET /r?u=http://192.0.2.9/x" + v + h, Fault::kNone, "192.0.2.1", 80,
       "/r?u=http://192.0.2.9/x"},
      {"OPTIONS *" + v + "Host: 192.0.2.1:8080\r\n", Fault::kNone, "192.0.2.1", 8080, ""},
      {"GET /a" + v + "Host: 192.0.2.1:x\r\n", Fault::kNone, "192.0.2.1", 80, "/a"},
      {"GET /a" + v + "host:192.0.2.1\r\n", Fault::kNone, "192.0.2.1", 80, "/a"},
      {"GET /a" + v + "Host: [::1]:8080\r\n", Fault::kNone, "[::1]", 8080, "/a"},
      {"GET /a" + v + "Host:\r\nHost: 192.0.2.7\r\n", Fault::kNone, "192.0.2.7", 80, "/a"},
      {"GET /a" + v + "Host: a.test\r\nHOST: A.test\r\n", Fault::kNone, "a.test", 80, "/a"},
      {"GET /a" + v + "Host: \r\n", Fault::kNoHost, "", 0, ""},
      {"GET /a" + v + "Accept: */*\r\n\r\nHost: 192.0.2.1\r\n", Fault::kNoHost, "", 0, ""},
      {"GET /a" + v + "Host: a.test\r\nHost: b.test\r\n", Fault::kConflictingHosts, "", 0, ""},
      {"GET /a" + v + "Host: origin test\r\n", Fault::kBadHost, "", 0, ""},
      {"GET /a" + v + "Host: origin.test/x\r\n", Fault::kBadHost, "", 0, ""},
      {"GET /a" + v + "Host: user@origin.test\r\n", Fault::kBadHost, "", 0, ""},
      {"GET /a" + v + "Host: origin.test?\r\n", Fault::kBadHost, "", 0, ""},
      {"GET /a" + v + "Host: origin.test#\r\n", Fault::kBadHost, "", 0, ""},
      {"GET /a" + v + "Host: origin.test:99999\r\n", Fault::kBadHost, "", 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.head);
    const std::string text = row.head + "\r\n";
    RequestHead head;
    ASSERT_EQ(parseRequestHead(text, head), Fault::kNone);
    Destination destination;
    ASSERT_EQ(requestDestination(head, destination), row.fault);
    if (row.fault != Fault::kNone) continue;
    EXPECT_EQ(destination.host, row.host);
    EXPECT_EQ(destination.port, row.port);
    EXPECT_EQ(destination.path, row.path);
  }
}

TEST(ConnectTarget, HostColonPortWithinTheTcpRange) {
  struct Row {
    std::string target;
    Fault fault;
    std::string host;
    int32_t port;
  };
  const Row rows[] = {
      {"192.0.2.1:443", Fault::kNone, "192.0.2.1", 443},
      {"192.0.2.1:0443", Fault::kNone, "192.0.2.1", 443},
      {"192.0.2.1:443x", Fault::kNone, "192.0.2.1", 443},
      {"origin.test:65535", Fault::kNone, "origin.test", 65535},
      {"[::1]:443", Fault::kNone, "[::1]", 443},
      {"192.0.2.1:0", Fault::kBadConnectPort, "", 0},
      {"192.0.2.1:99999", Fault::kBadConnectPort, "", 0},
      {"192.0.2.1:-1", Fault::kBadConnectPort, "", 0},
      {"192.0.2.1:", Fault::kBadConnectPort, "", 0},
      {"192.0.2.1:port", Fault::kBadConnectPort, "", 0},
      {"192.0.2.1:99999999999", Fault::kBadConnectPort, "", 0},
      {"192.0.2.1", Fault::kBadConnectTarget, "", 0},
      {"", Fault::kBadConnectTarget, "", 0},
      {":443", Fault::kBadConnectTarget, "", 0},
      {"[::1]", Fault::kBadConnectTarget, "", 0},
      {"[::1:443", Fault::kBadConnectTarget, "", 0},
      {"user@origin.test:443", Fault::kBadConnectTarget, "", 0},
      {"a/b:443", Fault::kBadConnectTarget, "", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.target);
    Destination destination;
    ASSERT_EQ(parseConnectTarget(row.target, destination), row.fault);
    if (row.fault != Fault::kNone) continue;
    EXPECT_EQ(destination.host, row.host);
    EXPECT_EQ(destination.port, row.port);
  }
}

TEST(Framing, OneUnambiguousBodyLengthOrTheRequestIsRefused) {
  using Body = RequestFraming::Body;
  struct Row {
    std::string lines;
    Fault fault;
    Body body;
    uint64_t length;
    bool upgrade;
  };
  const Row rows[] = {
      {"Accept: */*\r\n", Fault::kNone, Body::kNone, 0, false},
      {"Content-Length: 5\r\n", Fault::kNone, Body::kLength, 5, false},
      {"content-length: 0\r\n", Fault::kNone, Body::kNone, 0, false},
      {"Content-Length: 007\r\n", Fault::kNone, Body::kLength, 7, false},
      {"Content-Length: 5, 5\r\nContent-Length: 5\r\n", Fault::kNone, Body::kLength, 5, false},
      {"Content-Length: 1000000000000000000\r\n", Fault::kNone, Body::kLength,
       1000000000000000000ull, false},
      {"Transfer-Encoding: chunked\r\n", Fault::kNone, Body::kChunked, 0, false},
      {"Transfer-Encoding: gzip\r\nTransfer-Encoding: CHUNKED\r\n", Fault::kNone, Body::kChunked, 0,
       false},
      {"Upgrade: websocket\r\nConnection: Upgrade\r\n", Fault::kNone, Body::kNone, 0, true},
      {"Content-Length: 5, 6\r\n", Fault::kConflictingContentLengths, Body::kNone, 0, false},
      {"Content-Length: 5\r\nContent-Length: 6\r\n", Fault::kConflictingContentLengths, Body::kNone,
       0, false},
      {"Content-Length: +5\r\n", Fault::kBadContentLength, Body::kNone, 0, false},
      {"Content-Length: 5x\r\n", Fault::kBadContentLength, Body::kNone, 0, false},
      {"Content-Length: 0x5\r\n", Fault::kBadContentLength, Body::kNone, 0, false},
      {"Content-Length: 1 000\r\n", Fault::kBadContentLength, Body::kNone, 0, false},
      {"Content-Length:\r\n", Fault::kBadContentLength, Body::kNone, 0, false},
      {"Content-Length: 5,\r\n", Fault::kBadContentLength, Body::kNone, 0, false},
      {"Content-Length: 1000000000000000001\r\n", Fault::kBadContentLength, Body::kNone, 0, false},
      {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", Fault::kLengthWithEncoding,
       Body::kNone, 0, false},
      {"Transfer-Encoding: gzip\r\n", Fault::kUnsupportedEncoding, Body::kNone, 0, false},
      {"Transfer-Encoding: chunked, gzip\r\n", Fault::kUnsupportedEncoding, Body::kNone, 0, false},
      {"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", Fault::kUnsupportedEncoding,
       Body::kNone, 0, false},
      {"Transfer-Encoding: , chunked\r\n", Fault::kUnsupportedEncoding, Body::kNone, 0, false},
      {"Transfer-Encoding:\r\n", Fault::kUnsupportedEncoding, Body::kNone, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.lines);
    const std::string text = "POST /a HTTP/1.1\r\n" + row.lines + "\r\n";
    RequestHead head;
    ASSERT_EQ(parseRequestHead(text, head), Fault::kNone);
    RequestFraming framing;
    ASSERT_EQ(parseRequestFraming(head, framing), row.fault);
    if (row.fault != Fault::kNone) continue;
    EXPECT_EQ(framing.body, row.body);
    EXPECT_EQ(framing.length, row.length);
    EXPECT_EQ(framing.upgrade, row.upgrade);
  }
  RequestHead old;
  RequestFraming framing;
  ASSERT_EQ(parseRequestHead("POST /a HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", old),
            Fault::kNone);
  EXPECT_EQ(parseRequestFraming(old, framing), Fault::kUnsupportedEncoding);
}

TEST(ChunkedBody, EndsAfterTheTrailerAndStopsAtTheFirstBadByte) {
  using Status = ChunkedBodyScanner::Status;
  struct Row {
    std::string bytes;
    size_t consumed;  // for a good body: its size (the bytes after it are not taken)
    Status status;
  };
  const std::string longLine = "5;" + std::string(5000, 'e') + "\r\n";
  const std::string longTrailer = "0\r\nX: " + std::string(20000, 't') + "\r\n\r\n";
  const Row rows[] = {
      {"0\r\n\r\nNEXT", 5, Status::kDone},
      {"5\r\nhello\r\n0\r\n\r\nNEXT", 15, Status::kDone},
      {"5;a=1;b=\"x y\"\r\n0\r\n\r\n\r\nA\r\n0123456789\r\n000\r\n\r\nNEXT", 44, Status::kDone},
      {"5 ;x\r\nhello\r\n0\r\nX-Sum: 1\r\nY:\r\n\r\nNEXT", 32, Status::kDone},
      // Extensions: token names, token or quoted-string values, white space around ; and =.
      {"0; a = b ;c=\"\\\"q\\\\\" \r\n\r\nNEXT", 24, Status::kDone},
      {"0;a=1 2\r\n\r\n", 6, Status::kMalformed},
      {"0;a,b\r\n\r\n", 3, Status::kMalformed},
      {"0;=b\r\n\r\n", 2, Status::kMalformed},
      {"0;a=\r\n\r\n", 4, Status::kMalformed},
      {"0;a=b\"\r\n\r\n", 5, Status::kMalformed},
      {"0;a=\"b\r\n\r\n", 6, Status::kMalformed},
      {"0;a=\"b\"c\r\n\r\n", 7, Status::kMalformed},
      {"0;\r\n\r\n", 2, Status::kMalformed},
      {"ffffffffffffffff\r\nabc", 21, Status::kInBody},
      {"5\r\nhel", 6, Status::kInBody},
      {"x\r\n", 0, Status::kMalformed},
      {"\r\n", 0, Status::kMalformed},
      {"5\nhello", 1, Status::kMalformed},
      {"5 \r\nhello", 2, Status::kMalformed},
      {"5\r\nhelloX", 8, Status::kMalformed},
      {"5\r\nhello\n", 8, Status::kMalformed},
      {"5;a\x01\r\n", 3, Status::kMalformed},
      {"11111111111111111\r\n", 16, Status::kMalformed},
      {"0\r\n X: y\r\n\r\n", 3, Status::kMalformed},
      {"0\r\nX y: z\r\n\r\n", 4, Status::kMalformed},
      {"0\r\nX: a\nb\r\n\r\n", 7, Status::kMalformed},
      {"0\r\n\r\r", 4, Status::kMalformed},
      {longLine, 4096, Status::kMalformed},
      {longTrailer, 3 + kAnswerHeadLimit, Status::kMalformed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes.substr(0, 40));
    ChunkedBodyScanner whole;
    EXPECT_EQ(whole.scan(row.bytes), row.consumed);
    EXPECT_EQ(whole.status(), row.status);
    ChunkedBodyScanner bytewise;
    size_t consumed = 0;
    for (char c : row.bytes) consumed += bytewise.scan(std::string_view(&c, 1));
    EXPECT_EQ(consumed, row.consumed);
    EXPECT_EQ(bytewise.status(), row.status);
  }
}

TEST(AnswerHead, StatusAndTheBodyLengthRulesOfHttp11) {
  using Body = AnswerFraming::Body;
  struct Row {
    std::string head;
    bool toHead;
    int status;  // 0: malformed
    Body body;
    uint64_t length;
  };
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const Row rows[] = {
      {ok + "Content-Length: 12\r\n\r\n", false, 200, Body::kLength, 12},
      {ok + "Content-Length: 12, 12\nX: y\n\n", false, 200, Body::kLength, 12},
      {ok + "Content-Length: 0\r\n\r\n", false, 200, Body::kNone, 0},
      {ok + "Transfer-Encoding: gzip, chunked\r\nContent-Length: 5\r\n\r\n", false, 200,
       Body::kChunked, 0},
      {ok + "Transfer-Encoding: chunked, gzip\r\n\r\n", false, 200, Body::kUntilClose, 0},
      {ok + "\r\n", false, 200, Body::kUntilClose, 0},
      {"HTTP/1.0 200 OK\r\nContent-Length: x\r\nTransfer-Encoding: chunked\r\n\r\n", false, 200,
       Body::kChunked, 0},
      {ok + "Content-Length: 12\r\n\r\n", true, 200, Body::kNone, 0},
      {"HTTP/1.1 204 No Content\r\nContent-Length: 12\r\n\r\n", false, 204, Body::kNone, 0},
      {"HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", false, 304, Body::kNone,
       0},
      {"HTTP/1.1 100 Continue\r\n\r\n", false, 100, Body::kNone, 0},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n", false, 101, Body::kNone, 0},
      {ok + "Content-Length: 12, 13\r\n\r\n", false, 0, Body::kNone, 0},
      {ok + "Content-Length: -1\r\n\r\n", false, 0, Body::kNone, 0},
      {ok + " Folded: x\r\n\r\n", false, 0, Body::kNone, 0},
      {"HTTP/1.1 20 OK\r\n\r\n", false, 0, Body::kNone, 0},
      {"ICY 200 OK\r\n\r\n", false, 0, Body::kNone, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.head);
    AnswerFraming framing;
    const std::optional<int> status = parseAnswerHead(row.head, row.toHead, framing);
    EXPECT_EQ(status.value_or(0), row.status);
    if (!status) continue;
    EXPECT_EQ(framing.body, row.body);
    EXPECT_EQ(framing.length, row.length);
  }
}

TEST(ConnectAnswer, StatusLineDecidesAfterInterimAnswers) {
  using V = AnswerVerdict;
  struct Row {
    std::string received;
    V verdict;
    int status;
    size_t bodyStart;
  };
  const std::string ok = "HTTP/1.1 200 OK\r\n\r\n";
  const std::string pad = "HTTP/1.1 200 OK\r\nX: ";
  const std::string exact = pad + std::string(kAnswerHeadLimit - pad.size() - 4, 'a') + "\r\n\r\n";
  std::string interims;
  while (interims.size() <= kAnswerHeadLimit) interims += "HTTP/1.1 100 Continue\r\n\r\n";
  const Row rows[] = {
      {"HTTP/1.1 200 Connection established\r\n\r\n", V::kOpen, 200, 39},
      {"HTTP/1.0 200 OK\r\n\r\nEARLY", V::kOpen, 200, 19},
      {"HTTP/1.1 200\r\n\r\n", V::kOpen, 200, 16},
      {"HTTP/1.1 200 Connection established\r\nVia: 1.1 upstream\r\n\r\n", V::kOpen, 200, 58},
      {"HTTP/1.1 204 No Content\n\n", V::kOpen, 204, 25},
      {"HTTP/1.1 100 Continue\r\n\r\n" + ok, V::kOpen, 200, 25 + ok.size()},
      {"HTTP/1.1 100 Continue\r\nX: 1\r\n\r\nHTTP/1.1 102 P\n\n" + ok, V::kOpen, 200,
       47 + ok.size()},
      {exact + "EARLY", V::kOpen, 200, kAnswerHeadLimit},
      {"HTTP/1.1 403 Forbidden 200 OK\r\n\r\n", V::kRefused, 403, 0},
      {"HTTP/1.1 407 Proxy Authentication Required\r\n", V::kRefused, 407, 0},
      {"HTTP/1.1 407 Denied\r\nContent-Length: 6\r\n\r\n200 OK", V::kRefused, 407, 0},
      {"HTTP/1.1 403 Forbidden\r\nX-Note: HTTP/1.1 200\r\n\r\n", V::kRefused, 403, 0},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 502 Bad Gateway\r\n", V::kRefused, 502, 0},
      {"HTTP/1.1 101 Switching Protocols\r\n\r\n", V::kRefused, 101, 0},
      {"http/1.1 200 connection established\r\n\r\n", V::kMalformed, 0, 0},
      {"HTTP/1.1 2000\r\n\r\n", V::kMalformed, 0, 0},
      {"HTTP/1.1  200 OK\r\n\r\n", V::kMalformed, 0, 0},
      {"HTTP/2 200\r\n\r\n", V::kMalformed, 0, 0},
      {"HTTP/1.1 200 OK\x01\r\n\r\n", V::kMalformed, 0, 0},
      {"HTTP/1.1 200 OK\r\r\n\r\n", V::kMalformed, 0, 0},
      {"\r\n" + ok, V::kMalformed, 0, 0},
      {"HTTP/1.1 100 Continue\r\n\r\n", V::kNeedMore, 0, 0},
      {"HTTP/1.1 200 OK\r\nVia: x\r\n", V::kNeedMore, 0, 0},
      {"HTTP/1.1 200", V::kNeedMore, 0, 0},
      {"", V::kNeedMore, 0, 0},
      {exact.substr(0, exact.size() - 1) + "a\r\n\r\n", V::kTooLarge, 0, 0},
      {pad + std::string(17000, 'a'), V::kTooLarge, 0, 0},
      {interims + ok, V::kTooLarge, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.received.substr(0, 60));
    const ConnectAnswer answer = judgeConnectAnswer(row.received);
    EXPECT_EQ(answer.verdict, row.verdict);
    EXPECT_EQ(answer.status, row.status);
    EXPECT_EQ(answer.bodyStart, row.bodyStart);
    // Read by read, the verdict is never reached early and never taken back.
    for (size_t size = 0; size < row.received.size(); size += 7) {
      const ConnectAnswer early =
          judgeConnectAnswer(std::string_view(row.received).substr(0, size));
      if (early.verdict == V::kNeedMore) continue;
      EXPECT_EQ(early.verdict, row.verdict) << size;
      EXPECT_EQ(early.bodyStart, row.bodyStart) << size;
    }
  }
}

}  // namespace
}  // namespace quillon
