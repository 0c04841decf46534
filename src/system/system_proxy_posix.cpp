#include "system/system_proxy.h"

#include <cerrno>
#include <utility>

#include "system/network_journal.h"

namespace quillon {
namespace {

// gsettings reports no error number of its own; a failed run is reported as this code.
constexpr unsigned long kToolFailedCode = 1;
constexpr char kProxySchema[] = "org.gnome.system.proxy";

// `text` as a GVariant string literal, so gsettings never reads a URL as another type.
std::string gvariantString(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  out += '\'';
  return out;
}

// The inverse for what `gsettings get` prints for a string: a single- or double-quoted literal
// with backslash escapes, then a line feed. False for anything else.
bool parseGvariantString(const std::string& printed, std::string* text) {
  std::string literal = printed;
  while (!literal.empty() && (literal.back() == '\n' || literal.back() == '\r')) literal.pop_back();
  if (literal.size() < 2 || (literal.front() != '\'' && literal.front() != '"') ||
      literal.back() != literal.front()) {
    return false;
  }
  text->clear();
  for (std::size_t i = 1; i + 1 < literal.size(); ++i) {
    if (literal[i] == '\\') {
      if (++i >= literal.size() - 1) return false;  // a backslash before the closing quote
      const char escaped = literal[i];
      if (escaped != '\\' && escaped != '\'' && escaped != '"') return false;
      *text += escaped;
    } else if (literal[i] == literal.front()) {
      return false;
    } else {
      *text += literal[i];
    }
  }
  return true;
}

CommandLine gsettingsSet(const std::string& key, const std::string& value) {
  return {"gsettings", "set", kProxySchema, key, value};
}

// GNOME's mode for proxy-type flags: "auto" covers both automatic kinds (a PAC URL, or automatic
// detection when the URL is empty), "manual" a proxy server, "none" a direct connection.
const char* gnomeMode(std::uint32_t flags) {
  if ((flags & (kProxyTypeAutoProxyUrl | kProxyTypeAutoDetect)) != 0) return "'auto'";
  if ((flags & kProxyTypeProxy) != 0) return "'manual'";
  return "'none'";
}

// GNOME's proxy settings of the session: the auto-configuration URL and the mode. The manual
// proxy hosts and the ignore list are never changed by this program, so they are left alone.
class GnomeProxyOptionSetter final : public InternetOptionSetter {
 public:
  explicit GnomeProxyOptionSetter(CommandRunner& runner) : runner_(runner) {}

  bool applyToConnection(const std::string& connection,
                         const std::vector<ConnectionOption>& options,
                         unsigned long* errorCode) override {
    if (!connection.empty()) {
      *errorCode = ENOENT;  // GNOME keeps one proxy setting for every connection
      return false;
    }
    for (const ConnectionOption& option : options) {
      CommandLine command;
      if (option.option == kOptionAutoConfigUrl) {
        command = gsettingsSet("autoconfig-url", gvariantString(option.text));
      } else if (option.option == kOptionFlags) {
        command = gsettingsSet("mode", gnomeMode(option.flags));
      } else {
        continue;
      }
      if (!runner_.runCommand(command)) {
        *errorCode = kToolFailedCode;
        return false;
      }
    }
    return true;
  }

  // GNOME applications watch the settings and pick up a change by themselves.
  void refresh() override {}

 private:
  CommandRunner& runner_;  // not owned; outlives the setter
};

class GnomeProxyGetter final : public InternetOptionGetter {
 public:
  explicit GnomeProxyGetter(CommandOutputReader read) : read_(std::move(read)) {}

  bool queryConnection(const std::string& connection, std::uint32_t, ProxySettings* settings,
                       unsigned long* errorCode) override {
    if (!connection.empty()) {
      *errorCode = ENOENT;
      return false;
    }
    std::string mode;
    std::string url;
    if (!readKey("mode", &mode, errorCode) || !readKey("autoconfig-url", &url, errorCode)) {
      return false;
    }
    ProxySettings read;
    read.autoConfigUrl = url;
    if (mode == "none") {
      read.flags = kProxyTypeDirect;
    } else if (mode == "manual") {
      read.flags = kProxyTypeDirect | kProxyTypeProxy;
    } else if (mode == "auto") {
      read.flags = kProxyTypeDirect | (url.empty() ? kProxyTypeAutoDetect : kProxyTypeAutoProxyUrl);
    } else {
      *errorCode = kInvalidDataCode;
      return false;
    }
    *settings = read;
    return true;
  }

 private:
  bool readKey(const char* key, std::string* value, unsigned long* errorCode) {
    std::string printed;
    if (!read_({"gsettings", "get", kProxySchema, key}, &printed)) {
      *errorCode = kToolFailedCode;
      return false;
    }
    if (!parseGvariantString(printed, value)) {
      *errorCode = kInvalidDataCode;
      return false;
    }
    return true;
  }

  const CommandOutputReader read_;
};

// Dial-up connections have no proxy settings of their own here.
class NoConnectionEntries final : public ConnectionEntryLister {
 public:
  bool listEntries(std::vector<std::string>* names, unsigned long*) override {
    names->clear();
    return true;
  }
};

}  // namespace

std::unique_ptr<InternetOptionSetter> makeSystemInternetOptionSetter(CommandRunner& runner) {
  return std::make_unique<GnomeProxyOptionSetter>(runner);
}

std::unique_ptr<InternetOptionGetter> makeGnomeProxyGetter(CommandOutputReader read) {
  return std::make_unique<GnomeProxyGetter>(std::move(read));
}

std::unique_ptr<InternetOptionGetter> makeSystemInternetOptionGetter() {
  return makeGnomeProxyGetter([](const CommandLine& command, std::string* output) {
    return readCommandOutput(command, output);
  });
}

std::unique_ptr<ConnectionEntryLister> makeSystemConnectionEntryLister() {
  return std::make_unique<NoConnectionEntries>();
}

}  // namespace quillon
