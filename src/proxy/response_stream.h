// The upstream-to-client direction of a plain HTTP client connection, answer by answer: which
// answer belongs to which request, followed far enough to know the answer to a request that
// asked for an upgrade and when the answers to the requests sent so far have all ended. The
// answers go to the client unchanged; this only reads them. Socket-free: the caller feeds the
// bytes as they pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string_view>

#include "proxy/http_head.h"

namespace quillon {

// Follows the answers of one connection. Not thread-safe: one owner feeds it.
//
// Each answer is a head (interim 1xx heads first, skipped, except 101), then a body framed as
// parseAnswerHead says, answering the oldest request not yet answered. A 101 answer to a
// request that asked for an upgrade ends HTTP on the connection: everything after its head is
// other bytes and is no longer read. The follower gives up (lost()) on a head it cannot read
// (malformed, or longer than kAnswerHeadLimit), a chunked body it cannot read, an answer that
// no request waits for, and a 101 to a request that did not ask for an upgrade; from then on
// it takes bytes without reading them.
class ResponseStreamFollower {
 public:
  // The next request sent upstream, in order: a HEAD (its answer has no body) or not, asking
  // for an upgrade or not.
  void expect(bool head, bool upgrade);

  // What an answer decided about the request that asked for an upgrade.
  enum class Upgrade {
    kNone,      // no answer to such a request ended its head within these bytes
    kSwitched,  // it was answered 101: the rest of the connection is other bytes
    kDeclined,  // it was answered with a final status other than 101
  };

  // Takes the next bytes of the upstream's stream, any split of it. Linear in the bytes fed;
  // memory held is at most kAnswerHeadLimit bytes of an unfinished head, plus one entry per
  // request expected and not yet answered.
  Upgrade follow(std::string_view bytes);

  // No answer is under way: the last one read has ended (head and body), and no answer runs
  // until the end of the stream.
  bool betweenAnswers() const;
  // How many requests have been answered completely.
  uint64_t answered() const { return answered_; }
  bool lost() const { return state_ == State::kLost; }
  bool switched() const { return state_ == State::kSwitched; }

 private:
  enum class State : uint8_t {
    kHead,
    kLengthBody,
    kChunkedBody,
    kUntilClose,
    kSwitched,
    kLost,
  };
  struct Expected {
    bool head;
    bool upgrade;
  };

  size_t takeHead(std::string_view bytes, Upgrade& upgrade);
  // Reads one complete head; sets the state for what follows it.
  void acceptHead(std::string_view head, Upgrade& upgrade);
  void endAnswer();

  State state_ = State::kHead;
  std::deque<Expected> expected_;  // requests not yet answered, oldest first
  uint64_t answered_ = 0;
  HeadCollector collector_{kAnswerHeadLimit};  // the head being received
  uint64_t bodyLeft_ = 0;
  ChunkedBodyScanner chunked_;
};

}  // namespace quillon
