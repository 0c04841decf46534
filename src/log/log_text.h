// Texts from outside the program (clients, the UI, the system) made safe for one log line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon {

// The longest part of an outside text that goes into a log line, in bytes.
inline constexpr std::size_t kMaxLoggedTextBytes = 256;

// `text` as it may appear inside a log line: control bytes (below 0x20, and 0x7F) are written
// as \xNN with two upper-case hex digits, so a text holding CR or LF cannot start a line of
// its own; a text longer than kMaxLoggedTextBytes is cut there, backing off to the start of a
// UTF-8 character, and ends in "..." to show it was cut. Every other byte is kept as it is.
// Safe from any thread.
std::string loggableText(std::string_view text);

}  // namespace quillon
