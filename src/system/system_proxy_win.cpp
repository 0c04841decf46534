#include "system/system_proxy.h"

#include <windows.h>

#include <ras.h>
#include <raserror.h>
#include <wininet.h>

#include <algorithm>

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

int realInternetQueryOption(void* internet, unsigned long option, void* buffer,
                            unsigned long* length) {
  return InternetQueryOptionW(internet, option, buffer, length);
}

unsigned long realRasEnumEntries(const wchar_t* reserved, const wchar_t* phoneBook, void* entries,
                                 unsigned long* size, unsigned long* count) {
  return RasEnumEntriesW(reserved, phoneBook, static_cast<RASENTRYNAMEW*>(entries), size, count);
}

// The connection name as the option list takes it: null for the LAN connection, else the
// phone-book entry's name in UTF-16. False for a name that is not UTF-8.
bool connectionName(const std::string& connection, std::wstring& wide) {
  wide.clear();
  return connection.empty() || utf16FromNarrow(connection, CodePage::kUtf8, wide);
}

class WinInetOptionSetter final : public InternetOptionSetter {
 public:
  explicit WinInetOptionSetter(InternetSetOptionFunction setOption) : setOption_(setOption) {}

  bool applyToConnection(const std::string& connection,
                         const std::vector<ConnectionOption>& options,
                         unsigned long* errorCode) override {
    // The wide texts must stay alive until the call returns; the records point into them.
    std::wstring name;
    if (!connectionName(connection, name)) {
      *errorCode = ERROR_NO_UNICODE_TRANSLATION;
      return false;
    }
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
    list.pszConnection = name.empty() ? nullptr : name.data();  // null: the LAN connection
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
  explicit WinInetOptionGetter(InternetQueryOptionFunction queryOption)
      : queryOption_(queryOption) {}

  bool queryConnection(const std::string& connection, std::uint32_t flagsOption,
                       ProxySettings* settings, unsigned long* errorCode) override {
    std::wstring name;
    if (!connectionName(connection, name)) {
      *errorCode = ERROR_NO_UNICODE_TRANSLATION;
      return false;
    }
    INTERNET_PER_CONN_OPTIONW options[4] = {};
    options[0].dwOption = flagsOption;
    options[1].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    options[2].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[3].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    INTERNET_PER_CONN_OPTION_LISTW list{};
    list.dwSize = sizeof(list);
    list.pszConnection = name.empty() ? nullptr : name.data();  // null: the LAN connection
    list.dwOptionCount = 4;
    list.pOptions = options;
    unsigned long size = sizeof(list);
    if (!queryOption_(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) {
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

 private:
  const InternetQueryOptionFunction queryOption_;
};

class RasEntryLister final : public ConnectionEntryLister {
 public:
  explicit RasEntryLister(RasEnumEntriesFunction enumEntries) : enumEntries_(enumEntries) {}

  bool listEntries(std::vector<std::string>* names, unsigned long* errorCode) override {
    // "RasEnumEntriesW function (ras.h)": with no phone-book path the entries of every phone
    // book of the user and of all users are listed, so a name can come twice; the first
    // record's dwSize names the record's version; ERROR_BUFFER_TOO_SMALL reports the size
    // needed, which can grow again before the next call when an entry is added meanwhile.
    std::vector<RASENTRYNAMEW> entries(1);
    for (int attempt = 0; attempt < 4; ++attempt) {
      entries[0].dwSize = sizeof(RASENTRYNAMEW);
      unsigned long size = static_cast<unsigned long>(entries.size() * sizeof(RASENTRYNAMEW));
      unsigned long count = 0;
      const unsigned long result = enumEntries_(nullptr, nullptr, entries.data(), &size, &count);
      if (result == ERROR_BUFFER_TOO_SMALL) {
        entries.resize(std::max<std::size_t>(entries.size() + 1, size / sizeof(RASENTRYNAMEW) + 1));
        continue;
      }
      if (result != ERROR_SUCCESS) {
        *errorCode = result;
        return false;
      }
      names->clear();
      for (unsigned long i = 0; i < count && i < entries.size(); ++i) {
        entries[i].szEntryName[RAS_MaxEntryName] = L'\0';
        // A name that is not well-formed UTF-16 could not be named again exactly.
        const std::string name = utf8FromUtf16(entries[i].szEntryName);
        if (!name.empty() && std::find(names->begin(), names->end(), name) == names->end()) {
          names->push_back(name);
        }
      }
      return true;
    }
    *errorCode = ERROR_BUFFER_TOO_SMALL;
    return false;
  }

 private:
  const RasEnumEntriesFunction enumEntries_;
};

}  // namespace

std::unique_ptr<InternetOptionSetter> makeWinInetOptionSetter(InternetSetOptionFunction setOption) {
  return std::make_unique<WinInetOptionSetter>(setOption);
}

std::unique_ptr<InternetOptionSetter> makeSystemInternetOptionSetter(CommandRunner&) {
  return makeWinInetOptionSetter(&realInternetSetOption);
}

std::unique_ptr<InternetOptionGetter> makeWinInetOptionGetter(
    InternetQueryOptionFunction queryOption) {
  return std::make_unique<WinInetOptionGetter>(queryOption);
}

std::unique_ptr<InternetOptionGetter> makeSystemInternetOptionGetter() {
  return makeWinInetOptionGetter(&realInternetQueryOption);
}

std::unique_ptr<ConnectionEntryLister> makeRasEntryLister(RasEnumEntriesFunction enumEntries) {
  return std::make_unique<RasEntryLister>(enumEntries);
}

std::unique_ptr<ConnectionEntryLister> makeSystemConnectionEntryLister() {
  return makeRasEntryLister(&realRasEnumEntries);
}

}  // namespace quillon
