#include "log/log_text.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

TEST(LoggableText, EscapesControlBytesAndCutsLongTextsAtACharacterBoundary) {
  const std::string a255(255, 'a');
  const std::string a256(256, 'a');
  const std::string chinese = "中";  // three bytes: E4 B8 AD
  struct Row {
    std::string input;
    std::string expected;
  };
  const Row rows[] = {
      {"", ""},
      {"Ethernet 2", "Ethernet 2"},
      {"以太网 (无线)", "以太网 (无线)"},
      {"a\r\nforged line", "a\\x0D\\x0Aforged line"},
      {std::string("nul\0tab\tdel\x7F", 12), "nul\\x00tab\\x09del\\x7F"},
      {"\x1B[31m", "\\x1B[31m"},
      {"back\\slash \x80\xFF", "back\\slash \x80\xFF"},
      {a256, a256},
      {a256 + "b", a256 + "..."},
      {std::string(100000, 'z'), std::string(256, 'z') + "..."},
      // The 256th byte starts a three-byte character: the whole character is left out.
      {a255 + chinese, a255 + "..."},
      {a255 + "b" + chinese, a255 + "b..."},
      // Control bytes count as one byte towards the cut and are escaped after it.
      {std::string(300, '\n'),
       [] {
         std::string out;
         for (int i = 0; i < 256; ++i) out += "\\x0A";
         return out + "...";
       }()},
      // Bytes that only look like continuation bytes (an ANSI code page): at most three are
      // given up.
      {std::string(300, '\x80'), std::string(253, '\x80') + "..."},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(loggableText(row.input), row.expected) << "input of " << row.input.size() << " bytes";
  }
}

}  // namespace
}  // namespace quillon
