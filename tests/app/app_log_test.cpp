#include "app/app_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <latch>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "temp_dir.h"

namespace quillon {
namespace {

using testing::LogCapture;
using testing::TempDir;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Restores the console streams after a test that opened a real log file.
class AppLogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    oldOut_ = std::cout.rdbuf();
    oldErr_ = std::cerr.rdbuf();
  }
  void TearDown() override {
    AppLog::openAt(dir_.path() + "/closing.log");  // releases the test's own file
    std::cout.rdbuf(oldOut_);
    std::cerr.rdbuf(oldErr_);
  }
  TempDir dir_;
  std::streambuf* oldOut_ = nullptr;
  std::streambuf* oldErr_ = nullptr;
};

#ifdef _WIN32
const std::string kEol = "\r\n";
#else
const std::string kEol = "\n";
#endif

TEST_F(AppLogFileTest, TwoRunsAppendBannersAndLinesInOrder) {
  const std::string path = dir_.path() + "/quillon_app.log";
  AppLog::openAt(path);
  logError("失败行 ", 42);
  logLine("普通行 ", -7, " ", 20888);
  AppLog::openAt(path);
  logLine("second run");

  const std::string text = readFile(path);
  // Two empty lines, the banner with the ctime date, a line holding only "===".
  const std::string banner = "(" + kEol + "){2}=== Application started at " +
                             "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}" +
                             kEol + "===" + kEol;
  const std::regex expected("^" + banner + "失败行 42" + kEol + "普通行 -7 20888" + kEol +
                            banner + "second run" + kEol + "$");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
  // UTF-8 as given, no byte-order mark.
  EXPECT_NE(text.substr(0, 3), "\xEF\xBB\xBF");
}

TEST_F(AppLogFileTest, EmbeddedLineFeedIsStoredAsPlatformLineEnd) {
  const std::string path = dir_.path() + "/quillon_app.log";
  AppLog::openAt(path);
  logLine("a\nb");
  const std::string text = readFile(path);
  EXPECT_NE(text.find("a" + kEol + "b" + kEol), std::string::npos);
#ifdef _WIN32
  EXPECT_EQ(text.find("\n\n"), std::string::npos) << "bare line feeds on disk";
#endif
}

TEST_F(AppLogFileTest, UnopenableLogKeepsProgramRunningSilently) {
  const std::string path = dir_.path() + "/missing-folder/quillon_app.log";
  AppLog::openAt(path);
  logLine("nothing");
  logError("nothing either");
  EXPECT_TRUE(std::cout.good());
  EXPECT_TRUE(std::cerr.good());
  std::ifstream probe(path);
  EXPECT_FALSE(probe.is_open());
}

TEST(AppLogLines, PiecesAreJoinedWithDefaultFormatting) {
  LogCapture capture;
  const long long big = 5000000000LL;
  logLine("端口 ", static_cast<unsigned short>(443), " 总计:", big, " ", 1.5, " ", std::string("x"));
  EXPECT_EQ(capture.text(), "端口 443 总计:5000000000 1.5 x\n");
}

// Sixteen threads start together and write lines of 20 to 1200 bytes, each flushed, through
// std::cout and std::cerr into the real log file: without the log's own lock they tear each
// other apart in the file's buffer on nearly every run.
TEST_F(AppLogFileTest, ConcurrentWritersProduceOnlyWholeLines) {
  const std::string path = dir_.path() + "/quillon_app.log";
  AppLog::openAt(path);
  constexpr int kThreads = 16;
  constexpr int kLines = 1000;
  const auto payloadLength = [](int line) { return static_cast<size_t>(20 + line * 37 % 1200); };
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &payloadLength, &start] {
      start.arrive_and_wait();
      for (int i = 0; i < kLines; ++i) {
        const std::string payload(payloadLength(i), static_cast<char>('a' + t));
        if (i % 2 == 0) {
          logLine("[线程-", t, "] line ", i, " ", payload);
        } else {
          logError("[线程-", t, "] line ", i, " ", payload);
        }
      }
    });
  }
  for (auto& th : threads) th.join();

  const std::string text = readFile(path);
  const std::string bannerEnd = kEol + "===" + kEol;
  const size_t body = text.find(bannerEnd);
  ASSERT_NE(body, std::string::npos) << "no banner";
  std::set<std::pair<int, int>> seen;
  int lines = 0;
  for (size_t start = body + bannerEnd.size(); start < text.size(); ++lines) {
    size_t end = text.find(kEol, start);
    ASSERT_NE(end, std::string::npos) << "unterminated last line";
    const std::string line = text.substr(start, end - start);
    start = end + kEol.size();
    int t = -1;
    int i = -1;
    int head = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "[线程-%d] line %d %n", &t, &i, &head), 2)
        << "torn line: " << line.substr(0, 80);
    ASSERT_TRUE(t >= 0 && t < kThreads && i >= 0 && i < kLines) << line.substr(0, 80);
    const std::string payload = line.substr(static_cast<size_t>(head));
    ASSERT_TRUE(payload == std::string(payloadLength(i), static_cast<char>('a' + t)))
        << "torn line: " << line.substr(0, 80);
    seen.emplace(t, i);
  }
  EXPECT_EQ(lines, kThreads * kLines);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

TEST(AppLogLines, LocalTimestampHasFixedForm) {
  EXPECT_TRUE(std::regex_match(localTimestamp(),
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
}

}  // namespace
}  // namespace quillon
