#include "proxy/http_exchange.h"

#include "log/app_log.h"
#include "log/log_text.h"

namespace quillon {

namespace {

// The failure line of a connection whose answers cannot be followed where they must be.
constexpr char kUnfollowableAnswer[] = "目标代理的响应格式无效";

}  // namespace

void logRequest(const std::string& prefix, const RequestReport& request) {
  logLine(prefix, "处理 ", loggableText(request.method), " 请求: ", loggableText(request.target));
}

void logForwardedRequest(const std::string& prefix, const RequestReport& request) {
  logRequest(prefix, request);
  if (request.authorizationAdded) logLine(prefix, "已添加代理认证头 (Basic认证)");
}

HttpExchange::HttpExchange(std::unique_ptr<RequestStreamRewriter> rewriter,
                           const std::vector<RequestReport>& accepted, std::string held,
                           std::string prefix, int headMs)
    : rewriter_(std::move(rewriter)), prefix_(std::move(prefix)), headMs_(headMs) {
  for (const RequestReport& request : accepted) {
    answers_.expect(request.method == "HEAD", request.upgrade);
  }
  requests_ = accepted.size();
  if (rewriter_->fault() != RequestFault::kNone) {
    refuse(rewriter_->fault());
  } else if (rewriter_->awaitingAnswer()) {
    holding_ = true;
    held_ = std::move(held);
  }
  trackHead();
}

void HttpExchange::accept(const std::vector<RequestReport>& requests) {
  for (const RequestReport& request : requests) {
    logForwardedRequest(prefix_, request);
    answers_.expect(request.method == "HEAD", request.upgrade);
  }
  requests_ += requests.size();
}

void HttpExchange::feed(std::string_view in, std::string& out) {
  const FeedResult fed = rewriter_->feed(in, out);
  accept(fed.requests);
  if (fed.verdict == StreamVerdict::kRefused) {
    refuse(fed.fault);
  } else if (fed.verdict == StreamVerdict::kAwaitingAnswer) {
    holding_ = true;
    held_.assign(in.substr(fed.consumed));
  }
}

void HttpExchange::fromClient(std::string_view in, std::string& out) {
  if (refusal_ != RequestFault::kNone) return;
  feed(in, out);
  checkFollowable();
  trackHead();
}

void HttpExchange::takeReleased(std::string& out) {
  out += released_;
  released_ = std::string();
}

void HttpExchange::fromUpstream(std::string_view in) {
  if (answers_.lost() || answers_.switched()) return;
  switch (answers_.follow(in)) {
    case ResponseStreamFollower::Upgrade::kSwitched:
      decideUpgrade(true);
      break;
    case ResponseStreamFollower::Upgrade::kDeclined:
      decideUpgrade(false);
      break;
    case ResponseStreamFollower::Upgrade::kNone:
      break;
  }
  checkFollowable();
}

void HttpExchange::decideUpgrade(bool switched) {
  rewriter_->answerKnown(switched);
  if (!holding_) return;
  holding_ = false;
  const std::string kept = std::move(held_);
  held_ = std::string();
  if (refusal_ == RequestFault::kNone) feed(kept, released_);
  trackHead();
}

void HttpExchange::clientEnded() {
  // A head that had begun is lost with the client's end: said once, as for the first request.
  if (refusal_ == RequestFault::kNone && rewriter_->headInProgress() != 0) {
    logError(prefix_, "接收客户端请求失败或连接已断开");
  }
  head_ = 0;
}

void HttpExchange::upstreamEnded() {
  // No answer can come any more: a request waiting for its upgrade answer goes on as declined.
  if (rewriter_->upgradePending()) decideUpgrade(false);
}

void HttpExchange::refuse(RequestFault fault) {
  logError(prefix_, faultText(fault));
  refusal_ = fault;
  cutShort_ = rewriter_->refusedInBody();
  holding_ = false;
  held_ = std::string();
  head_ = 0;
}

void HttpExchange::refuseLateHead() { refuse(RequestFault::kHeadTimedOut); }

void HttpExchange::checkFollowable() {
  // Following the answers matters only to place an upgrade's answer and to end a refused
  // connection after its answers; without that, answers the follower cannot read pass as
  // they always have.
  if (failed_ || !answers_.lost()) return;
  if (rewriter_->upgradePending() || refusal_ != RequestFault::kNone) {
    logError(prefix_, kUnfollowableAnswer);
    failed_ = true;
  }
}

HttpExchange::End HttpExchange::end() const {
  if (failed_) return End::kNow;
  if (refusal_ == RequestFault::kNone || !answers_.betweenAnswers()) return End::kNo;
  // A request cut short by the refusal may never be answered.
  const uint64_t awaited = requests_ - (cutShort_ ? 1 : 0);
  return answers_.answered() >= awaited ? End::kAfterAnswers : End::kNo;
}

std::optional<Deadline> HttpExchange::headDeadline() const {
  if (head_ == 0 || refusal_ != RequestFault::kNone) return std::nullopt;
  return deadline_;
}

void HttpExchange::trackHead() {
  const uint64_t head = refusal_ == RequestFault::kNone ? rewriter_->headInProgress() : 0;
  if (head != 0 && head != head_) deadline_ = deadlineIn(headMs_);
  head_ = head;
}

}  // namespace quillon
