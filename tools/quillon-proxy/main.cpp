// quillon-proxy: runs one local forwarding proxy from the command line, for manual testing and
// benchmarks. Log lines go to standard output and error; the statistics once a second.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "app/app_log.h"
#include "proxy/local_proxy_server.h"
#include "stop_signal.h"

namespace {

constexpr char kUsage[] =
    "usage: quillon-proxy --listen PORT --upstream HOST:PORT [--user U] [--password P]\n";

// The runner's arguments are exactly the proxy's configuration.
using Options = quillon::ProxyConfig;

// A TCP port: 1 to 65535, decimal digits only.
std::optional<uint16_t> parsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::optional<Options> parseArguments(int argc, char** argv) {
  Options options;
  bool haveListen = false;
  bool haveUpstream = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    const std::string value = argv[++i];
    if (name == "--listen") {
      const auto port = parsePort(value);
      if (!port) return std::nullopt;
      options.localPort = *port;
      haveListen = true;
    } else if (name == "--upstream") {
      const size_t colon = value.rfind(':');
      if (colon == std::string::npos || colon == 0) return std::nullopt;
      const auto port = parsePort(value.substr(colon + 1));
      if (!port) return std::nullopt;
      options.proxyHost = value.substr(0, colon);
      options.proxyPort = *port;
      haveUpstream = true;
    } else if (name == "--user") {
      options.username = value;
    } else if (name == "--password") {
      options.password = value;
    } else {
      return std::nullopt;
    }
  }
  if (!haveListen || !haveUpstream) return std::nullopt;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = parseArguments(argc, argv);
  if (!options) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // The proxy logs from many threads; lines must not interleave on the console either. The
  // locked buffers are never destroyed: the runtime flushes std::cout after main returns, and
  // detached relay threads may still write a line while the process exits.
  static auto* const out = new quillon::LockedStreamBuffer(std::cout.rdbuf());
  static auto* const err = new quillon::LockedStreamBuffer(std::cerr.rdbuf());
  std::cout.rdbuf(out);
  std::cerr.rdbuf(err);
  if (!quillon::installStopSignal()) {
    quillon::logError("cannot install the stop signal handler");
    return 1;
  }

  int exitCode = 0;
  {
    quillon::LocalProxyServer server;
    server.setStatsCallback([&server](int64_t sent, int64_t received) {
      quillon::logLine("stats: sent=", sent, " received=", received,
                       " active=", server.activeTunnelCount());
    });
    if (!server.start(options->localPort, options->proxyHost, options->proxyPort,
                      options->username, options->password)) {
      exitCode = 1;
    } else {
      while (!quillon::stopRequested() && server.isRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      // A listener that ended by itself is a failure; a requested stop is not.
      if (!server.isRunning()) exitCode = 1;
      server.stop();
    }
  }
  quillon::stopCompleted();
  std::cout.flush();
  return exitCode;
}
