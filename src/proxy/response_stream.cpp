#include "proxy/response_stream.h"

#include <algorithm>

namespace quillon {

void ResponseStreamFollower::expect(bool head, bool upgrade) {
  expected_.push_back({head, upgrade});
}

bool ResponseStreamFollower::betweenAnswers() const {
  return state_ == State::kHead && !collector_.inProgress();
}

ResponseStreamFollower::Upgrade ResponseStreamFollower::follow(std::string_view bytes) {
  Upgrade upgrade = Upgrade::kNone;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const std::string_view rest = bytes.substr(pos);
    switch (state_) {
      case State::kHead:
        pos += takeHead(rest, upgrade);
        break;
      case State::kLengthBody: {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(bodyLeft_, rest.size()));
        pos += take;
        bodyLeft_ -= take;
        if (bodyLeft_ == 0) endAnswer();
        break;
      }
      case State::kChunkedBody:
        pos += chunked_.scan(rest);
        if (chunked_.status() == ChunkedBodyScanner::Status::kDone) endAnswer();
        if (chunked_.status() == ChunkedBodyScanner::Status::kMalformed) state_ = State::kLost;
        break;
      case State::kUntilClose:
      case State::kSwitched:
      case State::kLost:
        pos = bytes.size();
        break;
    }
  }
  return upgrade;
}

size_t ResponseStreamFollower::takeHead(std::string_view bytes, Upgrade& upgrade) {
  const HeadCollector::Taken taken = collector_.take(bytes);
  switch (taken.status) {
    case HeadCollector::Status::kComplete:
      acceptHead(taken.head, upgrade);
      collector_.clear();
      break;
    case HeadCollector::Status::kTooLarge:
      state_ = State::kLost;
      break;
    case HeadCollector::Status::kNeedMore:
      break;
  }
  return taken.count;
}

void ResponseStreamFollower::acceptHead(std::string_view head, Upgrade& upgrade) {
  // An empty line where a head should begin: some servers send one after a body.
  if (head == "\n" || head == "\r\n") return;
  if (expected_.empty()) {
    state_ = State::kLost;
    return;
  }
  const Expected request = expected_.front();
  AnswerFraming framing;
  const std::optional<int> status = parseAnswerHead(head, request.head, framing);
  if (!status || (*status == 101 && !request.upgrade)) {
    state_ = State::kLost;
    return;
  }
  if (*status == 101) {
    expected_.pop_front();
    ++answered_;
    state_ = State::kSwitched;
    upgrade = Upgrade::kSwitched;
    return;
  }
  if (*status / 100 == 1) return;  // interim: the final answer follows
  if (request.upgrade) upgrade = Upgrade::kDeclined;
  switch (framing.body) {
    case AnswerFraming::Body::kNone:
      endAnswer();
      break;
    case AnswerFraming::Body::kLength:
      bodyLeft_ = framing.length;
      state_ = State::kLengthBody;
      break;
    case AnswerFraming::Body::kChunked:
      chunked_ = ChunkedBodyScanner();
      state_ = State::kChunkedBody;
      break;
    case AnswerFraming::Body::kUntilClose:
      state_ = State::kUntilClose;
      break;
  }
}

void ResponseStreamFollower::endAnswer() {
  expected_.pop_front();
  ++answered_;
  state_ = State::kHead;
}

}  // namespace quillon
