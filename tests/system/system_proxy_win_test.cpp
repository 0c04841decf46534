#include <windows.h>
#include <wininet.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "system/system_proxy.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using testing::LogCapture;

// One InternetSetOptionW call as the recorder saw it, with the option list copied out.
struct RecordedCall {
  bool nullHandle = false;
  unsigned long option = 0;
  unsigned long length = 0;
  bool hasBuffer = false;
  DWORD listSize = 0;
  bool defaultConnection = false;
  DWORD optionError = 0;
  std::vector<std::pair<DWORD, std::wstring>> options;  // option, URL or flags in decimal
};

std::vector<RecordedCall> recordedCalls;
int recorderResult = TRUE;

int recordSetOption(void* internet, unsigned long option, void* buffer, unsigned long length) {
  RecordedCall call;
  call.nullHandle = internet == nullptr;
  call.option = option;
  call.length = length;
  call.hasBuffer = buffer != nullptr;
  if (option == INTERNET_OPTION_PER_CONNECTION_OPTION && buffer != nullptr) {
    const auto* list = static_cast<const INTERNET_PER_CONN_OPTION_LISTW*>(buffer);
    call.listSize = list->dwSize;
    call.defaultConnection = list->pszConnection == nullptr;
    call.optionError = list->dwOptionError;
    for (DWORD i = 0; i < list->dwOptionCount; ++i) {
      const INTERNET_PER_CONN_OPTIONW& entry = list->pOptions[i];
      call.options.emplace_back(entry.dwOption, entry.dwOption == INTERNET_PER_CONN_AUTOCONFIG_URL
                                                    ? std::wstring(entry.Value.pszValue)
                                                    : std::to_wstring(entry.Value.dwValue));
    }
  }
  recordedCalls.push_back(call);
  if (!recorderResult) SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
  return recorderResult;
}

class WinInetRecords : public ::testing::Test {
 protected:
  WinInetRecords() {
    recordedCalls.clear();
    recorderResult = TRUE;
  }
  std::unique_ptr<InternetOptionSetter> setter = makeWinInetOptionSetter(&recordSetOption);
  LogCapture log;
};

void expectOptionList(const RecordedCall& call) {
  EXPECT_TRUE(call.nullHandle);
  EXPECT_EQ(call.option, 75u);
  EXPECT_EQ(call.length, 32u);
  EXPECT_EQ(call.listSize, 32u);
  EXPECT_TRUE(call.defaultConnection);
  EXPECT_EQ(call.optionError, 0u);
}

void expectRefresh(const RecordedCall& call) {
  EXPECT_TRUE(call.nullHandle);
  EXPECT_EQ(call.option, 37u);
  EXPECT_FALSE(call.hasBuffer);
  EXPECT_EQ(call.length, 0u);
}

TEST_F(WinInetRecords, SetSendsUrlThenFlagsFourThenRefresh) {
  ASSERT_TRUE(setSystemPac("https://example.test/app/route.pac", *setter));
  ASSERT_TRUE(setSystemPac("https://example.test/app/macos.pac", *setter));
  ASSERT_EQ(recordedCalls.size(), 4u);
  for (int i : {0, 2}) expectOptionList(recordedCalls[i]);
  for (int i : {1, 3}) expectRefresh(recordedCalls[i]);
  using Option = std::pair<DWORD, std::wstring>;
  EXPECT_THAT(recordedCalls[0].options,
              ElementsAre(Option{4, L"https://example.test/app/route.pac"}, Option{1, L"4"}));
  EXPECT_THAT(recordedCalls[2].options,
              ElementsAre(Option{4, L"https://example.test/app/macos.pac"}, Option{1, L"4"}));
}

TEST_F(WinInetRecords, ResetSendsOnlyTheDirectFlagThenRefresh) {
  ASSERT_TRUE(resetSystemPac(*setter));
  ASSERT_EQ(recordedCalls.size(), 2u);
  expectOptionList(recordedCalls[0]);
  EXPECT_THAT(recordedCalls[0].options, ElementsAre(std::pair<DWORD, std::wstring>{1, L"1"}));
  expectRefresh(recordedCalls[1]);
}

TEST_F(WinInetRecords, ARefusedListReportsTheLastErrorAndSkipsTheRefresh) {
  recorderResult = FALSE;
  EXPECT_FALSE(setSystemPac("https://example.test/app/route.pac", *setter));
  EXPECT_FALSE(resetSystemPac(*setter));
  EXPECT_EQ(recordedCalls.size(), 2u);
  EXPECT_THAT(log.lines(), ElementsAre("设置PAC URL失败: 12004", "重置代理设置失败: 12004"));
}

}  // namespace
}  // namespace quillon
