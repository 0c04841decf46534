#include "value_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace quillon::driver {
namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

// Deeper nesting than any channel uses; the limit keeps hostile text from exhausting the stack.
constexpr int kMaxDepth = 64;

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  bool parseDocument(EncodableValue& out, std::string& error) {
    bool ok = parseValue(out, 0);
    skipSpace();
    if (ok && pos_ != text_.size()) ok = fail("unexpected text");
    if (!ok) error = error_;
    return ok;
  }

 private:
  bool fail(const std::string& what) {
    if (error_.empty()) error_ = what + " at offset " + std::to_string(pos_);
    return false;
  }

  void skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool consume(const char* word) {
    size_t length = std::char_traits<char>::length(word);
    if (text_.compare(pos_, length, word) != 0) return false;
    pos_ += length;
    return true;
  }

  bool expect(char c) {
    skipSpace();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return fail(std::string("expected '") + c + "'");
  }

  // Walks a bracketed, comma-separated sequence, calling `item` for each element.
  template <typename Item>
  bool parseSequence(char close, Item item) {
    skipSpace();
    if (pos_ < text_.size() && text_[pos_] == close) {
      ++pos_;
      return true;
    }
    for (;;) {
      if (!item()) return false;
      skipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      return expect(close);
    }
  }

  bool parseValue(EncodableValue& out, int depth) {
    if (depth > kMaxDepth) return fail("nesting too deep");
    skipSpace();
    if (pos_ >= text_.size()) return fail("missing value");
    char c = text_[pos_];
    if (c == '{') {
      ++pos_;
      EncodableMap map;
      bool ok = parseSequence('}', [&] {
        EncodableValue key;
        EncodableValue value;
        if (!parseValue(key, depth + 1) || !expect(':') || !parseValue(value, depth + 1)) {
          return false;
        }
        map.insert_or_assign(std::move(key), std::move(value));
        return true;
      });
      out = std::move(map);
      return ok;
    }
    if (c == '[') {
      ++pos_;
      EncodableList list;
      bool ok = parseSequence(']', [&] {
        list.emplace_back();
        return parseValue(list.back(), depth + 1);
      });
      out = std::move(list);
      return ok;
    }
    if (c == '"') {
      std::string text;
      if (!parseString(text)) return false;
      out = std::move(text);
      return true;
    }
    if (consume("null")) return out = EncodableValue(), true;
    if (consume("true")) return out = EncodableValue(true), true;
    if (consume("false")) return out = EncodableValue(false), true;
    if (consume("bytes[")) return parseTyped<uint8_t>(out);
    if (consume("i32[")) return parseTyped<int32_t>(out);
    if (consume("i64[")) return parseTyped<int64_t>(out);
    if (consume("f64[")) return parseTyped<double>(out);
    if (consume("f32[")) return parseTyped<float>(out);
    return parseNumber(out);
  }

  template <typename T>
  bool parseTyped(EncodableValue& out) {
    std::vector<T> items;
    bool ok = parseSequence(']', [&] {
      EncodableValue item;
      if (!parseNumber(item)) return false;
      if (!convertElement(item, items)) return fail("element does not fit the typed list");
      return true;
    });
    out = std::move(items);
    return ok;
  }

  template <typename T>
  static bool convertElement(const EncodableValue& item, std::vector<T>& items) {
    if constexpr (std::is_floating_point_v<T>) {
      if (const double* value = std::get_if<double>(&item)) {
        items.push_back(static_cast<T>(*value));
        return true;
      }
    }
    if (!std::holds_alternative<int32_t>(item) && !std::holds_alternative<int64_t>(item)) {
      return false;
    }
    int64_t value = item.longValue();
    if constexpr (std::is_integral_v<T>) {
      if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
        return false;
      }
    }
    items.push_back(static_cast<T>(value));
    return true;
  }

  bool parseNumber(EncodableValue& out) {
    skipSpace();
    bool negative = pos_ < text_.size() && text_[pos_] == '-';
    if (consume(negative ? "-Infinity" : "Infinity")) {
      out = negative ? -std::numeric_limits<double>::infinity()
                     : std::numeric_limits<double>::infinity();
      return true;
    }
    if (consume("NaN")) return out = std::numeric_limits<double>::quiet_NaN(), true;
    size_t start = pos_;
    if (negative) ++pos_;
    size_t digits = pos_;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    if (pos_ == digits) {
      pos_ = start;
      return fail("not a value");
    }
    bool isDouble = false;
    if (pos_ < text_.size() && text_[pos_] == '.') {
      isDouble = true;
      size_t fraction = ++pos_;
      while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      if (pos_ == fraction) return fail("digits expected after '.'");
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      isDouble = true;
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      size_t exponent = pos_;
      while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      if (pos_ == exponent) return fail("digits expected in the exponent");
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    if (isDouble) {
      double value = 0;
      auto [end, code] = std::from_chars(first, last, value);
      if (code != std::errc() || end != last) return fail("number out of range");
      out = value;
      return true;
    }
    int64_t value = 0;
    auto [end, code] = std::from_chars(first, last, value);
    if (code != std::errc() || end != last) return fail("integer out of 64-bit range");
    if (pos_ < text_.size() && text_[pos_] == 'L') {
      ++pos_;
      out = value;
      return true;
    }
    if (value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
      pos_ = start;
      return fail("integer out of 32-bit range (mark 64-bit integers with L)");
    }
    out = static_cast<int32_t>(value);
    return true;
  }

  bool parseHex4(uint32_t& unit) {
    if (text_.size() - pos_ < 4) return fail("short \\u escape");
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[pos_++];
      unit <<= 4;
      if (c >= '0' && c <= '9') {
        unit |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        unit |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        unit |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return fail("bad \\u escape");
      }
    }
    return true;
  }

  static void appendUtf8(std::string& out, uint32_t point) {
    if (point < 0x80) {
      out.push_back(static_cast<char>(point));
    } else if (point < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (point >> 6)));
      out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (point >> 12)));
      out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (point >> 18)));
      out.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
  }

  bool parseString(std::string& out) {
    ++pos_;  // the opening quote
    for (;;) {
      if (pos_ >= text_.size()) return fail("unterminated string");
      char c = text_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) return fail("unterminated string");
      char escape = text_[pos_++];
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          out.push_back(escape);
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          uint32_t unit = 0;
          if (!parseHex4(unit)) return false;
          if (unit >= 0xD800 && unit < 0xDC00) {
            uint32_t low = 0;
            if (!consume("\\u") || !parseHex4(low) || low < 0xDC00 || low >= 0xE000) {
              return fail("unpaired surrogate");
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          } else if (unit >= 0xDC00 && unit < 0xE000) {
            return fail("unpaired surrogate");
          }
          appendUtf8(out, unit);
          break;
        }
        default:
          return fail("unknown escape");
      }
    }
  }

  const std::string& text_;
  size_t pos_ = 0;
  std::string error_;
};

// The shortest text that reads back as the same number, always marked as floating point.
template <typename T>
std::string formatFloating(T value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  char buffer[64];
  auto [end, code] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  std::string text(buffer, code == std::errc() ? end : buffer);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

template <typename T, typename Format>
std::string formatList(const char* prefix, const std::vector<T>& items, Format format) {
  std::string out = prefix;
  out += '[';
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    out += format(items[i]);
  }
  return out + ']';
}

}  // namespace

bool parseValue(const std::string& text, EncodableValue& out, std::string& error) {
  return Parser(text).parseDocument(out, error);
}

std::string quoteText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          out.push_back(c);
        }
    }
  }
  return out + '"';
}

std::string formatValue(const EncodableValue& value) {
  auto integer = [](auto item) { return std::to_string(item); };
  auto longInteger = [](int64_t item) { return std::to_string(item) + "L"; };
  auto floating = [](auto item) { return formatFloating(item); };
  switch (value.index()) {
    case 1:
      return std::get<bool>(value) ? "true" : "false";
    case 2:
      return integer(std::get<int32_t>(value));
    case 3:
      return longInteger(std::get<int64_t>(value));
    case 4:
      return formatFloating(std::get<double>(value));
    case 5:
      return quoteText(std::get<std::string>(value));
    case 6:
      return formatList("bytes", std::get<std::vector<uint8_t>>(value),
                        [](uint8_t item) { return std::to_string(static_cast<int>(item)); });
    case 7:
      return formatList("i32", std::get<std::vector<int32_t>>(value), integer);
    case 8:
      return formatList("i64", std::get<std::vector<int64_t>>(value), longInteger);
    case 9:
      return formatList("f64", std::get<std::vector<double>>(value), floating);
    case 10:
      return formatList("", std::get<EncodableList>(value),
                        [](const EncodableValue& item) { return formatValue(item); });
    case 11: {
      std::string out = "{";
      for (const auto& [key, item] : std::get<EncodableMap>(value)) {
        if (out.size() > 1) out += ',';
        out += formatValue(key) + ":" + formatValue(item);
      }
      return out + '}';
    }
    case 13:
      return formatList("f32", std::get<std::vector<float>>(value), floating);
    default:
      // Null, and the application-only custom value, which never comes off the wire.
      return "null";
  }
}

}  // namespace quillon::driver
