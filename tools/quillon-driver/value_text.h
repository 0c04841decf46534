// The UI driver's text notation for channel values: JSON with a few additions so that every
// value the channels carry can be written and read back.
//   null, true, false                      null and bool
//   12, -7                                 int32 (an integer outside int32 is an error)
//   12L, 5000000000L                       int64
//   1.5, 2e3, 1.0, NaN, Infinity           double (always printed with "." or an exponent)
//   "text"                                 string (JSON escapes; other UTF-8 passes through)
//   [a, b]                                 list
//   {k: v, ...}                            map; keys may be any value
//   bytes[1,2], i32[1,2], i64[1,2], f64[1.5], f32[1.5]   typed lists
#ifndef QUILLON_TOOLS_DRIVER_VALUE_TEXT_H_
#define QUILLON_TOOLS_DRIVER_VALUE_TEXT_H_

#include <string>

#include "bridge/encodable_value.h"

namespace quillon::driver {

// Parses `text` as one value (surrounding white space allowed). False with `error` (naming the
// offset) when the text is not a value or has anything after it.
bool parseValue(const std::string& text, flutter::EncodableValue& out, std::string& error);

// The value in the notation above, on one line.
std::string formatValue(const flutter::EncodableValue& value);

// A JSON string literal for `text`.
std::string quoteText(const std::string& text);

}  // namespace quillon::driver

#endif  // QUILLON_TOOLS_DRIVER_VALUE_TEXT_H_
