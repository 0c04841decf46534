// The client-to-upstream direction of a plain HTTP client connection, request by request: every
// request head is rebuilt for the upstream proxy with the credentials, its body is passed on as
// framed, and the next head is awaited. Socket-free: the caller reads, feeds and sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/http_head.h"

namespace quillon {

// One request head the rewriter accepted, for the caller's log lines and for following the
// answers.
struct RequestReport {
  std::string method;
  std::string target;  // as the client sent it
  bool authorizationAdded = false;
  // It carries Upgrade: a 101 answer to it switches the connection to raw bytes.
  bool upgrade = false;
  // How many bytes the rebuilt head took in `out`.
  size_t headBytes = 0;
};

enum class StreamVerdict {
  kForwarding,      // every byte was taken; go on reading
  kConnect,         // the first head is a CONNECT: see FeedResult
  kAwaitingAnswer,  // a request that asked for an upgrade has ended: see FeedResult::consumed
  kRefused,         // the stream is refused: see FeedResult::fault
};

struct FeedResult {
  StreamVerdict verdict = StreamVerdict::kForwarding;
  // The heads accepted within this feed, in order (a CONNECT head included).
  std::vector<RequestReport> requests;
  // How many bytes of the fed slice were taken: all of them with kForwarding; with kConnect the
  // bytes up to the end of the CONNECT head (the rest belongs to the tunnel); with
  // kAwaitingAnswer the bytes up to the end of the request that asked for an upgrade (the rest
  // waits until its answer is known).
  size_t consumed = 0;
  // How many of the bytes appended to `out` are bodies (not heads).
  size_t bodyBytes = 0;
  // With kConnect: the tunnel's host and port.
  Destination connectTarget;
  // With kRefused: why (its text: faultText).
  RequestFault fault = RequestFault::kNone;
};

// Rewrites the request stream of one client connection. Not thread-safe: one owner feeds it.
//
// Per request head the upstream gets, every line ending in CR LF: the method, " ", the scheme
// and "://" (http for http and https targets, and for targets taken from the Host header), the
// host (an ftp target's login in front of it), ":" and the port unless it is the scheme's own,
// the path, " " and the version; the client's header lines in their order except its
// Proxy-Authorization and Proxy-Connection lines (any case), a Transfer-Encoding line rebuilt as
// its trimmed list of codings; the authorization line; kKeepAliveTail, or only the empty line for
// an HTTP/1.0 request that did not ask for keep-alive (an HTTP/1.0 client that reads its answer
// up to the end of the connection must see the connection end). Then the body exactly as framed
// (Content-Length bytes, or a chunked body up to its trailer's empty line), then the next head.
// Empty lines between requests are dropped.
//
// A request that carries Upgrade may switch the connection to other bytes, but only if the
// upstream answers it with 101. So after its body the rewriter stops (kAwaitingAnswer) until
// the caller, following the answers, tells it with answerKnown(): on a switch everything after
// passes unchanged, otherwise the next head is awaited as usual.
//
// Only the first head may be CONNECT: it produces the CONNECT request for the upstream proxy
// (the target's host and port, a Host line with the same authority, the authorization line
// and kKeepAliveTail), and the rewriter stops right after that head; the caller completes the
// handshake, and once the tunnel is open passes the rest of the slice and everything later
// either directly or through feed(), which from then on copies bytes unchanged.
//
// On a refusal nothing of the refused head (or of a chunked body after its first bad byte) is
// appended; requests accepted earlier in the same feed stay in `out`, and every later feed
// returns the same refusal and takes nothing.
class RequestStreamRewriter {
 public:
  // `authorizationLine` is the whole "Proxy-Authorization: ..." line with its CR LF, or "" when
  // no credentials are configured.
  explicit RequestStreamRewriter(std::string authorizationLine);

  // Takes the next bytes of the client's stream, any split of it (one byte at a time
  // included), and appends what goes upstream to `out` (never cleared here). A head is held
  // back until its end has arrived; body bytes are copied once, straight from `bytes`. Linear
  // in the bytes fed; memory held is at most kRequestHeadLimit bytes of an unfinished head.
  //
  // To check a connection's first request before dialling upstream, feed what has arrived
  // until the result reports a request, a CONNECT or a refusal.
  FeedResult feed(std::string_view bytes, std::string& out);

  // 0 while no head is being received (between requests, in a body, in pass-through, after a
  // refusal); otherwise the ordinal (1, 2, ...) of the head whose bytes have begun to arrive but
  // whose end has not. The caller starts its head deadline when this becomes a new non-zero
  // number, and refuses the stream with kHeadTimedOut (its own log line) when the deadline
  // passes while the number is unchanged.
  uint64_t headInProgress() const;

  // The answer to the request that asked for an upgrade is known: `switched` when it was 101.
  // Also allowed while that request's body is still being sent (the upstream may refuse it
  // early). Does nothing when no upgrade is pending.
  void answerKnown(bool switched);
  // A request that asked for an upgrade has been accepted and its answer is not known yet.
  bool upgradePending() const { return upgradePending_; }
  // That request has also been sent whole: nothing more is taken until its answer is known.
  bool awaitingAnswer() const { return state_ == State::kAwaitingAnswer; }

  // The fault once refused, kNone before.
  RequestFault fault() const { return fault_; }
  // Refused inside a body: the last accepted request went upstream cut short.
  bool refusedInBody() const { return refusedInBody_; }

 private:
  enum class State { kHead, kLengthBody, kChunkedBody, kAwaitingAnswer, kPassThrough, kRefused };

  size_t takeHead(std::string_view bytes, std::string& out, FeedResult& result);
  void acceptHead(std::string_view head, std::string& out, FeedResult& result);
  void rewriteHead(std::string_view head, std::string& out, FeedResult& result);
  void report(size_t headStart, const std::string& out, FeedResult& result) const;
  void refuse(RequestFault fault);
  // The current request's body has ended (or it has none).
  void endMessage();

  const std::string authorizationLine_;
  State state_ = State::kHead;
  RequestFault fault_ = RequestFault::kNone;
  uint64_t headsAccepted_ = 0;
  bool upgradePending_ = false;
  bool refusedInBody_ = false;
  HeadCollector collector_{kRequestHeadLimit};  // the head being received
  uint64_t bodyLeft_ = 0;                       // with kLengthBody
  ChunkedBodyScanner chunked_;
  // Reused for every head, so that their storage is allocated once per connection.
  RequestHead head_;
  Destination destination_;
  RequestFraming framing_;
};

}  // namespace quillon
