// quillon-proxy: runs one local forwarding proxy from the command line, for manual testing and
// benchmarks. Log lines go to standard output and error, or with --log into a file written as
// the program's own log is; the statistics once a second.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "log/app_log.h"
#include "log/log_text.h"
#include "proxy/local_proxy_server.h"
#include "stop_signal.h"

namespace {

constexpr char kUsage[] =
    "usage: quillon-proxy --listen PORT --upstream HOST:PORT [--user U]\n"
    "                     [--password-file FILE | --password P] [--log FILE]\n"
    "                     [--spares N] [--max-clients N] [--spare-min-handshake-us N]\n"
    "The upstream password is the first line of FILE (without its line end), or P, or else\n"
    "the value of the environment variable QUILLON_PROXY_PASSWORD; an option wins over the\n"
    "variable, and the two options cannot be given together. --password is visible to every\n"
    "local user in the process list: prefer the file or the variable. With --log the log lines\n"
    "go to FILE (appended, moved aside when large) as the program writes its own log.\n"
    "--spares and --max-clients replace the proxy's limits (spare upstream connections kept\n"
    "ready, client connections at once), for the benchmark; --spare-min-handshake-us sets\n"
    "the upstream handshake from which spares are kept (0: always).\n";

constexpr char kPasswordVariable[] = "QUILLON_PROXY_PASSWORD";

// The runner's arguments: the proxy's configuration and limits.
struct Options {
  quillon::ProxyConfig config;
  quillon::ProxyLimits limits;
  quillon::ProxyTimeouts timeouts;
};

// A count: 0 to 100000, decimal digits only.
std::optional<int> parseCount(const std::string& text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > 100000) return std::nullopt;
  return value;
}

// A TCP port: 1 to 65535, decimal digits only.
std::optional<uint16_t> parsePort(const std::string& text) {
  const std::optional<int> value = parseCount(text);
  if (!value || *value == 0 || *value > 65535) return std::nullopt;
  return static_cast<uint16_t>(*value);
}

// The first line of the file at `path` without its line end (LF or CR LF); false with
// `error` set when the file cannot be read or its first line is empty.
bool readPasswordFile(const std::string& path, std::string& password, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) {
    error = "cannot read the password file " + quillon::loggableText(path);
    return false;
  }
  std::getline(file, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (file.bad() || password.empty()) {
    error = "the password file " + quillon::loggableText(path) + " holds no password on its " +
            "first line";
    return false;
  }
  return true;
}

// Fills `options` from the command line and the environment. False on bad input: with
// `error` empty the usage text is the answer, otherwise `error` says what is wrong.
bool parseArguments(int argc, char** argv, Options& options, std::string& logPath,
                    std::string& error) {
  bool haveListen = false;
  bool haveUpstream = false;
  std::optional<std::string> password;
  std::optional<std::string> passwordFile;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (name == "--listen") {
      const auto port = parsePort(value);
      if (!port) return false;
      options.config.localPort = *port;
      haveListen = true;
    } else if (name == "--upstream") {
      const size_t colon = value.rfind(':');
      if (colon == std::string::npos || colon == 0) return false;
      const auto port = parsePort(value.substr(colon + 1));
      if (!port) return false;
      options.config.proxyHost = value.substr(0, colon);
      options.config.proxyPort = *port;
      haveUpstream = true;
    } else if (name == "--user") {
      options.config.username = value;
    } else if (name == "--spares" || name == "--max-clients") {
      const auto count = parseCount(value);
      if (!count) return false;
      (name == "--spares" ? options.limits.maxSpares : options.limits.maxClientConnections) =
          *count;
    } else if (name == "--spare-min-handshake-us") {
      const auto micros = parseCount(value);
      if (!micros) return false;
      options.timeouts.spareMinHandshakeUs = *micros;
    } else if (name == "--log") {
      logPath = value;
    } else if (name == "--password" && !password) {
      password = value;
    } else if (name == "--password-file" && !passwordFile) {
      passwordFile = value;
    } else if (name == "--password" || name == "--password-file") {
      error = name + " is given twice";
      return false;
    } else {
      return false;
    }
  }
  if (!haveListen || !haveUpstream) return false;
  if (password && passwordFile) {
    error = "--password and --password-file cannot be used together";
    return false;
  }
  if (passwordFile) return readPasswordFile(*passwordFile, options.config.password, error);
  if (password) {
    options.config.password = *password;
  } else if (const char* fromEnvironment = std::getenv(kPasswordVariable)) {
    options.config.password = fromEnvironment;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string logPath;
  std::string error;
  if (!parseArguments(argc, argv, options, logPath, error)) {
    if (error.empty()) {
      std::fputs(kUsage, stderr);
    } else {
      std::fprintf(stderr, "quillon-proxy: %s\n", error.c_str());
    }
    return 2;
  }
  // The proxy logs from many threads; lines must not interleave on the console either. The
  // locked buffers are never destroyed: the runtime flushes std::cout after main returns, and
  // detached relay threads may still write a line while the process exits.
  if (!logPath.empty()) {
    quillon::AppLog::openAt(logPath);
  } else {
    static auto* const out = new quillon::LockedStreamBuffer(std::cout.rdbuf());
    static auto* const err = new quillon::LockedStreamBuffer(std::cerr.rdbuf());
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
  }
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
    server.setLimits(options.limits);
    server.setTimeouts(options.timeouts);
    if (!server.start(options.config)) {
      exitCode = 1;
    } else {
      while (!quillon::stopRequested() && server.isRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      // A listener that ended by itself is a failure; a requested stop is not.
      if (!server.isRunning()) exitCode = 1;
      server.stop();
    }
    // For the benchmark: how many spare upstream connections were made, and how many served.
    const quillon::SpareCounts spares = server.spareCounts();
    quillon::logLine("spares: connected=", spares.connected, " taken=", spares.taken);
  }
  quillon::stopCompleted();
  std::cout.flush();
  return exitCode;
}
