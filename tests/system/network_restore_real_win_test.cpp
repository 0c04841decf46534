// Recording and putting back through the real Windows calls. Under Wine these touch only the
// throw-away prefix's registry and its files. What Wine can show: InternetQueryOptionW answers
// the per-connection query (flags, proxy server; it neither stores nor reports a PAC URL or a
// bypass list, and reports a manual proxy as 2 without the direct bit), the registry holds a
// NameServer value where it is written (Wine's own adapters have none, so they read as DHCP),
// and files and folders take the access list they are created with. What it cannot: its netsh
// is a stub that changes nothing and exits 0, so the DNS commands are only seen to run.
#include <windows.h>

#include <aclapi.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "log_capture.h"
#include "system/adapter_dns.h"
#include "system/journal_storage.h"
#include "system/network_journal.h"
#include "system/network_settings.h"
#include "system/system_backends.h"
#include "system/system_proxy.h"
#include "temp_dir.h"

namespace quillon {
namespace {

using testing::LogCapture;
using testing::TempDir;

ProxySettings queryNow() {
  ProxySettings settings;
  unsigned long code = 0;
  EXPECT_TRUE(
      queryProxySettings(*makeSystemInternetOptionGetter(), kLanConnection, &settings, &code))
      << code;
  return settings;
}

TEST(RealRecord, AManualProxyComesBackAfterThePacThroughWinInet) {
  LogCapture log;
  TempDir dir;
  const auto journal = makeJournalStorageIn(std::filesystem::path(dir.path()) / "Quillon");
  SystemBackends system = systemBackends();
  system.journal = journal.get();
  const ProxySettings original = queryNow();
  // Wine answers the dialog's flags option or refuses it; queryNow() reads either way.
  ProxySettings viaDialog;
  unsigned long dialogCode = 0;
  RecordProperty("flagsUi", makeSystemInternetOptionGetter()->queryConnection(
                                kLanConnection, kOptionFlagsUi, &viaDialog, &dialogCode)
                                ? "answered"
                                : "refused " + std::to_string(dialogCode));

  ASSERT_TRUE(
      restoreSystemPac({kProxyTypeDirect | kProxyTypeProxy, "", "192.0.2.10:3128", "<local>"},
                       *system.internetOptions));
  const ProxySettings users = queryNow();
  ASSERT_EQ(users.proxyServer, "192.0.2.10:3128");
  ASSERT_NE(users.flags & kProxyTypeProxy, 0u);

  NetworkSettings network(system);
  ASSERT_TRUE(network.applyPac("https://example.test/app/route.pac"));
  EXPECT_EQ(queryNow().flags & kProxyTypeProxy, 0u);
  std::string text;
  unsigned long code = 0;
  ASSERT_EQ(journal->read(&text, &code), JournalReadStatus::kRead);
  EXPECT_NE(text.find("proxy-server 192.0.2.10:3128\n"), std::string::npos) << text;

  ASSERT_TRUE(network.resetPac()) << log.text();
  EXPECT_EQ(queryNow(), users);
  EXPECT_EQ(journal->read(&text, &code), JournalReadStatus::kAbsent);

  restoreSystemPac(original, *system.internetOptions);
}

// A made-up adapter's TCP/IP parameters, removed again at the end.
class InterfaceKey {
 public:
  static constexpr wchar_t kPath[] =
      L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\"
      L"{0D1E2F30-0000-4000-8000-00000000C0DE}";
  InterfaceKey() {
    created_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                               &key_, nullptr) == ERROR_SUCCESS;
  }
  ~InterfaceKey() {
    if (!created_) return;
    RegCloseKey(key_);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPath);
  }
  bool created() const { return created_; }
  void setNameServer(const std::wstring& value) {
    RegSetValueExW(key_, L"NameServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }

 private:
  HKEY key_ = nullptr;
  bool created_ = false;
};

TEST(RealAdapterDns, TheNameServerValueTellsFixedServersFromDhcp) {
  NetworkAdapter adapter;
  adapter.friendlyName = "Ethernet";
  adapter.adapterId = "{0D1E2F30-0000-4000-8000-00000000C0DE}";
  auto reader = makeSystemAdapterDnsReader();
  std::vector<std::string> servers = {"stale"};
  unsigned long code = 0;
  EXPECT_TRUE(reader->readDnsServers(adapter, &servers, &code)) << code;  // no key at all
  EXPECT_TRUE(servers.empty());

  InterfaceKey key;
  if (!key.created()) GTEST_SKIP() << "HKLM is not writable here";
  struct Row {
    const wchar_t* value;
    bool read;
    std::vector<std::string> servers;
  };
  const Row rows[] = {
      {L"", true, {}},
      {L"10.0.0.53", true, {"10.0.0.53"}},
      {L"10.0.0.53,8.8.4.4", true, {"10.0.0.53", "8.8.4.4"}},
      {L"10.0.0.53 8.8.4.4", true, {"10.0.0.53", "8.8.4.4"}},
      {L"10.0.0.53,\x0661.1.1.1", false, {}},
      {L"dns.example", false, {}},
  };
  for (const Row& row : rows) {
    key.setNameServer(row.value);
    EXPECT_EQ(reader->readDnsServers(adapter, &servers, &code), row.read);
    EXPECT_EQ(servers, row.servers);
  }
  adapter.adapterId = "..\\..\\Tcpip";
  EXPECT_FALSE(reader->readDnsServers(adapter, &servers, &code));
}

TEST(RealAdapterDns, WinesOwnAdaptersReadAsDhcp) {
  const AdapterList list = makeSystemAdapterListSource()->listAdapters();
  ASSERT_EQ(list.status, AdapterListStatus::kOk);
  auto reader = makeSystemAdapterDnsReader();
  for (const NetworkAdapter& adapter : list.adapters) {
    std::vector<std::string> servers;
    unsigned long code = 0;
    EXPECT_TRUE(reader->readDnsServers(adapter, &servers, &code)) << adapter.adapterId << code;
  }
}

// Wine keeps the sharing rules of open files: a journal held open without delete sharing
// cannot be deleted until it is closed, as with an antivirus scanner on Windows.
int heldDeletes = 0;
int countingDelete(const wchar_t* path) {
  if (DeleteFileW(path)) return TRUE;
  if (GetLastError() == ERROR_SHARING_VIOLATION) ++heldDeletes;
  return FALSE;
}
int realMove(const wchar_t* from, const wchar_t* to, unsigned long flags) {
  return MoveFileExW(from, to, flags);
}
void realWait(unsigned long milliseconds) { Sleep(milliseconds); }

TEST(RealJournalStorage, AJournalHeldOpenForAMomentIsStillDeleted) {
  TempDir dir;
  const std::filesystem::path folder = std::filesystem::path(dir.path()) / "Quillon";
  const auto journal =
      makeJournalStorageIn(folder, JournalFileCalls{&realMove, &countingDelete, &realWait});
  unsigned long code = 0;
  ASSERT_TRUE(journal->write("quillon network journal 2\n", &code)) << code;
  HANDLE holder = CreateFileW((folder / "network-settings.journal").wstring().c_str(), GENERIC_READ,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  std::thread release([holder] {
    Sleep(300);
    CloseHandle(holder);
  });
  heldDeletes = 0;
  EXPECT_TRUE(journal->remove(&code)) << code;
  release.join();
  EXPECT_GT(heldDeletes, 0);
  std::string text;
  EXPECT_EQ(journal->read(&text, &code), JournalReadStatus::kAbsent);
}

TEST(RealJournalStorage, TheFolderGrantsNoOneButItsOwnerAdministratorsAndSystem) {
  TempDir dir;
  const std::filesystem::path folder = std::filesystem::path(dir.path()) / "Quillon";
  unsigned long code = 0;
  ASSERT_TRUE(makeJournalStorageIn(folder)->write("x\n", &code)) << code;

  // Wine keeps no protection flag and reports the entries it could map onto the folder's Unix
  // mode; on either system no entry may name anyone but these three.
  PSID owner = nullptr;
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(folder.wstring().c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                  nullptr, &acl, nullptr, &descriptor),
            ERROR_SUCCESS);
  ASSERT_NE(acl, nullptr);
  EXPECT_GT(acl->AceCount, 0);
  BYTE admins[SECURITY_MAX_SID_SIZE];
  BYTE system[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(admins);
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
  size = sizeof(system);
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    PSID sid = &ace->SidStart;
    EXPECT_TRUE(EqualSid(sid, owner) || EqualSid(sid, admins) || EqualSid(sid, system)) << i;
  }
  LocalFree(descriptor);
}

}  // namespace
}  // namespace quillon
