// How much traffic the load tests move. The shape of every test is the same in every build;
// only the volume shrinks where each byte or thread costs more: under the sanitizers
// (instrumented pump, relays and thread start-up) and under Wine (every socket call goes
// through the Wine server).
#pragma once

#include <cstdint>

namespace quillon::testing {

#if defined(__SANITIZE_THREAD__)
inline constexpr uint64_t kTunnelBytesEachWay = uint64_t{1} << 20;
inline constexpr int kConnectCloseCycles = 1000;
inline constexpr int kIdleConnections = 1000;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr uint64_t kTunnelBytesEachWay = uint64_t{2} << 20;
inline constexpr int kConnectCloseCycles = 2000;
inline constexpr int kIdleConnections = 2000;
#elif defined(_WIN32)
inline constexpr uint64_t kTunnelBytesEachWay = uint64_t{256} << 10;
inline constexpr int kConnectCloseCycles = 400;
inline constexpr int kIdleConnections = 2000;
#else
inline constexpr uint64_t kTunnelBytesEachWay = uint64_t{4} << 20;
inline constexpr int kConnectCloseCycles = 2000;
inline constexpr int kIdleConnections = 2000;
#endif

inline constexpr int kConcurrentTunnels = 200;

}  // namespace quillon::testing
