// The machine's system proxy: pointing a connection (the LAN one, or a dial-up, PPPoE or VPN
// phone-book entry) at a PAC URL, and putting back what was there before (or, for the LAN
// connection when nothing was recorded, a direct connection).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "system/command_runner.h"

namespace quillon {

// Per-connection option numbers and proxy-type flags (WinINet's values on every platform).
inline constexpr std::uint32_t kOptionFlags = 1;
inline constexpr std::uint32_t kOptionProxyServer = 2;
inline constexpr std::uint32_t kOptionProxyBypass = 3;
inline constexpr std::uint32_t kOptionAutoConfigUrl = 4;
// The flags as the settings dialog shows them (Windows 7 and later).
inline constexpr std::uint32_t kOptionFlagsUi = 10;
inline constexpr std::uint32_t kProxyTypeDirect = 1;
inline constexpr std::uint32_t kProxyTypeProxy = 2;
inline constexpr std::uint32_t kProxyTypeAutoProxyUrl = 4;
inline constexpr std::uint32_t kProxyTypeAutoDetect = 8;
inline constexpr std::uint32_t kKnownProxyTypes =
    kProxyTypeDirect | kProxyTypeProxy | kProxyTypeAutoProxyUrl | kProxyTypeAutoDetect;

// How the text of an option is encoded: URLs from the UI are read in the system ANSI code page,
// recorded settings are kept in UTF-8 so that they go back unchanged.
enum class OptionText { kAnsiCodePage, kUtf8 };

// One option of the list applied to a connection: `text` is used by the URL, proxy server and
// bypass options (empty: none), `flags` by kOptionFlags.
struct ConnectionOption {
  std::uint32_t option = 0;
  std::string text;
  std::uint32_t flags = 0;
  OptionText encoding = OptionText::kAnsiCodePage;
  bool operator==(const ConnectionOption&) const = default;
};

// A connection's proxy settings: the proxy-type flags, the auto-configuration URL, the
// manual proxy server and its bypass list, texts in UTF-8 (empty: none).
struct ProxySettings {
  std::uint32_t flags = kProxyTypeDirect;
  std::string autoConfigUrl;
  std::string proxyServer;
  std::string proxyBypass;
  bool operator==(const ProxySettings&) const = default;
};

// A dial-up, PPPoE or VPN connection's proxy settings, by its phone-book entry name (UTF-8).
struct ConnectionProxySettings {
  std::string connection;
  ProxySettings settings;
  bool operator==(const ConnectionProxySettings&) const = default;
};

// Which connection's settings an option list is for: the empty name is the LAN (default)
// connection, any other a phone-book entry of a dial-up, PPPoE or VPN connection.
inline constexpr char kLanConnection[] = "";

class InternetOptionSetter {
 public:
  virtual ~InternetOptionSetter() = default;
  // Applies `options`, in order, to `connection`'s settings (kLanConnection: the default
  // connection). On failure returns false with the platform's error code in `errorCode`.
  virtual bool applyToConnection(const std::string& connection,
                                 const std::vector<ConnectionOption>& options,
                                 unsigned long* errorCode) = 0;
  // Asks the system to reload its proxy settings; failures are ignored.
  virtual void refresh() = 0;
};

class InternetOptionGetter {
 public:
  virtual ~InternetOptionGetter() = default;
  // Reads `connection`'s current settings into `settings`, the proxy-type flags through
  // `flagsOption` (kOptionFlagsUi or kOptionFlags). On failure returns false with the
  // platform's error code in `errorCode`. Writes no log line.
  virtual bool queryConnection(const std::string& connection, std::uint32_t flagsOption,
                               ProxySettings* settings, unsigned long* errorCode) = 0;
};

// The names of the phone-book entries (dial-up, PPPoE, VPN) whose proxy settings WinINet uses
// while that connection is up, instead of the LAN connection's.
class ConnectionEntryLister {
 public:
  virtual ~ConnectionEntryLister() = default;
  // Fills `names` (UTF-8, each once, in the system's order). False with the platform's error
  // code. Writes no log line.
  virtual bool listEntries(std::vector<std::string>* names, unsigned long* errorCode) = 0;
};

// The machine's setter. Windows: InternetSetOptionW with the per-connection option list and the
// refresh option; `runner` is unused. Elsewhere: GNOME's proxy settings through `gsettings`,
// run by `runner`, which must outlive the setter: the flags choose the mode ("auto" for either
// automatic kind, "manual" for a proxy server, else "none"), the URL is "autoconfig-url", and
// the manual proxy hosts, which this program never changes there, are left alone. GNOME has
// no per-connection settings: any connection but kLanConnection fails.
std::unique_ptr<InternetOptionSetter> makeSystemInternetOptionSetter(CommandRunner& runner);

// The machine's getter. Windows: InternetQueryOptionW with the per-connection option list (flags,
// URL, proxy server, bypass list). Elsewhere: GNOME's "mode" and "autoconfig-url" through
// `gsettings get` ("auto" without a URL counts as automatic detection; both flags options read
// the same).
std::unique_ptr<InternetOptionGetter> makeSystemInternetOptionGetter();

// The machine's phone book. Windows: RasEnumEntriesW over every phone book of the user and of
// all users. Elsewhere: no entries.
std::unique_ptr<ConnectionEntryLister> makeSystemConnectionEntryLister();

#ifdef _WIN32
// InternetSetOptionW's shape (internet handle, option, buffer, length). The WinINet setter
// makes exactly two kinds of call through it: option 75 with the per-connection option list
// and its size, and option 37 with no buffer. Tests pass a recorder to see the raw records.
using InternetSetOptionFunction = int (*)(void* internet, unsigned long option, void* buffer,
                                          unsigned long length);
std::unique_ptr<InternetOptionSetter> makeWinInetOptionSetter(InternetSetOptionFunction setOption);
// InternetQueryOptionW's shape (internet handle, option, buffer, length in and out); the
// getter asks only option 75.
using InternetQueryOptionFunction = int (*)(void* internet, unsigned long option, void* buffer,
                                            unsigned long* length);
std::unique_ptr<InternetOptionGetter> makeWinInetOptionGetter(
    InternetQueryOptionFunction queryOption);
// RasEnumEntriesW's shape (reserved, phone book, entry buffer, size in and out, count out).
using RasEnumEntriesFunction = unsigned long (*)(const wchar_t* reserved, const wchar_t* phoneBook,
                                                 void* entries, unsigned long* size,
                                                 unsigned long* count);
std::unique_ptr<ConnectionEntryLister> makeRasEntryLister(RasEnumEntriesFunction enumEntries);
#else
// The GNOME getter with the program runs of `read` (tests pass canned output).
std::unique_ptr<InternetOptionGetter> makeGnomeProxyGetter(CommandOutputReader read);
#endif

// Points the LAN connection at `url` (AUTOCONFIG_URL, then FLAGS = auto proxy URL), refreshes
// and logs "成功设置系统PAC为: " + url; true. On failure logs "设置PAC URL失败: " + code and
// returns false. UI thread only.
bool setSystemPac(const std::string& url, InternetOptionSetter& options);

// Sets the LAN connection's flags to direct only (the stored URL stays), refreshes and logs
// "成功重置系统PAC设置"; returns true. On failure logs "重置代理设置失败: " + code and returns
// false. UI thread only.
bool resetSystemPac(InternetOptionSetter& options);

// Applies all of `settings` to the LAN connection (URL, proxy server, bypass list, then the
// flags), refreshes, logs "成功重置系统PAC设置" and "系统代理已恢复为: " with what was put
// back; true. On failure logs "重置代理设置失败: " + code and returns false.
bool restoreSystemPac(const ProxySettings& settings, InternetOptionSetter& options);

// Reads `connection`'s settings as the user sees them: the flags through kOptionFlagsUi, or,
// where the system does not answer that option, through kOptionFlags (the flags option can
// report automatic detection as off after a detection that found nothing, and a restore of
// such flags would switch it off for good). No log line.
bool queryProxySettings(InternetOptionGetter& getter, const std::string& connection,
                        ProxySettings* settings, unsigned long* errorCode);

// The option list that points a connection at `url`: AUTOCONFIG_URL, then FLAGS = auto proxy
// URL alone.
std::vector<ConnectionOption> pacOptions(const std::string& url);

// What a restore line says a connection was put back to.
std::string describeProxySettings(const ProxySettings& settings);

// The option list that puts `settings` back: the texts first, so that the flags never switch on
// a URL or server not yet in place, then the flags.
std::vector<ConnectionOption> restoreOptions(const ProxySettings& settings);

}  // namespace quillon
