// The answer follower over whole upstream streams, in every split: which request each answer
// ends, the decision on a request that asked for an upgrade, and where it gives up.
#include "proxy/response_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

using Upgrade = ResponseStreamFollower::Upgrade;

struct Request {
  bool head;
  bool upgrade;
};

struct Row {
  std::string name;
  std::vector<Request> requests;
  std::string answers;
  uint64_t answered;  // requests answered completely at the end
  bool between;       // no answer under way at the end
  Upgrade decision;   // the decision seen while following
  bool lost;
};

constexpr Request kGet{false, false};
constexpr Request kHead{true, false};
constexpr Request kUpgrade{false, true};

const std::string k200 = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
const std::string kChunked =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
    "5;x=\"y z\"\r\nHTTP/\r\n0\r\nTrailer: t\r\n\r\n";

TEST(ResponseStream, EachAnswerEndsItsRequestInOrder) {
  const Row rows[] = {
      {"length, chunked, no body to HEAD and 204/304",
       {kGet, kGet, kHead, kGet, kGet},
       k200 + kChunked + "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n" +
           "HTTP/1.1 204 No Content\r\n\r\n" + "HTTP/1.1 304 Not Modified\nContent-Length: 9\n\n",
       5,
       true,
       Upgrade::kNone,
       false},
      {"interim answers and an empty line between answers",
       {kGet, kGet},
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n" + k200 + "\r\n" + k200,
       2,
       true,
       Upgrade::kNone,
       false},
      {"the middle of a body",
       {kGet, kGet},
       k200 + k200.substr(0, 40),
       1,
       false,
       Upgrade::kNone,
       false},
      {"a body up to the end of the stream",
       {kGet, kGet},
       "HTTP/1.0 200 OK\r\n\r\n" + k200,
       0,
       false,
       Upgrade::kNone,
       false},
      {"101 to the upgrade: the rest is other bytes",
       {kGet, kUpgrade},
       k200 + "HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\nPRI * HTTP/2.0\r\n\r\n" +
           k200,
       2,
       false,
       Upgrade::kSwitched,
       false},
      {"200 to the upgrade: it goes on",
       {kUpgrade, kGet},
       k200 + k200,
       2,
       true,
       Upgrade::kDeclined,
       false},
      {"100 then 407 to the upgrade",
       {kUpgrade},
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 407 Denied\r\nContent-Length: 0\r\n\r\n",
       1,
       true,
       Upgrade::kDeclined,
       false},
      {"101 to a request that did not ask",
       {kGet},
       "HTTP/1.1 101 Switching\r\n\r\n",
       0,
       true,
       Upgrade::kNone,
       true},
      {"an answer nobody asked for", {kGet}, k200 + k200, 1, true, Upgrade::kNone, true},
      {"a malformed status line", {kGet}, "HTTP/1.1 2OO OK\r\n\r\n", 0, true, Upgrade::kNone, true},
      {"a conflicting length",
       {kGet},
       "HTTP/1.1 200 OK\r\nContent-Length: 1, 2\r\n\r\nx",
       0,
       true,
       Upgrade::kNone,
       true},
      {"a malformed chunk",
       {kGet},
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
       0,
       false,
       Upgrade::kNone,
       true},
      {"a head past the limit",
       {kGet},
       "HTTP/1.1 200 OK\r\nX: " + std::string(kAnswerHeadLimit, 'x') + "\r\n\r\n",
       0,
       false,
       Upgrade::kNone,
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (size_t slice : {size_t{1}, size_t{3}, size_t{64}, std::string::npos}) {
      SCOPED_TRACE(slice);
      ResponseStreamFollower follower;
      for (const Request& request : row.requests) follower.expect(request.head, request.upgrade);
      Upgrade decision = Upgrade::kNone;
      for (size_t pos = 0; pos < row.answers.size(); pos += slice) {
        const Upgrade seen = follower.follow(std::string_view(row.answers).substr(pos, slice));
        if (seen != Upgrade::kNone) {
          EXPECT_EQ(decision, Upgrade::kNone) << "decided twice";
          decision = seen;
        }
      }
      EXPECT_EQ(follower.answered(), row.answered);
      EXPECT_EQ(follower.lost(), row.lost);
      EXPECT_EQ(decision, row.decision);
      if (!row.lost) {
        EXPECT_EQ(follower.betweenAnswers(), row.between);
      }
    }
  }
}

}  // namespace
}  // namespace quillon
