// Load generator for the forwarder benchmark (Linux, loopback only). Every request goes to a
// forward proxy on 127.0.0.1 and names the local origin in absolute form.
//
//   bench_client seq  PROXY ORIGIN COUNT SIZE [AUTH]
//       COUNT requests one after the other, each on a new connection; prints
//       "p50_us p99_us requests_per_s errors".
//   bench_client conc PROXY ORIGIN CONNS MILLIS SIZE [AUTH]
//       CONNS workers issue requests on new connections for MILLIS ms; prints
//       "requests_per_s requests errors".
//   bench_client idle PROXY ORIGIN COUNT HOLD_S [AUTH]
//       opens COUNT CONNECT tunnels to the origin, prints "ready OPENED" and holds them for
//       HOLD_S seconds (or until standard input closes), then closes them.
//
// AUTH is the Base64 text of "user:password", sent as Proxy-Authorization when given.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIoTimeoutMs = 10000;

int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// One bounded read: the count, 0 on close, -1 on error or time-out.
ssize_t readSome(int fd, char* buffer, size_t size) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, kIoTimeoutMs) != 1) return -1;
  return ::recv(fd, buffer, size, 0);
}

// Reads a response head (until the blank line) into `head`; the bytes after it stay in `rest`.
bool readHead(int fd, std::string& head, std::string& rest) {
  char buffer[16384];
  std::string data;
  for (;;) {
    const size_t end = data.find("\r\n\r\n");
    if (end != std::string::npos) {
      head = data.substr(0, end + 4);
      rest = data.substr(end + 4);
      return true;
    }
    if (data.size() > 65536) return false;
    const ssize_t n = readSome(fd, buffer, sizeof(buffer));
    if (n <= 0) return false;
    data.append(buffer, static_cast<size_t>(n));
  }
}

long contentLength(const std::string& head) {
  std::string lower = head;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const size_t at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return -1;
  return std::strtol(lower.c_str() + at + 17, nullptr, 10);
}

struct Target {
  int proxyPort;
  int originPort;
  std::string auth;
};

std::string authLine(const Target& target) {
  return target.auth.empty() ? "" : "Proxy-Authorization: Basic " + target.auth + "\r\n";
}

// One GET on a new connection, read to the end of its body. False on any failure.
bool fetchOnce(const Target& target, long size) {
  const int fd = connectTo(target.proxyPort);
  if (fd < 0) return false;
  const std::string origin = "127.0.0.1:" + std::to_string(target.originPort);
  const std::string request = "GET http://" + origin + "/bytes/" + std::to_string(size) +
                              " HTTP/1.1\r\nHost: " + origin + "\r\n" + authLine(target) + "\r\n";
  bool ok = sendAll(fd, request);
  std::string head, rest;
  ok = ok && readHead(fd, head, rest) && head.compare(0, 12, "HTTP/1.1 200") == 0;
  long left = ok ? contentLength(head) - static_cast<long>(rest.size()) : 0;
  ok = ok && left >= 0;
  char buffer[65536];
  while (ok && left > 0) {
    const ssize_t n = readSome(fd, buffer, sizeof(buffer));
    if (n <= 0) ok = false;
    left -= n;
  }
  ::close(fd);
  return ok;
}

int runSequential(const Target& target, int count, long size) {
  std::vector<double> micros;
  int errors = 0;
  const auto started = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    if (!fetchOnce(target, size)) ++errors;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) { return micros[static_cast<size_t>(q * (micros.size() - 1))]; };
  std::printf("%.0f %.0f %.0f %d\n", at(0.50), at(0.99), count / seconds, errors);
  return 0;
}

int runConcurrent(const Target& target, int workers, int millis, long size) {
  std::atomic<long> done{0}, errors{0};
  const auto started = Clock::now();
  const auto until = started + std::chrono::milliseconds(millis);
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&] {
      while (Clock::now() < until) {
        if (fetchOnce(target, size)) {
          ++done;
        } else {
          ++errors;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf("%.0f %ld %ld\n", done.load() / seconds, done.load(), errors.load());
  return 0;
}

int runIdle(const Target& target, int count, int holdSeconds) {
  std::vector<int> tunnels;
  const std::string origin = "127.0.0.1:" + std::to_string(target.originPort);
  const std::string request =
      "CONNECT " + origin + " HTTP/1.1\r\nHost: " + origin + "\r\n" + authLine(target) + "\r\n";
  for (int i = 0; i < count; ++i) {
    const int fd = connectTo(target.proxyPort);
    if (fd < 0) break;
    std::string head, rest;
    if (!sendAll(fd, request) || !readHead(fd, head, rest) ||
        head.find(" 200") == std::string::npos) {
      ::close(fd);
      break;
    }
    tunnels.push_back(fd);
  }
  std::printf("ready %zu\n", tunnels.size());
  std::fflush(stdout);
  pollfd in{0, POLLIN, 0};
  ::poll(&in, 1, holdSeconds * 1000);
  for (int fd : tunnels) ::close(fd);
  return tunnels.size() == static_cast<size_t>(count) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: see the comment at the top of bench_client.cpp\n");
    return 2;
  }
  const std::string mode = argv[1];
  Target target{std::atoi(argv[2]), std::atoi(argv[3]), ""};
  if (mode == "seq") {
    if (argc > 6) target.auth = argv[6];
    return runSequential(target, std::atoi(argv[4]), std::atol(argv[5]));
  }
  if (mode == "conc" && argc >= 7) {
    if (argc > 7) target.auth = argv[7];
    return runConcurrent(target, std::atoi(argv[4]), std::atoi(argv[5]), std::atol(argv[6]));
  }
  if (mode == "idle") {
    if (argc > 6) target.auth = argv[6];
    return runIdle(target, std::atoi(argv[4]), std::atoi(argv[5]));
  }
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
