// The system settings through the real Windows calls. Under Wine these touch only the
// throw-away prefix's registry and Wine's own netsh.
#include <windows.h>
#include <wininet.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include <chrono>
#include <fstream>
#include <string>

#include "log_capture.h"
#include "system/desktop_account.h"
#include "system/network_settings.h"
#include "system/system_backends.h"
#include "system/system_dns.h"
#include "system/system_proxy.h"
#include "temp_dir.h"

namespace quillon {
namespace {

using testing::LogCapture;

TEST(RealCommandRunner, SuccessIsExitCodeZeroOnly) {
  auto runner = makeSystemCommandRunner();
  EXPECT_TRUE(runner->runCommand("exit 0"));
  EXPECT_FALSE(runner->runCommand("exit 3"));
}

TEST(RealCommandRunner, RefusesACommandLineThatDoesNotFitItsBuffer) {
  LogCapture log;
  auto runner = makeSystemCommandRunner();
  // "cmd.exe /c " (11 bytes) + "rem " (4) + text: 1023 bytes fit with the terminator.
  EXPECT_TRUE(runner->runCommand("rem " + std::string(1008, 'x')));
  EXPECT_FALSE(runner->runCommand("rem " + std::string(1009, 'x')));
  EXPECT_TRUE(log.containsPrefix("命令行过长，未执行: 1024")) << log.text();
}

// Started by the next test through cmd.exe, as netsh is: writes its process id where the
// environment says and sleeps far past the runner's limit.
TEST(Sleeper, DISABLED_WritesItsIdAndSleeps) {
  wchar_t path[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"QUILLON_SLEEPER_ID_FILE", path, MAX_PATH) == 0) return;
  std::ofstream(std::filesystem::path(path)) << GetCurrentProcessId() << "\n";
  Sleep(60000);
}

// What Wine cannot show: nothing. Job objects end cmd.exe's children under Wine as on Windows.
TEST(RealCommandRunner, AHungCommandIsEndedWithWhatItStartedAndFailsWithALine) {
  LogCapture log;
  testing::TempDir dir;
  const std::filesystem::path idFile = std::filesystem::path(dir.path()) / "sleeper.id";
  ASSERT_TRUE(SetEnvironmentVariableW(L"QUILLON_SLEEPER_ID_FILE", idFile.wstring().c_str()));
  wchar_t self[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  std::string selfPath;
  for (const wchar_t* c = self; *c != L'\0'; ++c) selfPath += static_cast<char>(*c);
  // A test binary starts slowly under Wine: the limit leaves it time to write its id.
  auto runner = makeSystemCommandRunner(std::chrono::milliseconds(4000));
  const std::string command = "\"" + selfPath +
                              "\" --gtest_also_run_disabled_tests "
                              "--gtest_filter=Sleeper.DISABLED_WritesItsIdAndSleeps";
  EXPECT_FALSE(runner->runCommand(command));
  SetEnvironmentVariableW(L"QUILLON_SLEEPER_ID_FILE", nullptr);
  EXPECT_TRUE(log.contains("命令在 4000 毫秒内未结束，已终止: " + command)) << log.text();

  DWORD id = 0;
  ASSERT_TRUE(std::ifstream(idFile) >> id) << "the sleeper never ran";
  HANDLE sleeper = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (sleeper != nullptr) {  // still known: it must end at once
    EXPECT_EQ(WaitForSingleObject(sleeper, 3000), WAIT_OBJECT_0);
    CloseHandle(sleeper);
  }
}

TEST(RealAccounts, TheProcessAndTheDesktopAreTheSameUserHere) {
  LogCapture log;
  auto accounts = makeSystemAccountSource();
  Account process;
  ASSERT_TRUE(accounts->processAccount(&process));
  EXPECT_EQ(process.id.rfind("S-1-5-", 0), 0u) << process.id;
  Account desktop;
  if (accounts->desktopAccount(&desktop)) {
    EXPECT_EQ(desktop.id, process.id) << desktop.name;
  }
  RecordProperty("desktop", desktop.id.empty() ? "unknown" : desktop.name);
  EXPECT_FALSE(warnIfDesktopBelongsToAnotherAccount(*accounts));
  EXPECT_TRUE(log.lines().empty()) << log.text();
}

TEST(RealRasEntries, ThePhoneBookCanBeListed) {
  std::vector<std::string> names = {"stale"};
  unsigned long code = 0;
  ASSERT_TRUE(makeSystemConnectionEntryLister()->listEntries(&names, &code)) << code;
  // Wine has no dial-up connections; a Windows machine lists its own.
  for (const std::string& name : names) EXPECT_FALSE(name.empty());
}

struct StoredPac {
  DWORD flags = 0;
  std::wstring url;
};

StoredPac readDefaultConnection() {
  INTERNET_PER_CONN_OPTIONW options[2] = {};
  options[0].dwOption = INTERNET_PER_CONN_FLAGS;
  options[1].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
  INTERNET_PER_CONN_OPTION_LISTW list{};
  list.dwSize = sizeof(list);
  list.dwOptionCount = 2;
  list.pOptions = options;
  DWORD size = sizeof(list);
  StoredPac stored;
  EXPECT_TRUE(InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size))
      << GetLastError();
  stored.flags = options[0].Value.dwValue;
  if (options[1].Value.pszValue != nullptr) {
    stored.url = options[1].Value.pszValue;
    GlobalFree(options[1].Value.pszValue);
  }
  return stored;
}

bool runningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// The manual proxy switch WinINet keeps beside the per-connection settings.
const wchar_t kInternetSettings[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

void turnManualProxyOn() {
  const DWORD on = 1;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kInternetSettings, L"ProxyEnable", REG_DWORD, &on,
                            sizeof(on)),
            ERROR_SUCCESS);
  ASSERT_EQ(readDefaultConnection().flags, static_cast<DWORD>(PROXY_TYPE_PROXY));
}

DWORD manualProxySwitch() {
  DWORD value = 0;
  DWORD size = sizeof(value);
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kInternetSettings, L"ProxyEnable", RRF_RT_REG_DWORD,
                         nullptr, &value, &size),
            ERROR_SUCCESS);
  return value;
}

// On Windows the options are read back as stored. Wine 8's WinINet stores neither the PAC URL
// nor the auto-proxy flag: it keeps only whether a manual proxy is on ("ProxyEnable" in the
// user's Internet Settings) and answers queries from that alone. So under Wine this proves
// only that each call reached WinINet's per-connection setter with flags that turn the manual
// proxy off: a manual proxy is turned on in the prefix's registry before each call, and a
// setter that was never called leaves it on. A wrong URL or a wrong non-proxy flag passes
// there; only a run on Windows catches those.
TEST(RealWinInet, SetThenResetThroughTheDefaultConnection) {
  LogCapture log;
  InternetOptionSetter& setter = *systemBackends().internetOptions;
  const bool underWine = runningUnderWine();
  ASSERT_TRUE(setSystemPac("https://example.test/app/route.pac", setter)) << log.text();
  if (underWine) turnManualProxyOn();
  ASSERT_TRUE(setSystemPac("https://example.test/app/macos.pac", setter));
  StoredPac stored = readDefaultConnection();
  if (underWine) {
    EXPECT_EQ(manualProxySwitch(), 0u);
    EXPECT_EQ(stored.flags, static_cast<DWORD>(PROXY_TYPE_DIRECT));
  } else {
    EXPECT_EQ(stored.flags, static_cast<DWORD>(PROXY_TYPE_AUTO_PROXY_URL));
    EXPECT_TRUE(stored.url == L"https://example.test/app/macos.pac");
  }

  if (underWine) turnManualProxyOn();
  ASSERT_TRUE(resetSystemPac(setter));
  stored = readDefaultConnection();
  EXPECT_EQ(stored.flags, static_cast<DWORD>(PROXY_TYPE_DIRECT));
  if (underWine) {
    EXPECT_EQ(manualProxySwitch(), 0u);
  } else {
    EXPECT_TRUE(stored.url == L"https://example.test/app/macos.pac");  // kept, not in effect
  }
  EXPECT_TRUE(log.contains("成功设置系统PAC为: https://example.test/app/macos.pac"));
  EXPECT_TRUE(log.contains("成功重置系统PAC设置"));
}

TEST(RealAdapters, WalkTheListThroughNetshAndBack) {
  LogCapture log;
  SystemBackends backends = systemBackends();
  const AdapterList list = backends.adapters->listAdapters();
  ASSERT_EQ(list.status, AdapterListStatus::kOk) << list.errorCode;

  // The record stays in memory: the real journal is the program's, not this test's.
  backends.journal = nullptr;
  NetworkSettings network(backends);
  const bool setResult = network.applyDns("192.0.2.53");
  EXPECT_TRUE(network.dnsChanged());
  EXPECT_EQ(setResult, log.containsPrefix("成功为"));
  EXPECT_FALSE(log.containsPrefix("CreateProcess failed: ")) << log.text();

  const bool resetResult = network.resetDns();
  EXPECT_FALSE(network.dnsChanged());
  EXPECT_TRUE(resetResult);
  EXPECT_EQ(setResult, log.containsPrefix("成功重置适配器 "));
}

}  // namespace
}  // namespace quillon
