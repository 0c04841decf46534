// The machine's system proxy: pointing the default connection at a PAC URL and back to a
// direct connection. The previous settings are not saved.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "system/command_runner.h"

namespace quillon {

// Per-connection option numbers and proxy-type flags (WinINet's values on every platform).
inline constexpr std::uint32_t kOptionFlags = 1;
inline constexpr std::uint32_t kOptionAutoConfigUrl = 4;
inline constexpr std::uint32_t kProxyTypeDirect = 1;
inline constexpr std::uint32_t kProxyTypeAutoProxyUrl = 4;

// One option of the list applied to the default connection: `url` is used by
// kOptionAutoConfigUrl (the bytes as received), `flags` by kOptionFlags.
struct ConnectionOption {
  std::uint32_t option = 0;
  std::string url;
  std::uint32_t flags = 0;
  bool operator==(const ConnectionOption&) const = default;
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

// The machine's setter. Windows: InternetSetOptionW with the per-connection option list
// (the URL converted from the ANSI code page) and the refresh option; `runner` is unused.
// Elsewhere: GNOME's proxy settings through `gsettings`, run by `runner`, which must outlive
// the setter.
std::unique_ptr<InternetOptionSetter> makeSystemInternetOptionSetter(CommandRunner& runner);

#ifdef _WIN32
// InternetSetOptionW's shape (internet handle, option, buffer, length). The WinINet setter
// makes exactly two kinds of call through it: option 75 with the per-connection option list
// and its size, and option 37 with no buffer. Tests pass a recorder to see the raw records.
using InternetSetOptionFunction = int (*)(void* internet, unsigned long option, void* buffer,
                                          unsigned long length);
std::unique_ptr<InternetOptionSetter> makeWinInetOptionSetter(InternetSetOptionFunction setOption);
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

}  // namespace quillon
