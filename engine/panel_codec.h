// The few method-channel messages the stand-in's control panel speaks, in the UI's standard
// method encoding: method calls with a map of strings and int32 values, and the decoding of
// reply envelopes and of the statistics push. The stand-in never links the program's own codec.
#ifndef QUILLON_ENGINE_PANEL_CODEC_H_
#define QUILLON_ENGINE_PANEL_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace standin::panel {

// An argument of an encoded call: a string or an int32.
using Argument = std::variant<std::string, int32_t>;

// A method call whose arguments are a map with string keys (in the given order), or null when
// `arguments` is empty.
std::vector<uint8_t> encodeCall(const std::string& method,
                                const std::vector<std::pair<std::string, Argument>>& arguments);

// A success reply envelope carrying a list of strings (the stand-in's answer on its reserved
// query channels).
std::vector<uint8_t> encodeStringListReply(const std::vector<std::string>& texts);

// The parts of a decoded value the panel looks at.
struct Value {
  enum class Kind { kNull, kBool, kInt, kString, kList, kMap, kOther };
  Kind kind = Kind::kNull;
  bool boolean = false;
  int64_t integer = 0;                     // int32 and int64 alike
  std::string text;                        // for kString
  size_t length = 0;                       // elements of a list or entries of a map
  std::map<std::string, int64_t> numbers;  // the integer entries under string keys of a map
};

// A decoded reply envelope.
struct Reply {
  enum class Kind { kEmpty, kSuccess, kError, kMalformed };
  Kind kind = Kind::kEmpty;
  Value value;       // kSuccess
  std::string code;  // kError
};
Reply decodeReply(const uint8_t* data, size_t size);

// A decoded method call: its name and its arguments.
struct Call {
  std::string method;
  Value arguments;
};
// Nothing when the bytes are not a complete method call.
std::optional<Call> decodeCall(const uint8_t* data, size_t size);

}  // namespace standin::panel

#endif  // QUILLON_ENGINE_PANEL_CODEC_H_
