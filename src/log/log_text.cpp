#include "log/log_text.h"

namespace quillon {

namespace {

bool isUtf8Continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

std::string loggableText(std::string_view text) {
  std::size_t end = text.size();
  if (end > kMaxLoggedTextBytes) {
    end = kMaxLoggedTextBytes;
    // A UTF-8 character has at most three continuation bytes; texts in another encoding (an
    // ANSI code page) must not make the cut back off further than that.
    for (int i = 0; i < 3 && end > 0 && isUtf8Continuation(text[end]); ++i) --end;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(end + 3);
  for (std::size_t i = 0; i < end; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += static_cast<char>(byte);
    }
  }
  if (end < text.size()) out += "...";
  return out;
}

}  // namespace quillon
