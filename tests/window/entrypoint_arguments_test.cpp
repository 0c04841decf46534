#include "app/entrypoint_arguments.h"
#include "log/wide_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

TEST(EntrypointArguments, DropsTheProgramPathAndKeepsTheOrder) {
  struct Row {
    std::wstring commandLine;
    std::vector<std::string> expected;
  };
  const std::vector<Row> rows = {
      {L"quillon.exe", {}},
      {L"quillon.exe --ui-link=port.txt second", {"--ui-link=port.txt", "second"}},
      {L"\"C:\\Program Files\\quillon.exe\" \"two words\" x", {"two words", "x"}},
      // An empty argument keeps its place.
      {L"quillon.exe \"\" after", {"", "after"}},
      {L"quillon.exe caf\u00e9 \u4e2d\u6587", {"caf\xc3\xa9", "\xe4\xb8\xad\xe6\x96\x87"}},
      // A surrogate pair is one character outside the basic plane.
      {L"quillon.exe \xd83d\xde00", {"\xf0\x9f\x98\x80"}},
      // Unpaired surrogates are refused: the argument becomes empty, the others stay.
      {L"quillon.exe first bad\xd800tail last", {"first", "", "last"}},
      {L"quillon.exe \xdc00", {""}},
      {L"quillon.exe x\xd83d", {""}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(entrypointArgumentsFrom(row.commandLine.c_str()), row.expected)
        << "row " << (&row - rows.data());
  }
}

TEST(EntrypointArguments, ConvertsSingleTexts) {
  EXPECT_EQ(utf8FromUtf16(nullptr), "");
  EXPECT_EQ(utf8FromUtf16(L""), "");
  EXPECT_EQ(utf8FromUtf16(L"plain"), "plain");
  const std::wstring bad = std::wstring(L"a") + wchar_t(0xd800) + L"b";
  EXPECT_EQ(utf8FromUtf16(bad.c_str()), "");
  // A long text converts whole.
  const std::wstring longText(5000, L'\u00fc');
  EXPECT_EQ(utf8FromUtf16(longText.c_str()).size(), 10000u);
}

}  // namespace
}  // namespace quillon
