// Small text helpers shared by the CONNECT and plain HTTP paths. None of them throws on any
// input a client can send.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// Standard Base64 (RFC 4648) with padding and no line breaks.
std::string encodeBase64(std::string_view bytes);

// Decimal integer the lenient way: leading white space skipped, an optional sign, digits up to
// the first non-digit (the rest ignored). Empty when there are no digits or the value does not
// fit a signed 32-bit integer.
std::optional<int32_t> parseLenientInt(std::string_view text);

// True when `text` begins with `prefix`, letters compared without regard to case (ASCII).
bool startsWithNoCase(std::string_view text, std::string_view prefix);

// The Basic proxy authorization line (with its CR LF) for the configured credentials, or ""
// when either is empty. Logs nothing.
std::string basicAuthorizationLine(const std::string& username, const std::string& password);

// The keep-alive lines and the empty line that end every head the proxy sends upstream.
inline constexpr std::string_view kKeepAliveTail =
    "Connection: Keep-Alive\r\n"
    "Keep-Alive: timeout=900, max=1000\r\n"
    "Proxy-Connection: Keep-Alive\r\n"
    "\r\n";

}  // namespace quillon
