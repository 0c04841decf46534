#include <windows.h>

#include <ras.h>
#include <raserror.h>
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
  std::wstring connection;
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
    if (list->pszConnection != nullptr) call.connection = list->pszConnection;
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

TEST_F(WinInetRecords, ADialUpConnectionIsNamedInTheList) {
  unsigned long code = 0;
  ASSERT_TRUE(setter->applyToConnection("Office VPN \xE5\x8A\x9E\xE5\x85\xAC",
                                        pacOptions("https://example.test/app/route.pac"), &code));
  ASSERT_EQ(recordedCalls.size(), 1u);
  EXPECT_FALSE(recordedCalls[0].defaultConnection);
  EXPECT_TRUE(recordedCalls[0].connection == L"Office VPN \u529e\u516c");
}

// The phone book as RasEnumEntriesW would hand it out: too small a buffer first, then three
// names, one of them twice (it is in the user's and in all users' phone book).
std::vector<std::wstring> phoneBook;
std::vector<DWORD> sizesSeen;  // dwSize of the first record at each call
unsigned long enumResult = ERROR_SUCCESS;

unsigned long fakeRasEnumEntries(const wchar_t* reserved, const wchar_t* book, void* buffer,
                                 unsigned long* size, unsigned long* count) {
  auto* entries = static_cast<RASENTRYNAMEW*>(buffer);
  sizesSeen.push_back(entries[0].dwSize);
  if (reserved != nullptr || book != nullptr) return ERROR_INVALID_PARAMETER;
  if (enumResult != ERROR_SUCCESS) return enumResult;
  const unsigned long needed = static_cast<unsigned long>(phoneBook.size() * sizeof(RASENTRYNAMEW));
  if (*size < needed) {
    *size = needed;
    return ERROR_BUFFER_TOO_SMALL;
  }
  for (std::size_t i = 0; i < phoneBook.size(); ++i) {
    ZeroMemory(&entries[i], sizeof(entries[i]));
    entries[i].dwSize = sizeof(RASENTRYNAMEW);
    wcsncpy(entries[i].szEntryName, phoneBook[i].c_str(), RAS_MaxEntryName);
  }
  *count = static_cast<unsigned long>(phoneBook.size());
  return ERROR_SUCCESS;
}

TEST(RasEntries, GrowsTheBufferAsAskedAndListsEachNameOnce) {
  phoneBook = {L"Broadband PPPoE", L"Office VPN \u529e\u516c", L"Broadband PPPoE"};
  sizesSeen.clear();
  enumResult = ERROR_SUCCESS;
  auto lister = makeRasEntryLister(&fakeRasEnumEntries);
  std::vector<std::string> names;
  unsigned long code = 0;
  ASSERT_TRUE(lister->listEntries(&names, &code)) << code;
  EXPECT_THAT(names, ElementsAre("Broadband PPPoE", "Office VPN \xE5\x8A\x9E\xE5\x85\xAC"));
  EXPECT_THAT(sizesSeen, ElementsAre(sizeof(RASENTRYNAMEW), sizeof(RASENTRYNAMEW)));

  enumResult = ERROR_CANNOT_OPEN_PHONEBOOK;
  EXPECT_FALSE(lister->listEntries(&names, &code));
  EXPECT_EQ(code, static_cast<unsigned long>(ERROR_CANNOT_OPEN_PHONEBOOK));
}

// InternetQueryOptionW as a system before Windows 7 answers it: the dialog's flags option is
// refused. The list of each call is kept.
struct QueriedList {
  std::wstring connection;  // "<LAN>" for a null name
  DWORD flagsOption = 0;
};
std::vector<QueriedList> queriedLists;

int fakeQueryOption(void*, unsigned long option, void* buffer, unsigned long* length) {
  auto* list = static_cast<INTERNET_PER_CONN_OPTION_LISTW*>(buffer);
  if (option != INTERNET_OPTION_PER_CONNECTION_OPTION || *length != sizeof(*list)) return FALSE;
  queriedLists.push_back({list->pszConnection != nullptr ? list->pszConnection : L"<LAN>",
                          list->pOptions[0].dwOption});
  if (list->pOptions[0].dwOption == INTERNET_PER_CONN_FLAGS_UI) {
    SetLastError(ERROR_INTERNET_INVALID_OPTION);
    return FALSE;
  }
  list->pOptions[0].Value.dwValue = PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_DETECT;
  for (DWORD i = 1; i < list->dwOptionCount; ++i) list->pOptions[i].Value.pszValue = nullptr;
  return TRUE;
}

TEST(WinInetQuery, AsksTheDialogsFlagsFirstAndNamesTheDialUpConnection) {
  queriedLists.clear();
  auto getter = makeWinInetOptionGetter(&fakeQueryOption);
  ProxySettings settings;
  unsigned long code = 0;
  ASSERT_TRUE(queryProxySettings(*getter, "Broadband PPPoE", &settings, &code)) << code;
  EXPECT_EQ(settings, (ProxySettings{PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_DETECT, "", "", ""}));
  ASSERT_EQ(queriedLists.size(), 2u);
  EXPECT_TRUE(queriedLists[0].connection == L"Broadband PPPoE");
  EXPECT_EQ(queriedLists[0].flagsOption, static_cast<DWORD>(INTERNET_PER_CONN_FLAGS_UI));
  EXPECT_EQ(queriedLists[1].flagsOption, static_cast<DWORD>(INTERNET_PER_CONN_FLAGS));
  ASSERT_TRUE(queryProxySettings(*getter, kLanConnection, &settings, &code));
  EXPECT_TRUE(queriedLists.back().connection == L"<LAN>");
}

}  // namespace
}  // namespace quillon
