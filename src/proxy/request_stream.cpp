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
  if (alwaysPort || destination.port != 80) {
    out += ':';
    out += std::to_string(destination.port);
  }
}

}  // namespace

RequestStreamRewriter::RequestStreamRewriter(std::string authorizationLine)
    : authorizationLine_(std::move(authorizationLine)) {}

uint64_t RequestStreamRewriter::headInProgress() const {
  return state_ == State::kHead && !pending_.empty() ? headsAccepted_ + 1 : 0;
}

void RequestStreamRewriter::report(size_t headStart, const std::string& out,
                                   FeedResult& result) const {
  result.requests.push_back({std::string(head_.method), std::string(head_.target),
                             !authorizationLine_.empty(), out.size() - headStart});
}

void RequestStreamRewriter::refuse(RequestFault fault) {
  state_ = State::kRefused;
  fault_ = fault;
  pending_.clear();
  pending_.shrink_to_fit();
}

FeedResult RequestStreamRewriter::feed(std::string_view bytes, std::string& out) {
  FeedResult result;
  size_t pos = 0;
  while (pos < bytes.size() && state_ != State::kRefused &&
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
        bodyLeft_ -= take;
        if (bodyLeft_ == 0) state_ = State::kHead;
        break;
      }
      case State::kChunkedBody: {
        const size_t take = chunked_.scan(rest);
        out.append(rest.data(), take);
        pos += take;
        if (chunked_.status() == ChunkedBodyScanner::Status::kDone) state_ = State::kHead;
        if (chunked_.status() == ChunkedBodyScanner::Status::kMalformed) {
          refuse(RequestFault::kBadChunkedBody);
        }
        break;
      }
      case State::kPassThrough:
        out.append(rest);
        pos = bytes.size();
        break;
      case State::kRefused:
        break;
    }
  }
  if (state_ == State::kRefused) {
    result.verdict = StreamVerdict::kRefused;
    result.fault = fault_;
  }
  result.consumed = pos;
  return result;
}

size_t RequestStreamRewriter::takeHead(std::string_view bytes, std::string& out,
                                       FeedResult& result) {
  if (pending_.empty()) {
    // The usual case: the whole head is in this slice and is parsed where it lies.
    const size_t end = findHeadEnd(bytes.substr(0, kHeadLimit));
    if (end != std::string_view::npos) {
      acceptHead(bytes.substr(0, end), out, result);
      return end;
    }
    if (bytes.size() >= kHeadLimit) {
      refuse(RequestFault::kHeadTooLarge);
      return 0;
    }
    pending_.assign(bytes);
    return bytes.size();
  }
  const size_t before = pending_.size();
  const size_t take = std::min(bytes.size(), kHeadLimit - before);
  pending_.append(bytes.data(), take);
  const size_t end = findHeadEnd(pending_, before);
  if (end != std::string_view::npos) {
    pending_.resize(end);
    acceptHead(pending_, out, result);
    pending_.clear();
    return end - before;
  }
  if (pending_.size() >= kHeadLimit) refuse(RequestFault::kHeadTooLarge);
  return take;
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
  out += " http://";
  appendAuthority(destination_, false, out);
  out += destination_.path;
  out += ' ';
  out.append(head_.version);
  out += "\r\n";
  for (const HeaderField& field : head_.fields) {
    if (isClientProxyHeader(field.name)) continue;
    out.append(field.line);
    out += "\r\n";
  }
  out += authorizationLine_;
  out += kKeepAliveTail;
  report(headStart, out, result);

  if (framing_.upgrade) {
    state_ = State::kPassThrough;
  } else if (framing_.body == RequestFraming::Body::kLength) {
    bodyLeft_ = framing_.length;
    state_ = State::kLengthBody;
  } else if (framing_.body == RequestFraming::Body::kChunked) {
    chunked_ = ChunkedBodyScanner();
    state_ = State::kChunkedBody;
  }
}

}  // namespace quillon
