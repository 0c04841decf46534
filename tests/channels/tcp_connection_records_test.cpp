#include "channels/tcp_connection_records.h"

#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"

namespace quillon {
namespace {

TEST(TcpConnectionRecords, RecordsFieldsWithLocalTimestampAndLogsLine) {
  testing::LogCapture log;
  TcpConnectionRecords records;
  records.recordTcpConnection("10.0.0.2", 51000, "93.184.216.34", 443, false);
  records.recordTcpConnection("127.0.0.1", 0, "example.org", 80, true);

  EXPECT_TRUE(log.contains("记录TCP连接: 10.0.0.2:51000 -> 93.184.216.34:443 (路由: 否)"));
  EXPECT_TRUE(log.contains("记录TCP连接: 127.0.0.1:0 -> example.org:80 (路由: 是)"));

  const auto list = records.snapshot();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].sourceIp, "10.0.0.2");
  EXPECT_EQ(list[0].sourcePort, 51000);
  EXPECT_EQ(list[0].destIp, "93.184.216.34");
  EXPECT_EQ(list[0].destPort, 443);
  EXPECT_FALSE(list[0].isRouted);
  EXPECT_TRUE(list[1].isRouted);
  // "YYYY-MM-DD HH:MM:SS"
  ASSERT_EQ(list[0].timestamp.size(), 19u);
  EXPECT_EQ(list[0].timestamp[4], '-');
  EXPECT_EQ(list[0].timestamp[10], ' ');
  EXPECT_EQ(list[0].timestamp[16], ':');
}

TEST(TcpConnectionRecords, KeepsAtMostTheNewestThousandInOrder) {
  TcpConnectionRecords records;
  {
    testing::LogCapture quiet;
    for (int i = 1; i <= 1001; ++i) {
      records.recordTcpConnection("127.0.0.1", i, "10.0.0.1", 80, false);
    }
  }
  const auto list = records.snapshot();
  ASSERT_EQ(list.size(), kMaxTcpConnectionRecords);
  EXPECT_EQ(list.front().sourcePort, 2);  // the first record ever made is gone
  EXPECT_EQ(list.back().sourcePort, 1001);
  for (std::size_t i = 1; i < list.size(); ++i) {
    ASSERT_EQ(list[i].sourcePort, list[i - 1].sourcePort + 1) << "at " << i;
  }
}

TEST(TcpConnectionRecords, SameSecondRecordsShareTimestampAndKeepOrder) {
  testing::LogCapture quiet;
  // Two records made back to back normally fall into one second; retry the rare pair that
  // straddles a second boundary.
  for (int attempt = 0; attempt < 5; ++attempt) {
    TcpConnectionRecords records;
    records.recordTcpConnection("127.0.0.1", 1, "a", 1, false);
    records.recordTcpConnection("127.0.0.1", 2, "b", 2, false);
    const auto list = records.snapshot();
    ASSERT_EQ(list.size(), 2u);
    if (list[0].timestamp != list[1].timestamp) continue;
    EXPECT_EQ(list[0].destIp, "a");
    EXPECT_EQ(list[1].destIp, "b");
    return;
  }
  FAIL() << "no two records fell into the same second";
}

TEST(TcpConnectionRecords, ClearEmptiesAndRecordingGoesOn) {
  testing::LogCapture quiet;
  TcpConnectionRecords records;
  EXPECT_TRUE(records.snapshot().empty());
  records.recordTcpConnection("127.0.0.1", 0, "x", 1, false);
  records.clear();
  EXPECT_TRUE(records.snapshot().empty());
  records.recordTcpConnection("127.0.0.1", 0, "y", 2, false);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records.snapshot()[0].destIp, "y");
}

}  // namespace
}  // namespace quillon
