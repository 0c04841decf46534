// The machine's system proxy: pointing the default connection at a PAC URL, and putting back
// what was there before (or, when nothing was recorded, a direct connection).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "system/command_runner.h"

namespace quillon {

struct SystemBackends;
class NetworkRecord;

// Per-connection option numbers and proxy-type flags (WinINet's values on every platform).
inline constexpr std::uint32_t kOptionFlags = 1;
inline constexpr std::uint32_t kOptionProxyServer = 2;
inline constexpr std::uint32_t kOptionProxyBypass = 3;
inline constexpr std::uint32_t kOptionAutoConfigUrl = 4;
inline constexpr std::uint32_t kProxyTypeDirect = 1;
inline constexpr std::uint32_t kProxyTypeProxy = 2;
inline constexpr std::uint32_t kProxyTypeAutoProxyUrl = 4;
inline constexpr std::uint32_t kProxyTypeAutoDetect = 8;
inline constexpr std::uint32_t kKnownProxyTypes =
    kProxyTypeDirect | kProxyTypeProxy | kProxyTypeAutoProxyUrl | kProxyTypeAutoDetect;

// How the text of an option is encoded: URLs from the UI are read in the system ANSI code page,
// recorded settings are kept in UTF-8 so that they go back unchanged.
enum class OptionText { kAnsiCodePage, kUtf8 };

// One option of the list applied to the default connection: `text` is used by the URL, proxy
// server and bypass options (empty: none), `flags` by kOptionFlags.
struct ConnectionOption {
  std::uint32_t option = 0;
  std::string text;
  std::uint32_t flags = 0;
  OptionText encoding = OptionText::kAnsiCodePage;
  bool operator==(const ConnectionOption&) const = default;
};

// The default connection's proxy settings: the proxy-type flags, the auto-configuration URL, the
// manual proxy server and its bypass list, texts in UTF-8 (empty: none).
struct ProxySettings {
  std::uint32_t flags = kProxyTypeDirect;
  std::string autoConfigUrl;
  std::string proxyServer;
  std::string proxyBypass;
  bool operator==(const ProxySettings&) const = default;
};

class InternetOptionSetter {
 public:
  virtual ~InternetOptionSetter() = default;
  // Applies `options`, in order, to the default connection's settings. On failure returns
  // false with the platform's error code in `errorCode`.
  virtual bool applyToDefaultConnection(const std::vector<ConnectionOption>& options,
                                        unsigned long* errorCode) = 0;
  // Asks the system to reload its proxy settings; failures are ignored.
  virtual void refresh() = 0;
};

class InternetOptionGetter {
 public:
  virtual ~InternetOptionGetter() = default;
  // Reads the default connection's current settings into `settings`. On failure returns false
  // with the platform's error code in `errorCode`. Writes no log line.
  virtual bool queryDefaultConnection(ProxySettings* settings, unsigned long* errorCode) = 0;
};

// The machine's setter. Windows: InternetSetOptionW with the per-connection option list and the
// refresh option; `runner` is unused. Elsewhere: GNOME's proxy settings through `gsettings`,
// run by `runner`, which must outlive the setter: the flags choose the mode ("auto" for either
// automatic kind, "manual" for a proxy server, else "none"), the URL is "autoconfig-url", and
// the manual proxy hosts, which this program never changes there, are left alone.
std::unique_ptr<InternetOptionSetter> makeSystemInternetOptionSetter(CommandRunner& runner);

// The machine's getter. Windows: InternetQueryOptionW with the per-connection option list (flags,
// URL, proxy server, bypass list). Elsewhere: GNOME's "mode" and "autoconfig-url" through
// `gsettings get` ("auto" without a URL counts as automatic detection).
std::unique_ptr<InternetOptionGetter> makeSystemInternetOptionGetter();

#ifdef _WIN32
// InternetSetOptionW's shape (internet handle, option, buffer, length). The WinINet setter
// makes exactly two kinds of call through it: option 75 with the per-connection option list
// and its size, and option 37 with no buffer. Tests pass a recorder to see the raw records.
using InternetSetOptionFunction = int (*)(void* internet, unsigned long option, void* buffer,
                                          unsigned long length);
std::unique_ptr<InternetOptionSetter> makeWinInetOptionSetter(InternetSetOptionFunction setOption);
#else
// The GNOME getter with the program runs of `read` (tests pass canned output).
std::unique_ptr<InternetOptionGetter> makeGnomeProxyGetter(CommandOutputReader read);
#endif

// Points the default connection at `url` (AUTOCONFIG_URL, then FLAGS = auto proxy URL),
// refreshes and logs "成功设置系统PAC为: " + url; sets `pacApplied` and returns true. On
// failure logs "设置PAC URL失败: " + code, leaves `pacApplied` alone and returns false.
// `pacApplied` is the application state's flag. UI thread only.
bool setSystemPac(bool& pacApplied, const std::string& url, InternetOptionSetter& options);

// Sets the default connection's flags to direct only (the stored URL stays), refreshes and
// logs "成功重置系统PAC设置"; returns true. On failure logs "重置代理设置失败: " + code and
// returns false. Callers clear `pacApplied` themselves. UI thread only.
bool resetSystemPac(InternetOptionSetter& options);

// Applies all of `settings` to the default connection (URL, proxy server, bypass list, then the
// flags), refreshes, logs "成功重置系统PAC设置" and "系统代理已恢复为: " with what was put
// back; true. On failure logs "重置代理设置失败: " + code and returns false.
bool restoreSystemPac(const ProxySettings& settings, InternetOptionSetter& options);

// setSystemPac() that first records what is in force, unless `record` still holds settings this
// process has not put back: the current settings are read and written to the record (and its
// journal) before anything changes. When they cannot be read, or cannot be kept exactly, logs
// "读取系统代理设置失败: " + code and changes nothing (false). A change that fails drops the
// record it was taken for.
bool setSystemPac(bool& pacApplied, const std::string& url, const SystemBackends& system,
                  NetworkRecord& record);

// Puts back what `record` holds (see NetworkRecord::proxyToRestore) with restoreSystemPac(); a
// record that was put back is kept, so a second reset puts back the same again. Without a
// record, resetSystemPac(): a direct connection.
bool resetSystemPac(const SystemBackends& system, NetworkRecord& record);

}  // namespace quillon
