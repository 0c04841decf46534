#include "system/network_journal.h"

#include <cstdint>

#include "system/system_dns.h"

namespace quillon {
namespace {

constexpr char kHeader[] = "quillon network journal 1";
constexpr std::size_t kMaxAdapterNameBytes = 255;

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

}  // namespace

std::string encodeJournal(const RecordedSettings& settings) {
  std::string out = std::string(kHeader) + "\n";
  if (settings.proxy) {
    const ProxySettings& proxy = *settings.proxy;
    out += "proxy-flags " + std::to_string(proxy.flags) + "\n";
    out += "proxy-url " + escapeText(proxy.autoConfigUrl) + "\n";
    out += "proxy-server " + escapeText(proxy.proxyServer) + "\n";
    out += "proxy-bypass " + escapeText(proxy.proxyBypass) + "\n";
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
  ProxySettings proxy;
  std::string* const proxyTexts[] = {&proxy.autoConfigUrl, &proxy.proxyServer, &proxy.proxyBypass};
  const char* const proxyKeys[] = {"proxy-flags", "proxy-url", "proxy-server", "proxy-bypass"};
  bool proxySeen[4] = {false, false, false, false};

  std::size_t number = 0;
  for (std::size_t begin = 0; begin < text.size();) {
    const std::size_t end = text.find('\n', begin);
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    ++number;
    if (number == 1) {
      if (line != kHeader) {
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
    } else if (key == "dns") {
      AdapterDnsSettings adapter;
      reason = parseDnsLine(value, &adapter);
      for (const AdapterDnsSettings& earlier : result.adapters) {
        if (reason == nullptr && earlier.adapterName == adapter.adapterName) reason = "网卡重复";
      }
      if (reason == nullptr && result.adapters.size() == kMaxJournalAdapters) reason = "网卡过多";
      if (reason == nullptr) result.adapters.push_back(adapter);
    } else {
      std::size_t index = 0;
      while (index < 4 && key != proxyKeys[index]) ++index;
      if (index == 4) {
        reason = "无法识别";
      } else if (proxySeen[index]) {
        reason = "重复";
      } else if (index == 0) {
        if (!parseDecimal(value, &proxy.flags) || !validFlags(proxy.flags)) reason = "代理类型无效";
      } else if (!unescapeText(value, proxyTexts[index - 1]) ||
                 !validProxyText(*proxyTexts[index - 1])) {
        reason = "文本无效";
      }
      if (index < 4) proxySeen[index] = true;
    }
    if (reason != nullptr) {
      *problem = lineProblem(number, reason);
      return false;
    }
  }
  const int proxyLines = proxySeen[0] + proxySeen[1] + proxySeen[2] + proxySeen[3];
  if (proxyLines != 0 && proxyLines != 4) {
    *problem = "代理设置不完整";
    return false;
  }
  if (proxyLines == 4) result.proxy = proxy;
  if (result.empty()) {
    *problem = "没有需要恢复的内容";
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
