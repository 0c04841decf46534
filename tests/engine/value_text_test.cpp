// The UI driver's value notation: parsing into channel values and printing them back.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "value_text.h"

namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using quillon::driver::formatValue;
using quillon::driver::parseValue;

EncodableValue parsed(const std::string& text) {
  EncodableValue value;
  std::string error;
  EXPECT_TRUE(parseValue(text, value, error)) << text << ": " << error;
  return value;
}

TEST(ValueTextTest, ParsesEachKindOfValue) {
  struct Row {
    std::string text;
    EncodableValue value;
  };
  const std::vector<Row> rows = {
      {"null", EncodableValue()},
      {" true ", EncodableValue(true)},
      {"false", EncodableValue(false)},
      {"0", EncodableValue(int32_t{0})},
      {"-2147483648", EncodableValue(std::numeric_limits<int32_t>::min())},
      {"2147483647", EncodableValue(std::numeric_limits<int32_t>::max())},
      {"123L", EncodableValue(int64_t{123})},
      {"5000000000L", EncodableValue(int64_t{5000000000})},
      {"-9223372036854775808L", EncodableValue(std::numeric_limits<int64_t>::min())},
      {"1.5", EncodableValue(1.5)},
      {"-2e3", EncodableValue(-2000.0)},
      {"1E-2", EncodableValue(0.01)},
      {"Infinity", EncodableValue(std::numeric_limits<double>::infinity())},
      {"-Infinity", EncodableValue(-std::numeric_limits<double>::infinity())},
      {R"("a\"b\\c\/\n\t\u00e9\ud83d\ude00")",
       EncodableValue("a\"b\\c/\n\t\xC3\xA9\xF0\x9F\x98\x80")},
      {"\"\xE4\xB8\xAD\"", EncodableValue("\xE4\xB8\xAD")},
      {"[]", EncodableValue(EncodableList{})},
      {"[1, [2L], {}]",
       EncodableValue(EncodableList{int32_t{1}, EncodableList{int64_t{2}}, EncodableMap{}})},
      {R"({"b": 1, "a": null, 3: "x"})",
       EncodableValue(EncodableMap{{"b", int32_t{1}}, {"a", EncodableValue()}, {int32_t{3}, "x"}})},
      {"bytes[0, 255]", EncodableValue(std::vector<uint8_t>{0, 255})},
      {"i32[-1, 2]", EncodableValue(std::vector<int32_t>{-1, 2})},
      {"i64[1L, 2]", EncodableValue(std::vector<int64_t>{1, 2})},
      {"f64[1.5, 2]", EncodableValue(std::vector<double>{1.5, 2.0})},
      {"f32[0.5]", EncodableValue(std::vector<float>{0.5f})},
  };
  for (const Row& row : rows) EXPECT_EQ(parsed(row.text), row.value) << row.text;
  EncodableValue nan = parsed("NaN");
  ASSERT_TRUE(std::holds_alternative<double>(nan));
  EXPECT_TRUE(std::isnan(std::get<double>(nan)));
}

TEST(ValueTextTest, RejectsBadTextWithItsOffset) {
  const std::vector<std::string> bad = {
      "",
      "   ",
      "[1, 2",
      "{\"a\" 1}",
      "{\"a\": }",
      "[1,]",
      "\"open",
      "\"bad \\x escape\"",
      "\"\\ud800\"",
      "\"\\udc00\"",
      "\"\\u12\"",
      "2147483648",
      "-2147483649",
      "9223372036854775808L",
      "1.",
      "1e",
      "-",
      "tru",
      "null null",
      "[1] x",
      "bytes[256]",
      "i32[1.5]",
      "bytes[1L",
      "1e999",
      std::string(100, '[') + std::string(100, ']'),
  };
  for (const std::string& text : bad) {
    EncodableValue value;
    std::string error;
    EXPECT_FALSE(parseValue(text, value, error)) << text;
    EXPECT_NE(error.find("at offset"), std::string::npos) << text << ": " << error;
  }
}

TEST(ValueTextTest, PrintsInTheDriverNotationAndReadsItBack) {
  struct Row {
    EncodableValue value;
    std::string text;
  };
  const std::vector<Row> rows = {
      {EncodableValue(), "null"},
      {EncodableValue(int32_t{-5}), "-5"},
      {EncodableValue(int64_t{5}), "5L"},
      {EncodableValue(2.0), "2.0"},
      {EncodableValue(0.1), "0.1"},
      {EncodableValue(1e300), "1e+300"},
      {EncodableValue(-0.0), "-0.0"},
      {EncodableValue("tab\there \"q\" \x01"), R"("tab\there \"q\" \u0001")"},
      {EncodableValue(EncodableMap{{"b", EncodableList{true, false}}, {"a", 1.5}}),
       R"({"a":1.5,"b":[true,false]})"},
      {EncodableValue(std::vector<uint8_t>{1, 2}), "bytes[1,2]"},
      {EncodableValue(std::vector<int32_t>{3}), "i32[3]"},
      {EncodableValue(std::vector<int64_t>{4}), "i64[4L]"},
      {EncodableValue(std::vector<double>{5}), "f64[5.0]"},
      {EncodableValue(std::vector<float>{1.1f}), "f32[1.1]"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(formatValue(row.value), row.text);
    EXPECT_EQ(parsed(row.text), row.value) << row.text;
  }
  EXPECT_EQ(formatValue(EncodableValue(std::numeric_limits<double>::quiet_NaN())), "NaN");
}

}  // namespace
