#include "system/system_proxy.h"

#include <windows.h>
#include <wininet.h>

#include "log/wide_text.h"
#include "system/network_journal.h"

namespace quillon {
namespace {

// An option text in UTF-16: URLs from the UI are read in the system ANSI code page, recorded
// settings in UTF-8 (where a byte sequence that is not UTF-8 is refused, not replaced).
bool toWide(const std::string& text, OptionText encoding, std::wstring& out) {
  return utf16FromNarrow(text, encoding == OptionText::kUtf8 ? CodePage::kUtf8 : CodePage::kAnsi,
                         out);
}

bool isTextOption(std::uint32_t option) {
  return option == kOptionAutoConfigUrl || option == kOptionProxyServer ||
         option == kOptionProxyBypass;
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
    // The wide texts must stay alive until the call returns; the records point into them.
    std::vector<std::wstring> texts(options.size());
    std::vector<INTERNET_PER_CONN_OPTIONW> records(options.size());
    for (std::size_t i = 0; i < options.size(); ++i) {
      records[i].dwOption = options[i].option;
      if (isTextOption(options[i].option)) {
        if (!toWide(options[i].text, options[i].encoding, texts[i])) {
          *errorCode = GetLastError();
          return false;
        }
        records[i].Value.pszValue = texts[i].data();
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

// The texts InternetQueryOptionW hands out were allocated with GlobalAlloc for the caller.
class QueriedTexts {
 public:
  explicit QueriedTexts(INTERNET_PER_CONN_OPTIONW* options, std::size_t count)
      : options_(options), count_(count) {}
  ~QueriedTexts() {
    for (std::size_t i = 0; i < count_; ++i) {
      if (isTextOption(options_[i].dwOption) && options_[i].Value.pszValue != nullptr) {
        GlobalFree(options_[i].Value.pszValue);
      }
    }
  }
  QueriedTexts(const QueriedTexts&) = delete;
  QueriedTexts& operator=(const QueriedTexts&) = delete;

 private:
  INTERNET_PER_CONN_OPTIONW* options_;
  std::size_t count_;
};

// A queried text as UTF-8 ("" for none); false for text that is not well-formed UTF-16.
bool queriedText(const wchar_t* text, std::string& out) {
  out = utf8FromUtf16(text);
  return !out.empty() || text == nullptr || *text == L'\0';
}

class WinInetOptionGetter final : public InternetOptionGetter {
 public:
  bool queryDefaultConnection(ProxySettings* settings, unsigned long* errorCode) override {
    INTERNET_PER_CONN_OPTIONW options[4] = {};
    options[0].dwOption = INTERNET_PER_CONN_FLAGS;
    options[1].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    options[2].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[3].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    INTERNET_PER_CONN_OPTION_LISTW list{};
    list.dwSize = sizeof(list);
    list.pszConnection = nullptr;  // the default (LAN) connection
    list.dwOptionCount = 4;
    list.pOptions = options;
    DWORD size = sizeof(list);
    if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) {
      *errorCode = GetLastError();
      return false;
    }
    const QueriedTexts owned(options, 4);
    ProxySettings read;
    read.flags = options[0].Value.dwValue;
    if (!queriedText(options[1].Value.pszValue, read.autoConfigUrl) ||
        !queriedText(options[2].Value.pszValue, read.proxyServer) ||
        !queriedText(options[3].Value.pszValue, read.proxyBypass)) {
      *errorCode = kInvalidDataCode;
      return false;
    }
    *settings = read;
    return true;
  }
};

}  // namespace

std::unique_ptr<InternetOptionSetter> makeWinInetOptionSetter(InternetSetOptionFunction setOption) {
  return std::make_unique<WinInetOptionSetter>(setOption);
}

std::unique_ptr<InternetOptionSetter> makeSystemInternetOptionSetter(CommandRunner&) {
  return makeWinInetOptionSetter(&realInternetSetOption);
}

std::unique_ptr<InternetOptionGetter> makeSystemInternetOptionGetter() {
  return std::make_unique<WinInetOptionGetter>();
}

}  // namespace quillon
