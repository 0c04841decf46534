#include "proxy/request_stream.h"

#include <algorithm>
#include <utility>

#include "proxy/proxy_text.h"

namespace quillon {

namespace {

constexpr size_t kRetainedFields = 128;

bool isClientProxyHeader(std::string_view name) {
  return (name.size() == 19 && startsWithNoCase(name, "Proxy-Authorization")) ||
         (name.size() == 16 && startsWithNoCase(name, "Proxy-Connection"));
}

void appendAuthority(const Destination& destination, bool alwaysPort, std::string& out) {
  out += destination.host;
  if (alwaysPort || destination.port != destination.defaultPort) {
    out += ':';
    out += std::to_string(destination.port);
  }
}

// "Transfer-Encoding: gzip, chunked": the client's name, its codings trimmed (the framing check
// has refused empty ones). Some upstreams refuse a value with trailing white space.
void appendEncodingLine(const HeaderField& field, std::string& out) {
  out.append(field.name);
  out += ": ";
  std::string_view value = field.value;
  for (bool first = true;; first = false) {
    const size_t comma = value.find(',');
    std::string_view coding = value.substr(0, comma);
    while (!coding.empty() && (coding.front() == ' ' || coding.front() == '\t')) {
      coding.remove_prefix(1);
    }
    while (!coding.empty() && (coding.back() == ' ' || coding.back() == '\t')) {
      coding.remove_suffix(1);
    }
    if (!first) out += ", ";
    out.append(coding);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
}

bool isTransferEncoding(std::string_view name) {
  return name.size() == 17 && startsWithNoCase(name, "Transfer-Encoding");
}

}  // namespace

RequestStreamRewriter::RequestStreamRewriter(std::string authorizationLine)
    : authorizationLine_(std::move(authorizationLine)) {}

uint64_t RequestStreamRewriter::headInProgress() const {
  return state_ == State::kHead && collector_.inProgress() ? headsAccepted_ + 1 : 0;
}

void RequestStreamRewriter::report(size_t headStart, const std::string& out,
                                   FeedResult& result) const {
  result.requests.push_back({std::string(head_.method), std::string(head_.target),
                             !authorizationLine_.empty(), framing_.upgrade,
                             out.size() - headStart});
}

void RequestStreamRewriter::refuse(RequestFault fault) {
  refusedInBody_ = state_ == State::kLengthBody || state_ == State::kChunkedBody;
  state_ = State::kRefused;
  fault_ = fault;
  collector_.clear();
}

void RequestStreamRewriter::endMessage() {
  state_ = upgradePending_ ? State::kAwaitingAnswer : State::kHead;
}

void RequestStreamRewriter::answerKnown(bool switched) {
  if (!upgradePending_) return;
  upgradePending_ = false;
  if (switched) {
    state_ = State::kPassThrough;
  } else if (state_ == State::kAwaitingAnswer) {
    state_ = State::kHead;
  }
}

FeedResult RequestStreamRewriter::feed(std::string_view bytes, std::string& out) {
  FeedResult result;
  size_t pos = 0;
  while (pos < bytes.size() && state_ != State::kRefused && state_ != State::kAwaitingAnswer &&
         result.verdict != StreamVerdict::kConnect) {
    const std::string_view rest = bytes.substr(pos);
    switch (state_) {
      case State::kHead:
        pos += takeHead(rest, out, result);
        break;
      case State::kLengthBody: {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(bodyLeft_, rest.size()));
        out.append(rest.data(), take);
        pos += take;
        result.bodyBytes += take;
        bodyLeft_ -= take;
        if (bodyLeft_ == 0) endMessage();
        break;
      }
      case State::kChunkedBody: {
        const size_t take = chunked_.scan(rest);
        out.append(rest.data(), take);
        pos += take;
        result.bodyBytes += take;
        if (chunked_.status() == ChunkedBodyScanner::Status::kDone) endMessage();
        if (chunked_.status() == ChunkedBodyScanner::Status::kMalformed) {
          refuse(RequestFault::kBadChunkedBody);
        }
        break;
      }
      case State::kPassThrough:
        out.append(rest);
        pos = bytes.size();
        break;
      case State::kAwaitingAnswer:
      case State::kRefused:
        break;
    }
  }
  if (state_ == State::kRefused) {
    result.verdict = StreamVerdict::kRefused;
    result.fault = fault_;
  } else if (state_ == State::kAwaitingAnswer) {
    result.verdict = StreamVerdict::kAwaitingAnswer;
  }
  result.consumed = pos;
  return result;
}

size_t RequestStreamRewriter::takeHead(std::string_view bytes, std::string& out,
                                       FeedResult& result) {
  const HeadCollector::Taken taken = collector_.take(bytes);
  switch (taken.status) {
    case HeadCollector::Status::kComplete:
      acceptHead(taken.head, out, result);
      collector_.clear();
      break;
    case HeadCollector::Status::kTooLarge:
      refuse(RequestFault::kHeadTooLarge);
      break;
    case HeadCollector::Status::kNeedMore:
      break;
  }
  return taken.count;
}

void RequestStreamRewriter::acceptHead(std::string_view head, std::string& out,
                                       FeedResult& result) {
  // An empty line where a head should begin: clients may send one after a body.
  if (head == "\n" || head == "\r\n") return;
  rewriteHead(head, out, result);
  // A head of thousands of tiny lines should not leave its field list behind for the life of
  // the connection.
  if (head_.fields.capacity() > kRetainedFields) head_.fields = std::vector<HeaderField>();
}

void RequestStreamRewriter::rewriteHead(std::string_view head, std::string& out,
                                        FeedResult& result) {
  RequestFault fault = parseRequestHead(head, head_);
  if (fault != RequestFault::kNone) {
    refuse(fault);
    return;
  }
  const bool first = headsAccepted_ == 0;
  const bool connect = head_.method == "CONNECT";
  if (connect) {
    fault = first ? parseConnectTarget(head_.target, destination_) : RequestFault::kConnectNotFirst;
  } else {
    fault = requestDestination(head_, destination_);
    if (fault == RequestFault::kNone) fault = parseRequestFraming(head_, framing_);
  }
  if (fault != RequestFault::kNone) {
    refuse(fault);
    return;
  }

  ++headsAccepted_;
  const size_t headStart = out.size();

  if (connect) {
    out += "CONNECT ";
    appendAuthority(destination_, true, out);
    out += " HTTP/1.1\r\nHost: ";
    appendAuthority(destination_, true, out);
    out += "\r\n";
    out += authorizationLine_;
    out += kKeepAliveTail;
    report(headStart, out, result);
    result.verdict = StreamVerdict::kConnect;
    result.connectTarget = destination_;
    state_ = State::kPassThrough;
    return;
  }

  out.append(head_.method);
  out += ' ';
  out += destination_.scheme;
  out += "://";
  if (!destination_.userinfo.empty()) {
    out += destination_.userinfo;
    out += '@';
  }
  appendAuthority(destination_, false, out);
  out += destination_.path;
  out += ' ';
  out.append(head_.version);
  out += "\r\n";
  for (const HeaderField& field : head_.fields) {
    if (isClientProxyHeader(field.name)) continue;
    if (isTransferEncoding(field.name)) {
      appendEncodingLine(field, out);
    } else {
      out.append(field.line);
    }
    out += "\r\n";
  }
  out += authorizationLine_;
  // An HTTP/1.0 request is persistent only when it asks to be.
  if (head_.version == "HTTP/1.0" && !framing_.keepAliveAsked) {
    out += "\r\n";
  } else {
    out += kKeepAliveTail;
  }
  report(headStart, out, result);

  upgradePending_ = framing_.upgrade;
  if (framing_.body == RequestFraming::Body::kLength) {
    bodyLeft_ = framing_.length;
    state_ = State::kLengthBody;
  } else if (framing_.body == RequestFraming::Body::kChunked) {
    chunked_ = ChunkedBodyScanner();
    state_ = State::kChunkedBody;
  } else {
    endMessage();
  }
}

}  // namespace quillon
