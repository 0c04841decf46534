// The two streams of a plain HTTP client connection as its tunnel carries them: the client's
// requests on their way upstream, rewritten one by one, and the upstream's answers on their way
// back, passed unchanged but followed, so that
// - the client's bytes after a request that asked for an upgrade wait until the answer to that
//   request is known: raw bytes both ways after a 101, the next request otherwise;
// - after a request the proxy refuses, the requests accepted before it still get their answers,
//   and only then does the connection end.
// Socket-free; the tunnel reads, feeds and writes. It writes the log lines of the requests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/request_stream.h"
#include "proxy/response_stream.h"
#include "proxy/session_io.h"

namespace quillon {

// "处理 <method> 请求: <target>", with the client's texts made safe for the log.
void logRequest(const std::string& prefix, const RequestReport& request);
// That line, then "已添加代理认证头 (Basic认证)" when the proxy's credentials were added.
void logForwardedRequest(const std::string& prefix, const RequestReport& request);

class HttpExchange {
 public:
  // `rewriter` has already taken the connection's first bytes, whose requests (`accepted`, in
  // order) the session sent upstream and logged. `held` are bytes it read after a request that
  // asked for an upgrade (the rewriter awaits that answer). A rewriter that refused a request
  // after the accepted ones starts the exchange refused (the refusal's line is written here).
  // `headMs` bounds each later head from its first byte.
  HttpExchange(std::unique_ptr<RequestStreamRewriter> rewriter,
               const std::vector<RequestReport>& accepted, std::string held, std::string prefix,
               int headMs);

  // The client's bytes: appends what goes upstream now to `out`. Bytes after a request that
  // asked for an upgrade are kept until its answer is known; after a refusal the client's
  // bytes are dropped.
  void fromClient(std::string_view in, std::string& out);
  // Kept bytes that may go now: appended to `out` by takeReleased().
  bool hasReleased() const { return !released_.empty(); }
  void takeReleased(std::string& out);
  // While false the client's bytes stay in its socket (some are kept already).
  bool readsClient() const { return !holding_; }

  // The upstream's bytes on their way to the client.
  void fromUpstream(std::string_view in);

  // The client / the upstream ended its stream.
  void clientEnded();
  void upstreamEnded();

  enum class End {
    kNo,
    kAfterAnswers,  // refused, and every answer awaited has been read: close once written
    kNow,           // the answers cannot be followed where they must be (logged)
  };
  End end() const;

  // While a head has begun and not ended: when it must have ended.
  std::optional<Deadline> headDeadline() const;
  // The head in progress missed its deadline: it is refused (logged).
  void refuseLateHead();

 private:
  void accept(const std::vector<RequestReport>& requests);
  void feed(std::string_view in, std::string& out);
  void refuse(RequestFault fault);
  // The answer to the request that asked for an upgrade is known (or never will be).
  void decideUpgrade(bool switched);
  void checkFollowable();
  void trackHead();

  std::unique_ptr<RequestStreamRewriter> rewriter_;
  ResponseStreamFollower answers_;
  const std::string prefix_;
  const int headMs_;
  uint64_t requests_ = 0;  // accepted, in all
  bool holding_ = false;   // bytes kept until an upgrade's answer
  std::string held_;
  std::string released_;
  RequestFault refusal_ = RequestFault::kNone;
  bool cutShort_ = false;  // the last accepted request went upstream incomplete
  bool failed_ = false;
  uint64_t head_ = 0;  // the head whose deadline runs
  Deadline deadline_;
};

}  // namespace quillon
