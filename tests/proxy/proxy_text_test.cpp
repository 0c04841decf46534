// Text helpers and the socket layer's error numbering, checked on both platforms.
#include <gtest/gtest.h>

#include "loopback.h"
#include "proxy/proxy_text.h"
#include "proxy/session_io.h"
#include "proxy/socket_compat.h"

namespace quillon {
namespace {

TEST(Base64, PadsAsRfc4648) {
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"user:p@ss:w", "dXNlcjpwQHNzOnc="},
      {std::string("\xff\xfe\x00", 3), "//4A"},
  };
  for (const auto& [input, expected] : rows) EXPECT_EQ(encodeBase64(input), expected) << input;
}

TEST(LenientInt, ParsesLikeTheStandardConversionWithoutThrowing) {
  const std::pair<std::string, std::optional<int32_t>> rows[] = {
      {"443", 443},
      {"0443", 443},
      {"443x", 443},
      {"-1", -1},
      {"+80", 80},
      {" \t8080", 8080},
      {"70000", 70000},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"port", std::nullopt},
      {"-", std::nullopt},
      {"1]:443", 1},
      {":1]:443", std::nullopt},
  };
  for (const auto& [input, expected] : rows) EXPECT_EQ(parseLenientInt(input), expected) << input;
}

// Error numbers are Winsock numbers on every platform; these come from real socket calls.
TEST(SocketErrors, RealFailuresReportWinsockNumbers) {
  testing::ensureSocketLayer();
  setLastSocketError(wsa::kConnRefused);
  EXPECT_EQ(lastSocketError(), 10061);

  // Connecting to a port nobody listens on is refused.
  const uint16_t closedPort = testing::freeLoopbackPort();
  Socket refused(openTcpSocket());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(closedPort);
  ASSERT_TRUE(setSocketBlocking(refused.get(), false));
  EXPECT_EQ(connectWithin(refused.get(), address, deadlineIn(5000), nullptr), IoResult::kFailed);
  EXPECT_EQ(lastSocketError(), wsa::kConnRefused);

  // Binding a port that is being listened on is refused as in use.
  testing::LoopbackListener busy;
  Socket second(openTcpSocket());
  address.sin_port = htons(busy.port());
  EXPECT_NE(::bind(second.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(lastSocketError(), wsa::kAddrInUse);

  // A non-blocking read with nothing to read would block.
  Socket client = testing::connectLoopback(busy.port());
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(setSocketBlocking(client.get(), false));
  char byte;
  EXPECT_LT(recvSome(client.get(), &byte, 1), 0);
  EXPECT_EQ(lastSocketError(), wsa::kWouldBlock);
}

}  // namespace
}  // namespace quillon
