// The journal file in a scratch folder: whole replacements, nothing left half-written, set aside
// and removed on request.
#include "system/journal_storage.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "system/network_journal.h"
#include "temp_dir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

TEST(JournalStorage, ReplacesReadsSetsAsideAndRemovesTheOneFile) {
  testing::TempDir dir;
  const fs::path folder = fs::path(dir.path()) / "quillon";
  auto storage = makeJournalStorageIn(folder);
  std::string text;
  unsigned long code = 0;
  EXPECT_EQ(storage->read(&text, &code), JournalReadStatus::kAbsent);
  EXPECT_TRUE(storage->remove(&code));

  ASSERT_TRUE(storage->write("first\n", &code)) << code;  // creates the folder
  ASSERT_TRUE(storage->write("second\n", &code)) << code;
  ASSERT_EQ(storage->read(&text, &code), JournalReadStatus::kRead);
  EXPECT_EQ(text, "second\n");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"network-settings.journal"});

  ASSERT_TRUE(storage->setAside(&code)) << code;
  EXPECT_EQ(storage->read(&text, &code), JournalReadStatus::kAbsent);
  EXPECT_TRUE(fs::exists(folder / "network-settings.journal.rejected"));

  ASSERT_TRUE(storage->write(std::string(kMaxJournalBytes + 1, '#'), &code));
  EXPECT_EQ(storage->read(&text, &code), JournalReadStatus::kTooLarge);
  EXPECT_TRUE(storage->remove(&code));
  EXPECT_EQ(storage->read(&text, &code), JournalReadStatus::kAbsent);
}

}  // namespace
}  // namespace quillon
