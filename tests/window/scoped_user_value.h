// A value under the current user's registry key that a test may change; the value it had
// before (or its absence) is put back when the object goes. Under Wine this is the throw-away
// prefix's registry.
#pragma once

#include <windows.h>

#include <string>

namespace quillon::testing {

class ScopedUserValue {
 public:
  ScopedUserValue(std::wstring key, std::wstring name)
      : key_(std::move(key)), name_(std::move(name)) {
    DWORD size = sizeof(original_);
    hadOriginal_ = RegGetValueW(HKEY_CURRENT_USER, key_.c_str(), name_.c_str(), RRF_RT_REG_DWORD,
                                nullptr, &original_, &size) == ERROR_SUCCESS;
  }
  ~ScopedUserValue() {
    if (hadOriginal_) {
      setNumber(original_);
    } else {
      remove();
    }
  }
  ScopedUserValue(const ScopedUserValue&) = delete;
  ScopedUserValue& operator=(const ScopedUserValue&) = delete;

  bool setNumber(DWORD number) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), name_.c_str(), REG_DWORD, &number,
                           sizeof(number)) == ERROR_SUCCESS;
  }
  bool setText(const std::wstring& text) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), name_.c_str(), REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  }
  void remove() { RegDeleteKeyValueW(HKEY_CURRENT_USER, key_.c_str(), name_.c_str()); }

 private:
  std::wstring key_;
  std::wstring name_;
  DWORD original_ = 0;  // restored only when it was a 32-bit number
  bool hadOriginal_ = false;
};

}  // namespace quillon::testing
