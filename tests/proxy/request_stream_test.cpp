// The request-stream rewriter over whole client streams: several requests on one connection,
// each rewritten with the credentials whatever the split of the bytes; every refusal keeping
// the refused head from the upstream; CONNECT as the first head; the switch to pass-through.
#include "proxy/request_stream.h"

#include <gtest/gtest.h>

#include "proxy/proxy_text.h"

namespace quillon {
namespace {

const std::string kAuth = basicAuthorizationLine("bob", "pw");
const std::string kTail(kKeepAliveTail);

struct Rewritten {
  std::string out;
  std::vector<std::string> requests;  // method, " ", target as received
  StreamVerdict verdict = StreamVerdict::kForwarding;
  RequestFault fault = RequestFault::kNone;
};

// Feeds `stream` in slices of `slice` bytes, as reads from a socket would deliver it, up to a
// refusal or a CONNECT.
Rewritten rewrite(const std::string& stream, size_t slice, const std::string& auth = kAuth) {
  RequestStreamRewriter rewriter(auth);
  Rewritten run;
  for (size_t pos = 0; pos < stream.size() && run.verdict == StreamVerdict::kForwarding;
       pos += slice) {
    const FeedResult result = rewriter.feed(std::string_view(stream).substr(pos, slice), run.out);
    for (const RequestReport& report : result.requests) {
      EXPECT_EQ(report.authorizationAdded, !auth.empty());
      run.requests.push_back(report.method + " " + report.target);
    }
    run.verdict = result.verdict;
    run.fault = result.fault;
  }
  return run;
}

const size_t kSlices[] = {1, 2, 3, 7, 64, std::string::npos};

TEST(RequestStream, EveryRequestOnTheConnectionIsRewrittenWithTheCredentials) {
  // A GET with the client's own proxy headers; a POST whose body looks like a request; after
  // an empty line, a chunked POST with LF-only head lines, chunk data that looks like the last
  // chunk, an extension and a trailer.
  const std::string body2 = "GET / HTTP/1.1\r\n\r\n";
  const std::string chunks = "5\r\n0\r\n\r\n\r\n6;x=y\r\n world\r\n0\r\nX-Checksum: 42\r\n\r\n";
  const std::string stream =
      "GET /a HTTP/1.1\r\nHost: origin.test\r\nProxy-Authorization: Basic Zm9vOmJhcg==\r\n"
      "proxy-connection: keep-alive\r\nAccept: */*\r\n\r\n"
      "POST https://origin.test/up?x=1 HTTP/1.1\r\nHost: origin.test\r\nContent-Length: "
      "18\r\n\r\n" +
      body2 +
      "\r\nPOST http://user:pw@[::1]:8080/c HTTP/1.1\nHost: [::1]:8080\n"
      "Transfer-Encoding: chunked\n\n" +
      chunks;
  const std::string expected =
      "GET http://origin.test/a HTTP/1.1\r\nHost: origin.test\r\nAccept: */*\r\n" + kAuth + kTail +
      "POST http://origin.test:443/up?x=1 HTTP/1.1\r\nHost: origin.test\r\nContent-Length: 18\r\n" +
      kAuth + kTail + body2 +
      "POST http://[::1]:8080/c HTTP/1.1\r\nHost: [::1]:8080\r\nTransfer-Encoding: chunked\r\n" +
      kAuth + kTail + chunks;
  const std::vector<std::string> requests = {"GET /a", "POST https://origin.test/up?x=1",
                                             "POST http://user:pw@[::1]:8080/c"};
  for (size_t slice : kSlices) {
    SCOPED_TRACE(slice);
    const Rewritten run = rewrite(stream, slice);
    EXPECT_EQ(run.verdict, StreamVerdict::kForwarding);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.requests, requests);
  }
  // Without credentials nothing takes the authorization line's place.
  const Rewritten bare = rewrite(stream, std::string::npos, "");
  EXPECT_EQ(bare.out.find("Proxy-Authorization"), std::string::npos);
  EXPECT_EQ(bare.out.size(), expected.size() - 3 * kAuth.size());
}

TEST(RequestStream, RefusedHeadsNeverGoUpstream) {
  const std::string good = "GET /ok HTTP/1.1\r\nHost: origin.test\r\n\r\n";
  const std::string goodOut =
      "GET http://origin.test/ok HTTP/1.1\r\nHost: origin.test\r\n" + kAuth + kTail;
  const std::string h = "Host: origin.test\r\n";
  struct Row {
    std::string bad;
    RequestFault fault;
  };
  const Row rows[] = {
      {"POST /a HTTP/1.1\r\n" + h +
           "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       RequestFault::kLengthWithEncoding},
      {"POST /a HTTP/1.1\r\n" + h + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
       RequestFault::kConflictingContentLengths},
      {"POST /a HTTP/1.1\r\n" + h + "Content-Length: 3abc\r\n\r\nabc",
       RequestFault::kBadContentLength},
      {"POST /a HTTP/1.1\r\n" + h + "Transfer-Encoding: chunked, gzip\r\n\r\n",
       RequestFault::kUnsupportedEncoding},
      {"GET /" + std::string(kRequestHeadLimit, 'a'), RequestFault::kHeadTooLarge},
      {"GET / HTTP/1.1\r\n" + h + "X: " + std::string(kRequestHeadLimit, 'a') + "\r\n\r\n",
       RequestFault::kHeadTooLarge},
      {"GET @evil.test/x HTTP/1.1\r\n" + h + "\r\n", RequestFault::kBadTarget},
      {"GET http://origin.test\rX-Injected:1/x HTTP/1.1\r\n\r\n", RequestFault::kBadRequestLine},
      {"GET /x HTTP/1.1\r\nHost: origin.test\rX-Injected: 1\r\n\r\n", RequestFault::kBadHeaderLine},
      {"GET /x HTTP/1.1\r\nHost: origin .test\r\n\r\n", RequestFault::kBadHost},
      {"GET /x HTTP/1.1\r\n" + h + "Host: evil.test\r\n\r\n", RequestFault::kConflictingHosts},
      {"GET /x HTTP/1.1\r\n\r\n", RequestFault::kNoHost},
      {"GET /x HTTP/1.1\r\n" + h + "Proxy-Authorization : Basic eDp5\r\n\r\n",
       RequestFault::kBadHeaderLine},
      {"GET /x HTTP/1.1\r\n" + h + "X: 1\r\n Proxy-Authorization: Basic eDp5\r\n\r\n",
       RequestFault::kBadHeaderLine},
      {"GET gopher://origin.test/x HTTP/1.1\r\n\r\n", RequestFault::kUnsupportedScheme},
      {"CONNECT origin.test:443 HTTP/1.1\r\n" + h + "\r\n", RequestFault::kConnectNotFirst},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bad.substr(0, 80));
    for (size_t slice : {size_t{1}, std::string::npos}) {
      const Rewritten run = rewrite(good + row.bad + good, slice);
      EXPECT_EQ(run.verdict, StreamVerdict::kRefused);
      EXPECT_EQ(run.fault, row.fault);
      EXPECT_EQ(run.out, goodOut);
      EXPECT_EQ(run.requests, std::vector<std::string>{"GET /ok"});
    }
  }
}

TEST(RequestStream, AMalformedChunkedBodyStopsAtItsFirstBadByte) {
  const std::string head =
      "POST /a HTTP/1.1\r\nHost: origin.test\r\nTransfer-Encoding: chunked\r\n\r\n";
  RequestStreamRewriter rewriter(kAuth);
  std::string out;
  const FeedResult result =
      rewriter.feed(head + "5\r\nhello\r\n5\nworld\r\n0\r\n\r\nGET / HTTP/1.1\r\n\r\n", out);
  EXPECT_EQ(result.verdict, StreamVerdict::kRefused);
  EXPECT_EQ(result.fault, RequestFault::kBadChunkedBody);
  EXPECT_EQ(out,
            "POST http://origin.test/a HTTP/1.1\r\nHost: origin.test\r\n"
            "Transfer-Encoding: chunked\r\n" +
                kAuth + kTail + "5\r\nhello\r\n5");
  // A refused stream stays refused and takes nothing more.
  const FeedResult later = rewriter.feed("GET /x HTTP/1.1\r\nHost: a\r\n\r\n", out);
  EXPECT_EQ(later.verdict, StreamVerdict::kRefused);
  EXPECT_EQ(later.consumed, 0u);
  EXPECT_TRUE(later.requests.empty());
  EXPECT_EQ(rewriter.fault(), RequestFault::kBadChunkedBody);
}

TEST(RequestStream, ConnectAsFirstHeadGivesTheUpstreamRequestAndStopsAtItsEnd) {
  struct Row {
    std::string target;
    std::string authority;  // "" when refused
    RequestFault fault;
  };
  const Row rows[] = {
      {"192.0.2.1:443", "192.0.2.1:443", RequestFault::kNone},
      {"192.0.2.1:0443", "192.0.2.1:443", RequestFault::kNone},
      {"[::1]:8443", "[::1]:8443", RequestFault::kNone},
      {"192.0.2.1:0", "", RequestFault::kBadConnectPort},
      {"192.0.2.1:99999", "", RequestFault::kBadConnectPort},
      {"192.0.2.1:-1", "", RequestFault::kBadConnectPort},
      {":443", "", RequestFault::kBadConnectTarget},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.target);
    const std::string head = "CONNECT " + row.target + " HTTP/1.1\r\nHost: x\r\n\r\n";
    RequestStreamRewriter rewriter(kAuth);
    std::string out;
    const FeedResult result = rewriter.feed(head + "\x16\x03\x01 early", out);
    if (row.authority.empty()) {
      EXPECT_EQ(result.verdict, StreamVerdict::kRefused);
      EXPECT_EQ(result.fault, row.fault);
      EXPECT_EQ(out, "");
      continue;
    }
    ASSERT_EQ(result.verdict, StreamVerdict::kConnect);
    EXPECT_EQ(result.consumed, head.size());
    EXPECT_EQ(result.requests.size(), 1u);
    EXPECT_EQ(result.requests[0].target, row.target);
    EXPECT_EQ(out, "CONNECT " + row.authority + " HTTP/1.1\r\nHost: " + row.authority + "\r\n" +
                       kAuth + kTail);
    // Once the tunnel is up, the rest is copied unchanged.
    out.clear();
    const FeedResult tunnel = rewriter.feed("GET / HTTP/1.1\r\n\r\n", out);
    EXPECT_EQ(tunnel.verdict, StreamVerdict::kForwarding);
    EXPECT_EQ(out, "GET / HTTP/1.1\r\n\r\n");
  }
  std::string bare;
  RequestStreamRewriter noCredentials("");
  noCredentials.feed("CONNECT 192.0.2.1:443 HTTP/1.1\r\n\r\n", bare);
  EXPECT_EQ(bare.size(), 144u);
}

// The bytes after a request that asked for an upgrade (its body included in the request) wait
// for its answer: a 101 lets them pass unchanged, any other answer rewrites them as requests.
TEST(RequestStream, AfterAnUpgradeRequestTheRestWaitsForItsAnswer) {
  const std::string head =
      "POST /chat HTTP/1.1\r\nHost: origin.test\r\nUpgrade: h2c\r\nContent-Length: 4\r\n\r\n";
  const std::string rewritten =
      "POST http://origin.test/chat HTTP/1.1\r\nHost: origin.test\r\nUpgrade: h2c\r\n"
      "Content-Length: 4\r\n" +
      kAuth + kTail + "body";
  const std::string after = "GET /two HTTP/1.1\r\nHost: origin.test\r\n\r\n";
  for (bool switched : {true, false}) {
    SCOPED_TRACE(switched);
    for (size_t slice : kSlices) {
      SCOPED_TRACE(slice);
      RequestStreamRewriter rewriter(kAuth);
      const std::string stream = head + "body" + after;
      std::string out;
      size_t pos = 0;
      FeedResult result;
      while (pos < stream.size() && result.verdict == StreamVerdict::kForwarding) {
        const std::string_view piece = std::string_view(stream).substr(pos, slice);
        result = rewriter.feed(piece, out);
        pos += result.consumed;
      }
      ASSERT_EQ(result.verdict, StreamVerdict::kAwaitingAnswer);
      EXPECT_EQ(pos, head.size() + 4) << "the rest is not taken";
      EXPECT_EQ(out, rewritten);
      EXPECT_EQ(rewriter.feed(after, out).consumed, 0u);
      rewriter.answerKnown(switched);
      out.clear();
      EXPECT_EQ(rewriter.feed(std::string_view(stream).substr(pos), out).verdict,
                StreamVerdict::kForwarding);
      EXPECT_EQ(out, switched ? after
                              : "GET http://origin.test/two HTTP/1.1\r\nHost: origin.test\r\n" +
                                    kAuth + kTail);
    }
  }
}

// Each request line and tail as the upstream gets it: schemes, HTTP/1.0 persistence, the
// Transfer-Encoding value and a head between 16 and 64 KiB.
TEST(RequestStream, HeadsAreRebuiltWithTheirSchemeAndPersistence) {
  struct Row {
    std::string head;
    std::string expected;
  };
  const std::string t = kAuth + kTail;   // a persistent request's tail
  const std::string c = kAuth + "\r\n";  // an HTTP/1.0 request's that did not ask for it
  const std::string line = "GET http://192.0.2.1/ HTTP/1.0\r\n";
  const std::string big = "Cookie: " + std::string(60000, 'c') + "\r\n";
  const Row rows[] = {
      {"GET ftp://user:pw@192.0.2.1/f.txt HTTP/1.1\r\n\r\n",
       "GET ftp://user:pw@192.0.2.1/f.txt HTTP/1.1\r\n" + t},
      {"GET FTP://192.0.2.1:2121/ HTTP/1.1\r\n\r\n", "GET ftp://192.0.2.1:2121/ HTTP/1.1\r\n" + t},
      {"GET ws://192.0.2.1:80/c HTTP/1.1\r\n\r\n", "GET ws://192.0.2.1/c HTTP/1.1\r\n" + t},
      {"GET wss://u@192.0.2.1/c HTTP/1.1\r\n\r\n", "GET wss://192.0.2.1/c HTTP/1.1\r\n" + t},
      {line + "\r\n", line + c},
      {line + "Connection: close\r\n\r\n", line + "Connection: close\r\n" + c},
      {line + "Connection: x, Keep-Alive\r\n\r\n", line + "Connection: x, Keep-Alive\r\n" + t},
      {line + "Proxy-Connection: keep-alive\r\n\r\n", line + t},
      {"GET http://192.0.2.1/ HTTP/1.1\r\nConnection: close\r\n\r\n",
       "GET http://192.0.2.1/ HTTP/1.1\r\nConnection: close\r\n" + t},
      {"POST http://192.0.2.1/ HTTP/1.1\r\ntransfer-encoding:gzip ,\tchunked \t\r\n\r\n0\r\n\r\n",
       "POST http://192.0.2.1/ HTTP/1.1\r\ntransfer-encoding: gzip, chunked\r\n" + t + "0\r\n\r\n"},
      {"GET http://192.0.2.1/ HTTP/1.1\r\n" + big + "\r\n",
       "GET http://192.0.2.1/ HTTP/1.1\r\n" + big + t},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.head.substr(0, 80));
    for (size_t slice : {size_t{7}, std::string::npos}) {
      const Rewritten run = rewrite(row.head, slice);
      EXPECT_EQ(run.verdict, StreamVerdict::kForwarding);
      EXPECT_EQ(run.out, row.expected);
    }
  }
}

TEST(RequestStream, HeadInProgressNumbersEachUnfinishedHead) {
  RequestStreamRewriter rewriter(kAuth);
  std::string out;
  EXPECT_EQ(rewriter.headInProgress(), 0u);
  rewriter.feed("POST /a HTTP/1.1\r\nHost: a\r\n", out);
  EXPECT_EQ(rewriter.headInProgress(), 1u);
  rewriter.feed("Content-Length: 4\r\n\r\nab", out);
  EXPECT_EQ(rewriter.headInProgress(), 0u) << "in a body";
  rewriter.feed("cdG", out);
  EXPECT_EQ(rewriter.headInProgress(), 2u);
  rewriter.feed("ET /b HTTP/1.1\r\nHost: a\r\n\r\n", out);
  EXPECT_EQ(rewriter.headInProgress(), 0u);
  rewriter.feed("\r\n", out);
  EXPECT_EQ(rewriter.headInProgress(), 0u) << "an empty line between requests is no head";
}

}  // namespace
}  // namespace quillon
