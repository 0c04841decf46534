// The translation of system error numbers into Winsock numbers on POSIX systems.
#include <gtest/gtest.h>

#include <errno.h>
#include <netdb.h>

#include "proxy/socket_compat.h"

namespace quillon {
namespace {

TEST(SocketErrorTable, MapsErrnoAndResolverResultsToWinsockNumbers) {
  const std::pair<int, int> rows[] = {
      {ECONNREFUSED, 10061},
      {EWOULDBLOCK, 10035},
      {EAGAIN, 10035},
      {ETIMEDOUT, 10060},
      {ENETUNREACH, 10051},
      {EHOSTUNREACH, 10065},
      {EADDRNOTAVAIL, 10049},
      {EADDRINUSE, 10048},
      {ECONNRESET, 10054},
      {ECONNABORTED, 10053},
      {EINPROGRESS, 10036},
      {ENOTCONN, 10057},
      {EPIPE, 10054},
      // No Winsock counterpart: passed through unchanged.
      {ENOENT, ENOENT},
      {0, 0},
  };
  for (const auto& [system, expected] : rows) {
    EXPECT_EQ(translateSystemError(system), expected) << system;
    errno = system;
    EXPECT_EQ(lastSocketError(), expected) << system;
  }
  EXPECT_EQ(resolverErrorCode(EAI_NONAME), 11001);
  EXPECT_EQ(resolverErrorCode(EAI_AGAIN), 11002);
  setLastSocketError(10060);
  EXPECT_EQ(errno, ETIMEDOUT);
}

}  // namespace
}  // namespace quillon
