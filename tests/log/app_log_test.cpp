#include "log/app_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <latch>
#include <regex>
#include <set>
#include <sstream>
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
  const std::regex expected("^" + banner + "失败行 42" + kEol + "普通行 -7 20888" + kEol + banner +
                            "second run" + kEol + "$");
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

// The banner as it stands at the start of a file, as a regular expression.
const std::string kBannerPattern = "(" + kEol + "){2}=== Application started at " +
                                   "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d " +
                                   "\\d{4}" + kEol + "===" + kEol;

// The line that begins a file the log moved on to while running, as a regular expression.
const std::string kContinuedPattern =
    "=== Log continued at [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}, "
    "earlier lines in quillon_app\\.log\\.1 ===" +
    kEol;

// The numbered lines "<tag> <n> ..." of a log text, in file order, banners left out.
std::vector<std::string> numberedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.rfind("===", 0) == 0) continue;  // banners and continued lines
    lines.push_back(line);
  }
  return lines;
}

TEST_F(AppLogFileTest, GrowingPastTheLimitMovesTheFileAsideWithoutLosingALine) {
  const std::string path = dir_.path() + "/quillon_app.log";
  const std::string previous = path + ".1";
  std::ofstream(previous) << "a file moved aside by an earlier run\n";
  LogRotationLimits limits;
  limits.whileRunningBytes = 40000;
  AppLog::openAt(path, limits);

  // About 60 KB from four threads: one move, in the middle of their writing.
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) logLine(t, " ", i, " ", std::string(40, 'a' + t));
    });
  }
  for (auto& th : threads) th.join();

  // The file moved aside once, right after the line that took it past the limit (the other
  // writers may each have added one more meanwhile); the new file says it continues the log.
  const std::string moved = readFile(previous);
  const std::string current = readFile(path);
  EXPECT_TRUE(std::regex_search(moved, std::regex("^" + kBannerPattern))) << "older file kept";
  EXPECT_TRUE(std::regex_search(current, std::regex("^" + kContinuedPattern + "\\d ")));
  const size_t longestLine = 64;
  EXPECT_GT(moved.size(), limits.whileRunningBytes);
  EXPECT_LE(moved.size(), limits.whileRunningBytes + kThreads * longestLine);
  EXPECT_LT(current.size(), limits.whileRunningBytes);

  // Every line whole, once, and each thread's lines in the order written.
  std::vector<std::string> lines = numberedLines(moved);
  const std::vector<std::string> later = numberedLines(current);
  ASSERT_FALSE(later.empty());
  lines.insert(lines.end(), later.begin(), later.end());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  int next[kThreads] = {};
  const std::regex whole(R"(^(\d) (\d+) ([a-d])\3{39}$)");
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, whole)) << "torn line: " << line;
    const int t = std::stoi(m[1].str());
    EXPECT_EQ(std::stoi(m[2].str()), next[t]++) << line;
  }
}

TEST_F(AppLogFileTest, AFileLargerThanTheStartLimitIsMovedAsideBeforeTheBanner) {
  LogRotationLimits limits;
  limits.atOpenBytes = 1000;
  const std::string path = dir_.path() + "/quillon_app.log";
  const std::string previous = path + ".1";
  // At the limit the file is kept; one byte more and it is moved aside whole.
  const std::string atLimit(1000, 'k');
  std::ofstream(path, std::ios::binary) << atLimit;
  AppLog::openAt(path, limits);
  logLine("kept");
  EXPECT_TRUE(
      std::regex_match(readFile(path), std::regex(atLimit + kBannerPattern + "kept" + kEol)));
  EXPECT_FALSE(std::filesystem::exists(previous));

  const std::string overLimit(1001, 'm');
  std::ofstream(path, std::ios::binary | std::ios::trunc) << overLimit;
  AppLog::openAt(path, limits);
  logLine("begun again");
  EXPECT_EQ(readFile(previous), overLimit);
  EXPECT_TRUE(std::regex_match(readFile(path), std::regex(kBannerPattern + "begun again" + kEol)));
}

TEST_F(AppLogFileTest, ARefusedMoveKeepsWritingThereAndIsTriedAgainLater) {
  LogRotationLimits limits;
  limits.whileRunningBytes = 2000;
  limits.retryAfterBytes = 1000;
  const std::string path = dir_.path() + "/quillon_app.log";
  const std::string previous = path + ".1";
  // A folder that holds a file cannot be replaced by a rename, on either system.
  std::filesystem::create_directory(previous);
  std::ofstream(previous + "/blocker") << "x";
  AppLog::openAt(path, limits);

  // Another program reads the file while it is written.
  std::ifstream reader(path, std::ios::binary);
  ASSERT_TRUE(reader.is_open());
  const std::string filler(40, 'f');
  for (int i = 0; i < 100; ++i) logLine("early ", i, " ", filler);
  const std::string seen((std::istreambuf_iterator<char>(reader)),
                         std::istreambuf_iterator<char>());
  EXPECT_EQ(numberedLines(seen).size(), 100u) << "every line readable, nothing moved";
  reader.close();

  std::filesystem::remove_all(previous);
  for (int i = 0; i < 30; ++i) logLine("late ", i, " ", filler);

  std::vector<std::string> lines = numberedLines(readFile(previous));
  const std::string current = readFile(path);
  EXPECT_TRUE(std::regex_search(current, std::regex("^" + kContinuedPattern + "late ")));
  const std::vector<std::string> later = numberedLines(current);
  EXPECT_LT(later.size(), 30u) << "moved within the retry distance";
  lines.insert(lines.end(), later.begin(), later.end());
  ASSERT_EQ(lines.size(), 130u);
  for (int i = 0; i < 130; ++i) {
    const std::string expected =
        (i < 100 ? "early " + std::to_string(i) : "late " + std::to_string(i - 100)) + " " + filler;
    EXPECT_EQ(lines[i], expected);
  }
}

TEST(AppLogLines, PiecesAreJoinedWithDefaultFormatting) {
  LogCapture capture;
  const long long big = 5000000000LL;
  logLine("端口 ", static_cast<unsigned short>(443), " 总计:", big, " ", 1.5, " ",
          std::string("x"));
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
  EXPECT_TRUE(std::regex_match(localTimestamp(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
}

}  // namespace
}  // namespace quillon
