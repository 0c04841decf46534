#include "system/desktop_account.h"

#include <windows.h>

#include <sddl.h>
#include <wtsapi32.h>

#include <vector>

#include "log/wide_text.h"

namespace quillon {
namespace {

// Owns one kernel handle.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~OwnedHandle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* receive() { return &handle_; }

 private:
  HANDLE handle_;
};

// "DOMAIN\user" of `sid`, or "" when it has no name.
std::string accountName(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD nameSize = 256;
  DWORD domainSize = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) return {};
  const std::wstring full = domain[0] != L'\0' ? std::wstring(domain) + L"\\" + name : name;
  return utf8FromUtf16(full.c_str());
}

bool sidAccount(PSID sid, Account* account) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return false;
  account->id = utf8FromUtf16(text);
  LocalFree(text);
  account->name = accountName(sid);
  if (account->name.empty()) account->name = account->id;
  return !account->id.empty();
}

bool tokenAccount(HANDLE token, Account* account) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return false;
  return sidAccount(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, account);
}

// The user of the process that owns the shell's desktop window. "GetShellWindow function
// (winuser.h)": null when no shell runs. Opening another account's process can be refused
// ("Process Security and Access Rights"), and then this fails.
bool shellAccount(Account* account) {
  const HWND shell = GetShellWindow();
  DWORD processId = 0;
  if (shell == nullptr || GetWindowThreadProcessId(shell, &processId) == 0 || processId == 0) {
    return false;
  }
  const OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  OwnedHandle token;
  return process.get() != nullptr &&
         OpenProcessToken(process.get(), TOKEN_QUERY, token.receive()) &&
         tokenAccount(token.get(), account);
}

// One text of this process's session ("WTSQuerySessionInformationW function (wtsapi32.h)": the
// buffer is the caller's to release with WTSFreeMemory).
std::wstring sessionText(WTS_INFO_CLASS what) {
  LPWSTR text = nullptr;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, what, &text,
                                   &bytes)) {
    return {};
  }
  std::wstring copy = text != nullptr ? text : L"";
  WTSFreeMemory(text);
  return copy;
}

// The user signed in to this process's session, resolved to a SID so that it compares with the
// process's own.
bool sessionAccount(Account* account) {
  const std::wstring user = sessionText(WTSUserName);
  if (user.empty()) return false;
  const std::wstring domain = sessionText(WTSDomainName);
  const std::wstring full = domain.empty() ? user : domain + L"\\" + user;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof(sid);
  wchar_t referenced[256];
  DWORD referencedSize = 256;
  SID_NAME_USE use;
  return LookupAccountNameW(nullptr, full.c_str(), sid, &sidSize, referenced, &referencedSize,
                            &use) &&
         sidAccount(sid, account);
}

class TokenAccountSource final : public AccountSource {
 public:
  bool processAccount(Account* account) override {
    OwnedHandle token;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()) &&
           tokenAccount(token.get(), account);
  }

  bool desktopAccount(Account* account) override {
    return shellAccount(account) || sessionAccount(account);
  }
};

}  // namespace

std::unique_ptr<AccountSource> makeSystemAccountSource() {
  return std::make_unique<TokenAccountSource>();
}

}  // namespace quillon
