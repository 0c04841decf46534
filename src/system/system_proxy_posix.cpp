#include "system/system_proxy.h"

namespace quillon {
namespace {

// gsettings reports no error number of its own; a failed run is reported as this code.
constexpr unsigned long kToolFailedCode = 1;

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

CommandLine gsettingsSet(const std::string& key, const std::string& value) {
  return {"gsettings", "set", "org.gnome.system.proxy", key, value};
}

// GNOME's proxy settings of the session: the auto-configuration URL and the mode, where
// "auto" is the PAC mode and "none" a direct connection. Manual proxy hosts are untouched.
class GnomeProxyOptionSetter final : public InternetOptionSetter {
 public:
  explicit GnomeProxyOptionSetter(CommandRunner& runner) : runner_(runner) {}

  bool applyToDefaultConnection(const std::vector<ConnectionOption>& options,
                                unsigned long* errorCode) override {
    for (const ConnectionOption& option : options) {
      CommandLine command;
      if (option.option == kOptionAutoConfigUrl) {
        command = gsettingsSet("autoconfig-url", gvariantString(option.url));
      } else {
        const bool automatic = (option.flags & kProxyTypeAutoProxyUrl) != 0;
        command = gsettingsSet("mode", automatic ? "'auto'" : "'none'");
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

}  // namespace

std::unique_ptr<InternetOptionSetter> makeSystemInternetOptionSetter(CommandRunner& runner) {
  return std::make_unique<GnomeProxyOptionSetter>(runner);
}

}  // namespace quillon
