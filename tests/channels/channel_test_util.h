// Expected reply bytes written out by hand (standard encoding), and small test helpers shared
// by the channel tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "channel_harness.h"

namespace quillon::testing {

// Success envelopes of the two booleans: 0, then the value tag (true 1, false 2).
inline const std::vector<uint8_t> kSuccessTrue = {0x00, 0x01};
inline const std::vector<uint8_t> kSuccessFalse = {0x00, 0x02};

// An error envelope: 1, code and message as strings (tag 7, one-byte size), null details.
inline std::vector<uint8_t> errorEnvelope(const std::string& code, const std::string& message) {
  std::vector<uint8_t> bytes = {0x01, 0x07, static_cast<uint8_t>(code.size())};
  bytes.insert(bytes.end(), code.begin(), code.end());
  bytes.push_back(0x07);
  bytes.push_back(static_cast<uint8_t>(message.size()));
  bytes.insert(bytes.end(), message.begin(), message.end());
  bytes.push_back(0x00);
  return bytes;
}

inline const std::vector<uint8_t> kMissingArguments =
    errorEnvelope("INVALID_ARGUMENTS", "缺少必要参数");

// Position of the first captured line that starts with `prefix`, or -1.
inline int lineIndex(const std::vector<std::string>& lines, const std::string& prefix) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
  }
  return -1;
}

// What the scripted upstream proxy answers before it echoes.
inline const std::string kEchoAnswer = "HTTP/1.1 200 Connection established\r\n\r\n";

// "startProxyServer" on the default local port towards 127.0.0.1:`upstreamPort`; true when the
// reply was Success(true).
inline bool startProxyAlone(ChannelHarness& harness, uint16_t upstreamPort) {
  return harness
             .vpn("startProxyServer",
                  map({{"proxyHost", "127.0.0.1"}, {"proxyTargetPort", upstreamPort}}))
             .bytes == kSuccessTrue;
}

inline flutter::EncodableValue int64Value(int64_t v) { return flutter::EncodableValue(v); }

}  // namespace quillon::testing
