#include "system/desktop_account.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace quillon {
namespace {

bool userAccount(uid_t uid, Account* account) {
  account->id = std::to_string(uid);
  std::vector<char> buffer(16 * 1024);
  passwd entry{};
  passwd* found = nullptr;
  const bool named =
      getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
  account->name = named ? std::string(entry.pw_name) : account->id;
  return true;
}

// The user id in `variable` when it holds a plain decimal number.
bool uidFrom(const char* variable, uid_t* uid) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || text[0] < '0' || text[0] > '9') return false;
  *uid = static_cast<uid_t>(value);
  return true;
}

class UidAccountSource final : public AccountSource {
 public:
  bool processAccount(Account* account) override { return userAccount(geteuid(), account); }

  // sudo and pkexec name the user who asked for the rights; without either, the desktop is
  // taken to be this process's own.
  bool desktopAccount(Account* account) override {
    uid_t uid = 0;
    if (!uidFrom("PKEXEC_UID", &uid) && !uidFrom("SUDO_UID", &uid)) uid = geteuid();
    return userAccount(uid, account);
  }
};

}  // namespace

std::unique_ptr<AccountSource> makeSystemAccountSource() {
  return std::make_unique<UidAccountSource>();
}

}  // namespace quillon
