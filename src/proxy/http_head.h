// TEMPORARY: replaced by the parser module.
#pragma once
#include <cstddef>
#include <string_view>
namespace quillon {
inline constexpr size_t kHeadLimit = 16384;
inline size_t findHeadEnd(std::string_view bytes) {
  const size_t at = bytes.find("\r\n\r\n");
  return at == std::string_view::npos ? at : at + 4;
}
}  // namespace quillon
#include <optional>
#include <string>
namespace quillon {
inline std::optional<int> parseStatusLine(std::string_view head) {
  if (head.size() < 12 || head.substr(0, 7) != "HTTP/1.") return std::nullopt;
  if (head[8] != ' ') return std::nullopt;
  int v = 0;
  for (int i = 9; i < 12; ++i) {
    if (head[i] < '0' || head[i] > '9') return std::nullopt;
    v = v * 10 + (head[i] - '0');
  }
  return v;
}
inline std::string loggableText(const std::string& text) { return text.substr(0, 256); }
}  // namespace quillon
