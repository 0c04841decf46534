#include "system/network_journal.h"

#include <cstdint>
#include <optional>
#include <utility>

#include "system/system_dns.h"

namespace quillon {
namespace {

constexpr char kHeader[] = "quillon network journal 2";
// The first version, without dial-up connections: still read, so that what an earlier version
// of the program left is put back.
constexpr char kHeaderVersion1[] = "quillon network journal 1";
constexpr std::size_t kMaxAdapterNameBytes = 255;
// A phone-book entry name is at most 256 UTF-16 units: at most 768 bytes of UTF-8.
constexpr std::size_t kMaxConnectionNameBytes = 1024;

bool needsEscape(unsigned char byte) { return byte == '%' || byte < 0x20 || byte == 0x7F; }

std::string escapeText(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (needsEscape(byte)) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The exact inverse of escapeText(): anything it would not have written is refused.
bool unescapeText(const std::string& text, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte != '%') {
      if (needsEscape(byte)) return false;
      *out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = hexDigit(text[i + 1]);
    const int low = hexDigit(text[i + 2]);
    if (high < 0 || low < 0) return false;
    const auto decoded = static_cast<unsigned char>(high * 16 + low);
    if (!needsEscape(decoded)) return false;
    *out += static_cast<char>(decoded);
    i += 2;
  }
  return true;
}

bool validUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t point = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      point = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

bool validProxyText(const std::string& text) {
  return text.size() <= kMaxJournalTextBytes && validUtf8(text);
}

bool validFlags(std::uint32_t flags) { return flags != 0 && (flags & ~kKnownProxyTypes) == 0; }

// A decimal number as encodeJournal() writes it: digits only, no leading zero.
bool parseDecimal(const std::string& text, std::uint32_t* value) {
  if (text.empty() || text.size() > 4 || (text.size() > 1 && text[0] == '0')) return false;
  *value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return true;
}

std::string joinServers(const std::vector<std::string>& servers) {
  std::string text;
  for (const std::string& server : servers) {
    if (!text.empty()) text += ',';
    text += server;
  }
  return text;
}

// One "dns" line's value: "TYPE SERVERS NAME". Returns the reason when it is refused.
const char* parseDnsLine(const std::string& value, AdapterDnsSettings* adapter) {
  const std::size_t typeEnd = value.find(' ');
  const std::size_t serversEnd =
      typeEnd == std::string::npos ? std::string::npos : value.find(' ', typeEnd + 1);
  if (serversEnd == std::string::npos) return "格式无效";
  std::uint32_t type = 0;
  if (!parseDecimal(value.substr(0, typeEnd), &type) ||
      (type != kIfTypeEthernet && type != kIfTypeWireless)) {
    return "网卡类型无效";
  }
  adapter->interfaceType = type;
  const std::string servers = value.substr(typeEnd + 1, serversEnd - typeEnd - 1);
  if (servers != "dhcp") {
    // Only the form encodeJournal() writes: addresses joined by single commas.
    if (!parseDnsServerList(servers, &adapter->servers) || adapter->servers.empty() ||
        joinServers(adapter->servers) != servers) {
      return "DNS服务器无效";
    }
  }
  NetworkAdapter named;
  if (!unescapeText(value.substr(serversEnd + 1), &named.friendlyName)) return "网卡名称无效";
  if (named.friendlyName.empty() || named.friendlyName.size() > kMaxAdapterNameBytes ||
      !validUtf8(named.friendlyName) || !adapterNameSafeForCommand(named)) {
    return "网卡名称不安全";
  }
  adapter->adapterName = named.friendlyName;
  return nullptr;
}

std::string lineProblem(std::size_t number, const char* reason) {
  return "第" + std::to_string(number) + "行: " + reason;
}

void encodeProxy(const ProxySettings& proxy, std::string& out) {
  out += "proxy-flags " + std::to_string(proxy.flags) + "\n";
  out += "proxy-url " + escapeText(proxy.autoConfigUrl) + "\n";
  out += "proxy-server " + escapeText(proxy.proxyServer) + "\n";
  out += "proxy-bypass " + escapeText(proxy.proxyBypass) + "\n";
}

// The four proxy lines of one connection, as they are read.
class ProxySection {
 public:
  ProxySection() = default;
  explicit ProxySection(std::string connection)
      : named_(true), connection_(std::move(connection)) {}

  // One "proxy-..." line; the reason when it is refused.
  const char* add(const std::string& key, const std::string& value) {
    static const char* const kKeys[] = {"proxy-flags", "proxy-url", "proxy-server", "proxy-bypass"};
    std::size_t index = 0;
    while (index < 4 && key != kKeys[index]) ++index;
    if (index == 4) return "无法识别";
    if (seen_[index]) return "重复";
    seen_[index] = true;
    if (index == 0) {
      return parseDecimal(value, &settings_.flags) && validFlags(settings_.flags) ? nullptr
                                                                                  : "代理类型无效";
    }
    std::string* const texts[] = {&settings_.autoConfigUrl, &settings_.proxyServer,
                                  &settings_.proxyBypass};
    std::string* text = texts[index - 1];
    return unescapeText(value, text) && validProxyText(*text) ? nullptr : "文本无效";
  }

  // Adds the section to `settings`; false when it is incomplete (a named connection needs all
  // four lines, the LAN connection all four or none).
  bool finish(RecordedSettings& settings) const {
    const int lines = seen_[0] + seen_[1] + seen_[2] + seen_[3];
    if (lines == 0 && !named_) return true;
    if (lines != 4) return false;
    if (named_) {
      settings.connections.push_back({connection_, settings_});
    } else {
      settings.proxy = settings_;
    }
    return true;
  }

 private:
  bool named_ = false;
  std::string connection_;
  ProxySettings settings_;
  bool seen_[4] = {false, false, false, false};
};

// One "connection" line's value: the entry name. Returns the reason when it is refused.
const char* parseConnectionLine(const std::string& value, const RecordedSettings& settings,
                                std::string* name) {
  if (!unescapeText(value, name) || name->empty() || name->size() > kMaxConnectionNameBytes ||
      !validUtf8(*name)) {
    return "连接名称无效";
  }
  for (const ConnectionProxySettings& earlier : settings.connections) {
    if (earlier.connection == *name) return "连接重复";
  }
  if (settings.connections.size() == kMaxJournalConnections) return "连接过多";
  return nullptr;
}

}  // namespace

std::string encodeJournal(const RecordedSettings& settings) {
  std::string out = std::string(kHeader) + "\n";
  if (settings.proxy) encodeProxy(*settings.proxy, out);
  for (const ConnectionProxySettings& connection : settings.connections) {
    out += "connection " + escapeText(connection.connection) + "\n";
    encodeProxy(connection.settings, out);
  }
  for (const AdapterDnsSettings& adapter : settings.adapters) {
    out += "dns " + std::to_string(adapter.interfaceType) + " " +
           (adapter.servers.empty() ? std::string("dhcp") : joinServers(adapter.servers)) + " " +
           escapeText(adapter.adapterName) + "\n";
  }
  return out;
}

bool decodeJournal(const std::string& text, RecordedSettings* settings, std::string* problem) {
  if (text.size() > kMaxJournalBytes) {
    *problem = "文件过大";
    return false;
  }
  if (text.empty() || text.back() != '\n') {
    *problem = "内容不完整";
    return false;
  }
  RecordedSettings result;
  // Proxy lines belong to the LAN connection until a "connection" line opens a named one; a
  // "dns" line closes the open one. Each connection's lines come together.
  std::optional<ProxySection> open = ProxySection();
  bool version1 = false;
  std::size_t number = 0;
  for (std::size_t begin = 0; begin < text.size();) {
    const std::size_t end = text.find('\n', begin);
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    ++number;
    if (number == 1) {
      version1 = line == kHeaderVersion1;
      if (line != kHeader && !version1) {
        *problem = "文件头无效";
        return false;
      }
      continue;
    }
    const std::size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
    const char* reason = nullptr;
    if (space == std::string::npos) {
      reason = "无法识别";
    } else if (key == "dns" || (key == "connection" && !version1)) {
      if (open && !open->finish(result)) {
        reason = "代理设置不完整";
      } else if (key == "dns") {
        open.reset();
        AdapterDnsSettings adapter;
        reason = parseDnsLine(value, &adapter);
        for (const AdapterDnsSettings& earlier : result.adapters) {
          if (reason == nullptr && earlier.adapterName == adapter.adapterName) reason = "网卡重复";
        }
        if (reason == nullptr && result.adapters.size() == kMaxJournalAdapters) reason = "网卡过多";
        if (reason == nullptr) result.adapters.push_back(adapter);
      } else {
        std::string name;
        reason = parseConnectionLine(value, result, &name);
        open = ProxySection(name);
      }
    } else if (open) {
      reason = open->add(key, value);
    } else {
      reason = "无法识别";
    }
    if (reason != nullptr) {
      *problem = lineProblem(number, reason);
      return false;
    }
  }
  if (open && !open->finish(result)) {
    *problem = "代理设置不完整";
    return false;
  }
  *settings = std::move(result);
  return true;
}

bool journalCanHold(const ProxySettings& settings) {
  return validFlags(settings.flags) && validProxyText(settings.autoConfigUrl) &&
         validProxyText(settings.proxyServer) && validProxyText(settings.proxyBypass);
}

}  // namespace quillon
