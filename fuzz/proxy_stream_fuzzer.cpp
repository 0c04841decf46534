// Feeds arbitrary bytes to the request-stream rewriter as a client's stream, once whole and once
// split at points drawn from the input, and to the judge of answers to CONNECT. Besides the
// sanitizers' checks it verifies that:
// - the split never changes what goes upstream or what is reported;
// - the output stays within a bounded multiple of the input;
// - re-read as the upstream reads it, the output is a sequence of well-formed heads, one per
//   reported request, each carrying the authorization line (and no other) right before the
//   keep-alive lines, with the bodies between them framed as their heads say;
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

namespace {

using namespace quillon;

constexpr std::string_view kAuth = "Proxy-Authorization: Basic Ym9iOnB3\r\n";

void check(bool condition) {
  if (!condition) std::abort();
}

struct Outcome {
  std::string out;
  std::vector<std::string> requests;
  RequestFault fault = RequestFault::kNone;
  size_t connectEnd = 0;  // offset in the input just past a CONNECT head

  bool operator==(const Outcome&) const = default;
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

Outcome rewrite(std::string_view input, std::string_view auth, Splitter* splitter) {
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
    check(result.consumed == slice);
    pos += slice;
  }
  return outcome;
}

// Reads the output as the upstream proxy would and returns the number of heads in it.
size_t checkUpstreamView(std::string_view out, std::string_view auth) {
  std::string expectedEnd(auth);
  expectedEnd += kKeepAliveTail;
  RequestHead head;
  size_t heads = 0;
  size_t pos = 0;
  while (pos < out.size()) {
    const std::string_view rest = out.substr(pos);
    const size_t end = findHeadEnd(rest);
    check(end != std::string_view::npos);  // heads go out whole or not at all
    const std::string_view text = rest.substr(0, end);
    check(parseRequestHead(text, head) == RequestFault::kNone);
    check(text.size() >= expectedEnd.size() &&
          text.substr(text.size() - expectedEnd.size()) == expectedEnd);
    const size_t authorizations =
        std::count_if(head.fields.begin(), head.fields.end(), [](const HeaderField& field) {
          return field.name.size() == 19 && startsWithNoCase(field.name, "Proxy-Authorization");
        });
    check(authorizations == (auth.empty() ? 0u : 1u));
    ++heads;
    pos += end;
    if (head.method == "CONNECT") return heads;  // the rest is the tunnel's
    Destination destination;
    check(head.target.substr(0, 7) == "http://");
    check(requestDestination(head, destination) == RequestFault::kNone);
    RequestFraming framing;
    check(parseRequestFraming(head, framing) == RequestFault::kNone);
    if (framing.upgrade) return heads;  // the rest passes unchanged
    if (framing.body == RequestFraming::Body::kLength) {
      pos += static_cast<size_t>(std::min<uint64_t>(framing.length, out.size() - pos));
    } else if (framing.body == RequestFraming::Body::kChunked) {
      ChunkedBodyScanner scanner;
      pos += scanner.scan(out.substr(pos));
      check(scanner.status() != ChunkedBodyScanner::Status::kMalformed);
    }
  }
  return heads;
}

void checkAnswerJudge(std::string_view input, size_t prefix) {
  const ConnectAnswer whole = judgeConnectAnswer(input);
  if (whole.verdict == AnswerVerdict::kOpen) {
    check(whole.bodyStart > 0 && whole.bodyStart <= std::min(input.size(), kHeadLimit));
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

  const Outcome whole = rewrite(input, auth, nullptr);
  const Outcome split = rewrite(input, auth, &splitter);
  check(whole == split);
  check(whole.out.size() <= 16 * input.size() + 256);
  check(checkUpstreamView(whole.out, auth) == whole.requests.size());

  checkAnswerJudge(input, splitter.next() % (input.size() + 1));
  return 0;
}
