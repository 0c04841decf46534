#include "system/system_proxy.h"

#include <windows.h>
#include <wininet.h>

namespace quillon {
namespace {

// The URL arrives as narrow text and is read in the system ANSI code page.
bool ansiToWide(const std::string& text, std::wstring& out) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (length <= 0) return false;
  out.assign(static_cast<std::size_t>(length), L'\0');
  if (MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), length) != length) {
    return false;
  }
  out.resize(static_cast<std::size_t>(length) - 1);
  return true;
}

int realInternetSetOption(void* internet, unsigned long option, void* buffer,
                          unsigned long length) {
  return InternetSetOptionW(internet, option, buffer, length);
}

class WinInetOptionSetter final : public InternetOptionSetter {
 public:
  explicit WinInetOptionSetter(InternetSetOptionFunction setOption) : setOption_(setOption) {}

  bool applyToDefaultConnection(const std::vector<ConnectionOption>& options,
                                unsigned long* errorCode) override {
    // The wide URLs must stay alive until the call returns; the records point into them.
    std::vector<std::wstring> urls(options.size());
    std::vector<INTERNET_PER_CONN_OPTIONW> records(options.size());
    for (std::size_t i = 0; i < options.size(); ++i) {
      records[i].dwOption = options[i].option;
      if (options[i].option == kOptionAutoConfigUrl) {
        if (!ansiToWide(options[i].url, urls[i])) {
          *errorCode = GetLastError();
          return false;
        }
        records[i].Value.pszValue = urls[i].data();
      } else {
        records[i].Value.dwValue = options[i].flags;
      }
    }
    INTERNET_PER_CONN_OPTION_LISTW list{};
    list.dwSize = sizeof(list);
    list.pszConnection = nullptr;  // the default (LAN) connection
    list.dwOptionCount = static_cast<DWORD>(records.size());
    list.dwOptionError = 0;
    list.pOptions = records.data();
    if (!setOption_(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof(list))) {
      *errorCode = GetLastError();
      return false;
    }
    return true;
  }

  void refresh() override { setOption_(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0); }

 private:
  const InternetSetOptionFunction setOption_;
};

}  // namespace

std::unique_ptr<InternetOptionSetter> makeWinInetOptionSetter(InternetSetOptionFunction setOption) {
  return std::make_unique<WinInetOptionSetter>(setOption);
}

std::unique_ptr<InternetOptionSetter> makeSystemInternetOptionSetter(CommandRunner&) {
  return makeWinInetOptionSetter(&realInternetSetOption);
}

}  // namespace quillon
