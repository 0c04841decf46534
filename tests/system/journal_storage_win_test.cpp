// The Windows journal when another program holds the file for a moment: the renames and the
// delete are tried again with a bounded back-off, and a journal that cannot be deleted is
// emptied where it is. The file calls fail through a seam as an antivirus scanner or the
// search indexer makes them fail on Windows (Wine has neither).
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "log_capture.h"
#include "system/journal_storage.h"
#include "system/network_journal.h"
#include "system/network_record.h"
#include "temp_dir.h"

namespace quillon {
namespace {

// How many more times each call fails, and with which code; then the real call runs.
int moveFailures = 0;
int deleteFailures = 0;
DWORD failureCode = ERROR_SHARING_VIOLATION;
unsigned long waitedMs = 0;

int flakyMove(const wchar_t* from, const wchar_t* to, unsigned long flags) {
  if (moveFailures > 0) {
    --moveFailures;
    SetLastError(failureCode);
    return FALSE;
  }
  return MoveFileExW(from, to, flags);
}
int flakyDelete(const wchar_t* path) {
  if (deleteFailures > 0) {
    --deleteFailures;
    SetLastError(failureCode);
    return FALSE;
  }
  return DeleteFileW(path);
}
void countWait(unsigned long milliseconds) { waitedMs += milliseconds; }

class HeldJournal : public ::testing::Test {
 protected:
  std::unique_ptr<JournalStorage> storage() {
    waitedMs = 0;
    return makeJournalStorageIn(std::filesystem::path(dir.path()) / "Quillon",
                                JournalFileCalls{&flakyMove, &flakyDelete, &countWait});
  }
  testing::TempDir dir;
};

TEST_F(HeldJournal, RenamesAndDeletesAreTriedAgainForAboutTwoSeconds) {
  struct Row {
    DWORD code;
    int failures;
    bool succeeds;
  };
  const Row rows[] = {{ERROR_SHARING_VIOLATION, 3, true},
                      {ERROR_ACCESS_DENIED, 9, true},
                      {ERROR_SHARING_VIOLATION, 10, false},
                      {ERROR_WRITE_PROTECT, 1, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.code << " x" << row.failures);
    auto journal = storage();
    unsigned long code = 0;
    failureCode = row.code;
    moveFailures = row.failures;
    EXPECT_EQ(journal->write("quillon network journal 2\n", &code), row.succeeds);
    if (!row.succeeds) {
      EXPECT_EQ(code, row.code);
    }
    EXPECT_LE(waitedMs, 2200u);
    moveFailures = 0;
    ASSERT_TRUE(journal->write("quillon network journal 2\n", &code));

    waitedMs = 0;
    deleteFailures = row.failures;
    EXPECT_EQ(journal->remove(&code), row.succeeds);
    EXPECT_LE(waitedMs, 2200u);
    deleteFailures = 0;
    ASSERT_TRUE(journal->remove(&code));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(dir.path()) / "Quillon" /
                                         "network-settings.journal"));
  }
}

TEST_F(HeldJournal, AJournalThatStaysHeldIsEmptiedAndNotPutBackAtTheNextStart) {
  testing::LogCapture log;
  auto journal = storage();
  NetworkRecord record(journal.get());
  record.recordProxy(kLanConnection, {kProxyTypeDirect | kProxyTypeAutoDetect, "", "", ""});
  failureCode = ERROR_SHARING_VIOLATION;
  deleteFailures = 1000;
  record.proxyRestored(kLanConnection);
  deleteFailures = 0;
  EXPECT_TRUE(log.contains("系统网络设置恢复记录已清空，不会再被执行")) << log.text();

  NetworkRecord nextStart(journal.get());
  EXPECT_EQ(nextStart.loadJournal(), NetworkRecord::Load::kAbsent);
  EXPECT_TRUE(nextStart.outstanding().empty());
  std::string text;
  unsigned long code = 0;
  EXPECT_EQ(journal->read(&text, &code), JournalReadStatus::kAbsent);  // deleted this time
}

}  // namespace
}  // namespace quillon
