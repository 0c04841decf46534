// The control panel's small codec against the program's own standard method codec.
#include "engine/panel_codec.h"

#include <gtest/gtest.h>

#include "bridge/standard_method_codec.h"

namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::StandardMethodCodec;
using standin::panel::Reply;
using standin::panel::Value;

const StandardMethodCodec& codec() { return StandardMethodCodec::instance(); }

TEST(PanelCodecTest, CallsDecodeInTheProgramsCodecAsTheSameMapOfStringsAndInt32) {
  std::string longText(300, 'x');  // a two-byte size prefix
  auto bytes = standin::panel::encodeCall("startVpn", {{"proxyHost", std::string("127.0.0.1")},
                                                       {"proxyPort", int32_t{-70000}},
                                                       {"username", std::string("\xE7\x94\xA8")},
                                                       {"password", longText}});
  auto call = codec().decodeMethodCall(bytes.data(), bytes.size());
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->methodName(), "startVpn");
  EncodableMap expected{{EncodableValue("proxyHost"), EncodableValue("127.0.0.1")},
                        {EncodableValue("proxyPort"), EncodableValue(int32_t{-70000})},
                        {EncodableValue("username"), EncodableValue("\xE7\x94\xA8")},
                        {EncodableValue("password"), EncodableValue(longText)}};
  EXPECT_EQ(call->arguments(), EncodableValue(expected));

  auto bare = standin::panel::encodeCall("stopVpn", {});
  auto stop = codec().decodeMethodCall(bare.data(), bare.size());
  ASSERT_NE(stop, nullptr);
  EXPECT_EQ(stop->methodName(), "stopVpn");
  EXPECT_TRUE(stop->arguments().isNull());
}

TEST(PanelCodecTest, DecodesTheProgramsReplies) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    Reply::Kind kind;
    Value::Kind valueKind;
    bool boolean;
    int64_t integer;
    size_t length;
  };
  EncodableValue yes(true);
  EncodableValue no(false);
  EncodableValue count(int32_t{-5});
  EncodableValue wide(int64_t{1} << 40);
  // A double inside a list exercises the padding that counts from the message start.
  EncodableValue records(EncodableList{EncodableValue(EncodableMap{{"a", int32_t{1}}}),
                                       EncodableValue(2.5), EncodableValue("x")});
  const Case cases[] = {
      {"true", codec().encodeSuccessEnvelope(&yes), Reply::Kind::kSuccess, Value::Kind::kBool, true,
       0, 0},
      {"false", codec().encodeSuccessEnvelope(&no), Reply::Kind::kSuccess, Value::Kind::kBool,
       false, 0, 0},
      {"int32", codec().encodeSuccessEnvelope(&count), Reply::Kind::kSuccess, Value::Kind::kInt,
       false, -5, 0},
      {"int64", codec().encodeSuccessEnvelope(&wide), Reply::Kind::kSuccess, Value::Kind::kInt,
       false, int64_t{1} << 40, 0},
      {"list", codec().encodeSuccessEnvelope(&records), Reply::Kind::kSuccess, Value::Kind::kList,
       false, 0, 3},
      {"null", codec().encodeSuccessEnvelope(nullptr), Reply::Kind::kSuccess, Value::Kind::kNull,
       false, 0, 0},
      {"error", codec().encodeErrorEnvelope("INVALID_ARGUMENTS", "m", nullptr), Reply::Kind::kError,
       Value::Kind::kNull, false, 0, 0},
      {"empty", {}, Reply::Kind::kEmpty, Value::Kind::kNull, false, 0, 0},
      {"unknown envelope", {7, 1}, Reply::Kind::kMalformed, Value::Kind::kNull, false, 0, 0},
      {"unknown tag", {0, 99}, Reply::Kind::kMalformed, Value::Kind::kNull, false, 0, 0},
      {"trailing bytes", {0, 1, 1}, Reply::Kind::kMalformed, Value::Kind::kNull, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reply reply = standin::panel::decodeReply(c.bytes.data(), c.bytes.size());
    ASSERT_EQ(reply.kind, c.kind);
    if (c.kind != Reply::Kind::kSuccess) continue;
    EXPECT_EQ(reply.value.kind, c.valueKind);
    EXPECT_EQ(reply.value.boolean, c.boolean);
    EXPECT_EQ(reply.value.integer, c.integer);
    EXPECT_EQ(reply.value.length, c.length);
  }
  auto error = codec().encodeErrorEnvelope("INVALID_ARGUMENTS", "m", nullptr);
  EXPECT_EQ(standin::panel::decodeReply(error.data(), error.size()).code, "INVALID_ARGUMENTS");
}

TEST(PanelCodecTest, ReadsTheStatisticsPushAndRejectsEveryTruncation) {
  EncodableMap stats{{"bytesSent", int32_t{-2147483647 - 1}},
                     {"bytesReceived", int32_t{5}},
                     {"activeConnections", int32_t{2}}};
  auto bytes =
      codec().encodeMethodCall(flutter::MethodCall("onStatsUpdate", EncodableValue(stats)));
  auto call = standin::panel::decodeCall(bytes.data(), bytes.size());
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->method, "onStatsUpdate");
  ASSERT_EQ(call->arguments.kind, Value::Kind::kMap);
  EXPECT_EQ(call->arguments.numbers.at("bytesSent"), -2147483648LL);
  EXPECT_EQ(call->arguments.numbers.at("bytesReceived"), 5);
  EXPECT_EQ(call->arguments.numbers.at("activeConnections"), 2);
  for (size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_FALSE(standin::panel::decodeCall(bytes.data(), size).has_value()) << size;
  }
  // A size prefix far beyond the message is refused, not read.
  const uint8_t huge[] = {7, 255, 0xFF, 0xFF, 0xFF, 0x7F, 'a'};
  EXPECT_FALSE(standin::panel::decodeCall(huge, sizeof(huge)).has_value());
}

}  // namespace
