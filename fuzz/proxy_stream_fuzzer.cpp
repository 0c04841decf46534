// Feeds arbitrary bytes to the request-stream rewriter as a client's stream, once whole and once
// split at points drawn from the input, then the same bytes as the upstream's answers to the
// requests it accepted to the answer follower, and to the judge of answers to CONNECT. Besides
// the sanitizers' checks it verifies that:
// - the split never changes what goes upstream or what is reported, nor what the follower
//   concludes;
// - the output stays within a bounded multiple of the input;
// - re-read as the upstream reads it, the output is a sequence of well-formed heads, one per
//   reported request, each carrying the authorization line (and no other) right before the
//   keep-alive lines (or the empty line alone for HTTP/1.0 without keep-alive), with the bodies
//   between them framed as their heads say;
// - the follower never answers more requests than it expects, and decides on an upgrade at most
//   once per request that asked for one;
// - a verdict on an answer, once reached, holds for every longer answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/http_head.h"
#include "proxy/proxy_text.h"
#include "proxy/request_stream.h"
#include "proxy/response_stream.h"

namespace {

using namespace quillon;

constexpr std::string_view kAuth = "Proxy-Authorization: Basic Ym9iOnB3\r\n";

void check(bool condition) {
  if (!condition) std::abort();
}

struct Outcome {
  std::string out;
  std::vector<std::string> requests;
  std::vector<RequestReport> reports;
  RequestFault fault = RequestFault::kNone;
  size_t connectEnd = 0;  // offset in the input just past a CONNECT head

  bool operator==(const Outcome& other) const {
    return out == other.out && requests == other.requests && fault == other.fault &&
           connectEnd == other.connectEnd;
  }
};

// Small deterministic generator for the split points.
struct Splitter {
  uint32_t state;
  size_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    // Mostly short slices, now and then a long one.
    return (state & 7) == 0 ? 1 + state % 4096 : 1 + state % 16;
  }
};

// `switchOnUpgrade`: how the answer to each request that asked for an upgrade turns out.
Outcome rewrite(std::string_view input, std::string_view auth, bool switchOnUpgrade,
                Splitter* splitter) {
  RequestStreamRewriter rewriter{std::string(auth)};
  Outcome outcome;
  size_t pos = 0;
  while (pos < input.size()) {
    const size_t left = input.size() - pos;
    const size_t slice = splitter ? std::min(splitter->next(), left) : left;
    const FeedResult result = rewriter.feed(input.substr(pos, slice), outcome.out);
    for (const RequestReport& report : result.requests) {
      check(report.authorizationAdded == !auth.empty());
      outcome.requests.push_back(report.method + ' ' + report.target);
      outcome.reports.push_back(report);
    }
    if (result.verdict == StreamVerdict::kRefused) {
      outcome.fault = result.fault;
      check(rewriter.headInProgress() == 0);
      break;
    }
    if (result.verdict == StreamVerdict::kConnect) {
      check(outcome.connectEnd == 0 && result.consumed <= slice);
      outcome.connectEnd = pos + result.consumed;
      pos += result.consumed;  // the rest of the slice goes through as tunnel bytes
      continue;
    }
    if (result.verdict == StreamVerdict::kAwaitingAnswer) {
      check(result.consumed <= slice && rewriter.upgradePending());
      pos += result.consumed;  // the rest waits for the answer
      rewriter.answerKnown(switchOnUpgrade);
      continue;
    }
    check(result.consumed == slice);
    pos += slice;
  }
  return outcome;
}

// Reads the output as the upstream proxy would and returns the number of heads in it.
size_t checkUpstreamView(std::string_view out, std::string_view auth, bool switchOnUpgrade) {
  std::string expectedEnd(auth);
  expectedEnd += kKeepAliveTail;
  std::string closingEnd(auth);
  closingEnd += "\r\n";
  RequestHead head;
  size_t heads = 0;
  size_t pos = 0;
  while (pos < out.size()) {
    const std::string_view rest = out.substr(pos);
    const size_t end = findHeadEnd(rest);
    check(end != std::string_view::npos);  // heads go out whole or not at all
    const std::string_view text = rest.substr(0, end);
    check(parseRequestHead(text, head) == RequestFault::kNone);
    const bool persistent = text.size() >= expectedEnd.size() &&
                            text.substr(text.size() - expectedEnd.size()) == expectedEnd;
    check(persistent || (head.version == "HTTP/1.0" && text.size() >= closingEnd.size() &&
                         text.substr(text.size() - closingEnd.size()) == closingEnd));
    const size_t authorizations =
        std::count_if(head.fields.begin(), head.fields.end(), [](const HeaderField& field) {
          return field.name.size() == 19 && startsWithNoCase(field.name, "Proxy-Authorization");
        });
    check(authorizations == (auth.empty() ? 0u : 1u));
    ++heads;
    pos += end;
    if (head.method == "CONNECT") return heads;  // the rest is the tunnel's
    Destination destination;
    check(head.target.find("://") != std::string_view::npos);
    check(requestDestination(head, destination) == RequestFault::kNone);
    RequestFraming framing;
    check(parseRequestFraming(head, framing) == RequestFault::kNone);
    check(persistent == (head.version != "HTTP/1.0" || framing.keepAliveAsked));
    if (framing.body == RequestFraming::Body::kLength) {
      pos += static_cast<size_t>(std::min<uint64_t>(framing.length, out.size() - pos));
    } else if (framing.body == RequestFraming::Body::kChunked) {
      ChunkedBodyScanner scanner;
      pos += scanner.scan(out.substr(pos));
      check(scanner.status() != ChunkedBodyScanner::Status::kMalformed);
    }
    if (framing.upgrade && switchOnUpgrade) return heads;  // the rest passes unchanged
  }
  return heads;
}

struct Followed {
  uint64_t answered = 0;
  bool lost = false;
  bool switched = false;
  bool between = false;
  std::vector<ResponseStreamFollower::Upgrade> decisions;

  bool operator==(const Followed&) const = default;
};

Followed follow(std::string_view answers, const std::vector<RequestReport>& requests,
                Splitter* splitter) {
  ResponseStreamFollower follower;
  size_t upgrades = 0;
  for (const RequestReport& request : requests) {
    follower.expect(request.method == "HEAD", request.upgrade);
    upgrades += request.upgrade ? 1 : 0;
  }
  Followed followed;
  for (size_t pos = 0; pos < answers.size();) {
    const size_t slice = splitter ? std::min(splitter->next(), answers.size() - pos)
                                  : answers.size() - pos;
    const ResponseStreamFollower::Upgrade decision = follower.follow(answers.substr(pos, slice));
    if (decision != ResponseStreamFollower::Upgrade::kNone) followed.decisions.push_back(decision);
    pos += slice;
  }
  followed.answered = follower.answered();
  followed.lost = follower.lost();
  followed.switched = follower.switched();
  followed.between = follower.betweenAnswers();
  check(followed.answered <= requests.size());
  check(followed.decisions.size() <= upgrades);
  return followed;
}

void checkAnswerJudge(std::string_view input, size_t prefix) {
  const ConnectAnswer whole = judgeConnectAnswer(input);
  if (whole.verdict == AnswerVerdict::kOpen) {
    check(whole.bodyStart > 0 && whole.bodyStart <= std::min(input.size(), kAnswerHeadLimit));
  }
  const ConnectAnswer early = judgeConnectAnswer(input.substr(0, prefix));
  if (early.verdict != AnswerVerdict::kNeedMore) {
    check(early.verdict == whole.verdict && early.status == whole.status &&
          early.bodyStart == whole.bodyStart);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses credentials and seeds the split points.
  const std::string_view auth = (data[0] & 1) != 0 ? kAuth : std::string_view();
  Splitter splitter{0x9e3779b9u ^ data[0]};
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  const bool switchOnUpgrade = (data[0] & 2) != 0;
  const Outcome whole = rewrite(input, auth, switchOnUpgrade, nullptr);
  const Outcome split = rewrite(input, auth, switchOnUpgrade, &splitter);
  check(whole == split);
  check(whole.out.size() <= 16 * input.size() + 256);
  check(checkUpstreamView(whole.out, auth, switchOnUpgrade) == whole.requests.size());

  check(follow(input, whole.reports, nullptr) == follow(input, whole.reports, &splitter));

  checkAnswerJudge(input, splitter.next() % (input.size() + 1));
  return 0;
}
