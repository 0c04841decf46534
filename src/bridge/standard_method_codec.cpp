#include "bridge/standard_method_codec.h"

#include <variant>

#include "bridge/byte_streams.h"
#include "bridge/standard_codec_serializer.h"
#include "log/app_log.h"

namespace flutter {
namespace {

constexpr uint8_t kSuccessEnvelope = 0;
constexpr uint8_t kErrorEnvelope = 1;

}  // namespace

const StandardMethodCodec& StandardMethodCodec::instance() {
  static const StandardMethodCodec codec;
  return codec;
}

std::vector<uint8_t> StandardMethodCodec::encodeMethodCall(const MethodCall& call) const {
  std::vector<uint8_t> bytes;
  ByteBufferStreamWriter writer(&bytes);
  const auto& serializer = StandardCodecSerializer::instance();
  serializer.WriteValue(EncodableValue(call.methodName()), &writer);
  serializer.WriteValue(call.arguments(), &writer);
  return bytes;
}

std::unique_ptr<MethodCall> StandardMethodCodec::decodeMethodCall(const uint8_t* message,
                                                                  size_t size) const {
  ByteBufferStreamReader reader(message, size);
  const auto& serializer = StandardCodecSerializer::instance();
  EncodableValue name = serializer.ReadValue(&reader);
  auto* methodName = std::get_if<std::string>(&name);
  if (methodName == nullptr) {
    quillon::logError("Invalid method call; method name is not a string.");
    return nullptr;
  }
  EncodableValue arguments = serializer.ReadValue(&reader);
  return std::make_unique<MethodCall>(std::move(*methodName), std::move(arguments));
}

std::vector<uint8_t> StandardMethodCodec::encodeSuccessEnvelope(
    const EncodableValue* result) const {
  std::vector<uint8_t> bytes;
  ByteBufferStreamWriter writer(&bytes);
  writer.writeByte(kSuccessEnvelope);
  StandardCodecSerializer::instance().WriteValue(result ? *result : EncodableValue(), &writer);
  return bytes;
}

std::vector<uint8_t> StandardMethodCodec::encodeErrorEnvelope(const std::string& code,
                                                              const std::string& message,
                                                              const EncodableValue* details) const {
  std::vector<uint8_t> bytes;
  ByteBufferStreamWriter writer(&bytes);
  const auto& serializer = StandardCodecSerializer::instance();
  writer.writeByte(kErrorEnvelope);
  serializer.WriteValue(EncodableValue(code), &writer);
  serializer.WriteValue(message.empty() ? EncodableValue() : EncodableValue(message), &writer);
  serializer.WriteValue(details ? *details : EncodableValue(), &writer);
  return bytes;
}

bool StandardMethodCodec::decodeAndProcessResponseEnvelope(const uint8_t* response, size_t size,
                                                           MethodResult* result) const {
  ByteBufferStreamReader reader(response, size);
  const auto& serializer = StandardCodecSerializer::instance();
  switch (reader.readByte()) {
    case kSuccessEnvelope: {
      EncodableValue value = serializer.ReadValue(&reader);
      if (value.isNull()) {
        result->Success();
      } else {
        result->Success(value);
      }
      return true;
    }
    case kErrorEnvelope: {
      EncodableValue code = serializer.ReadValue(&reader);
      EncodableValue message = serializer.ReadValue(&reader);
      EncodableValue details = serializer.ReadValue(&reader);
      const std::string& codeText = std::get<std::string>(code);
      const std::string messageText =
          message.isNull() ? std::string() : std::get<std::string>(message);
      if (details.isNull()) {
        result->Error(codeText, messageText);
      } else {
        result->Error(codeText, messageText, details);
      }
      return true;
    }
    default:
      return false;
  }
}

}  // namespace flutter
