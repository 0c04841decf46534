// Load generator for the forwarder benchmark (Linux). Every request goes to a forward proxy
// and names the origin in absolute form, or goes through a CONNECT tunnel to the origin.
// PROXY and ORIGIN are IPv4:PORT, or a bare port on 127.0.0.1.
//
//   bench_client seq  PROXY ORIGIN COUNT SIZE [AUTH]
//       COUNT requests one after the other, each on a new connection; prints
//       "p50_us p99_us requests_per_s errors".
//   bench_client seqtunnel PROXY ORIGIN COUNT SIZE [AUTH]
//       the same, each request in a CONNECT tunnel of its own opened on the new connection.
//   bench_client conc PROXY ORIGIN CONNS MILLIS SIZE [AUTH]
//       CONNS workers issue requests on new connections for MILLIS ms; prints
//       "requests_per_s requests errors".
//   bench_client idle PROXY ORIGIN COUNT HOLD_S MOVE [AUTH]
//       opens COUNT CONNECT tunnels to the origin, fetching MOVE bytes (/bytes/MOVE, none when 0)
//       through each as it opens, so that every tunnel has carried data; prints "ready OPENED" and holds
//       them for HOLD_S seconds (or until it is stopped), then closes them.
//   bench_client firstbyte PROXY ORIGIN tunnel|plain COUNT GAP_MS SIZE [AUTH]
//       COUNT new connections one at a time, GAP_MS apart; each times from its connect() to the
//       first byte of the origin's answer (through its own CONNECT tunnel, or as a plain GET),
//       then reads the answer to its end. Prints "p50_us p90_us errors".
//   bench_client burst PROXY ORIGIN tunnel|plain BURSTS SIZE_OF_BURST IDLE_MS SIZE [AUTH]
//       BURSTS times: IDLE_MS without connections, then SIZE_OF_BURST new connections at once,
//       timed as with firstbyte. Prints "p50_us p90_us errors".
//   bench_client sink PORTFILE
//       a stand-in upstream proxy on 127.0.0.1 (for many idle tunnels): answers every CONNECT
//       with 200 and then holds the connection, discarding what arrives. Writes its port to
//       PORTFILE and runs until stopped.
//   bench_client handshakes PROXY TARGET COUNT
//       COUNT CONNECT hand-shakes one after the other on new connections, each timed until the
//       proxy's 200 reply; prints "p50_us p99_us errors".
//
// AUTH is the Base64 text of "user:password", sent as Proxy-Authorization when given.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIoTimeoutMs = 10000;

struct Endpoint {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string text() const { return host + ":" + std::to_string(port); }
};

Endpoint parseEndpoint(const std::string& text) {
  Endpoint endpoint;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) endpoint.host = text.substr(0, colon);
  endpoint.port = std::atoi(text.c_str() + (colon == std::string::npos ? 0 : colon + 1));
  return endpoint;
}

int connectTo(const Endpoint& to) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(to.port));
  if (::inet_pton(AF_INET, to.host.c_str(), &address.sin_addr) != 1) return -1;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
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

// Reads a response head (until the blank line) into `head`, starting with the bytes already
// in `rest`; the bytes after the head stay in `rest`.
bool readHead(int fd, std::string& head, std::string& rest) {
  char buffer[16384];
  std::string data = std::move(rest);
  rest.clear();
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
  Endpoint proxy;
  Endpoint origin;
  std::string auth;
  bool tunnel = false;  // each request in a CONNECT tunnel of its own
};

std::string authLine(const Target& target) {
  return target.auth.empty() ? "" : "Proxy-Authorization: Basic " + target.auth + "\r\n";
}

std::string connectRequest(const Target& target) {
  const std::string origin = target.origin.text();
  return "CONNECT " + origin + " HTTP/1.1\r\nHost: " + origin + "\r\n" + authLine(target) + "\r\n";
}

// Sends the CONNECT request and reads the proxy's answer; bytes after its head stay in `rest`.
bool openTunnel(int fd, const Target& target, std::string& rest) {
  std::string head;
  return sendAll(fd, connectRequest(target)) && readHead(fd, head, rest) &&
         head.find(" 200") != std::string::npos;
}

// One GET on a new connection (in a tunnel of its own when the target says so), read to the
// end of its body. False on any failure.
bool fetchOnce(const Target& target, long size) {
  const int fd = connectTo(target.proxy);
  if (fd < 0) return false;
  const std::string origin = target.origin.text();
  const std::string path = "/bytes/" + std::to_string(size);
  std::string head, rest;
  bool ok = true;
  std::string request;
  if (target.tunnel) {
    ok = openTunnel(fd, target, rest);
    request = "GET " + path + " HTTP/1.1\r\nHost: " + origin + "\r\n\r\n";
  } else {
    request = "GET http://" + origin + path + " HTTP/1.1\r\nHost: " + origin + "\r\n" +
              authLine(target) + "\r\n";
  }
  ok = ok && sendAll(fd, request);
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

// One GET of `size` bytes inside an open tunnel, read to the end of its body; the connection
// stays open.
bool fetchInTunnel(int fd, const Target& target, long size, std::string& rest) {
  const std::string request = "GET /bytes/" + std::to_string(size) +
                              " HTTP/1.1\r\nHost: " + target.origin.text() + "\r\n\r\n";
  std::string head;
  if (!sendAll(fd, request) || !readHead(fd, head, rest)) return false;
  long left = contentLength(head) - static_cast<long>(rest.size());
  rest.clear();
  char buffer[65536];
  while (left > 0) {
    const ssize_t n = readSome(fd, buffer, sizeof(buffer));
    if (n <= 0) return false;
    left -= n;
  }
  return left == 0;
}

int runIdle(const Target& target, int count, int holdSeconds, long move) {
  std::vector<int> tunnels;
  for (int i = 0; i < count; ++i) {
    const int fd = connectTo(target.proxy);
    if (fd < 0) break;
    std::string rest;
    if (!openTunnel(fd, target, rest) || (move > 0 && !fetchInTunnel(fd, target, move, rest))) {
      ::close(fd);
      break;
    }
    tunnels.push_back(fd);
  }
  std::printf("ready %zu\n", tunnels.size());
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(holdSeconds));
  for (int fd : tunnels) ::close(fd);
  return tunnels.size() == static_cast<size_t>(count) ? 0 : 1;
}

// Prints the median and the `high` quantile of `micros`, and the error count.
int printQuantiles(std::vector<double> micros, int errors, double high) {
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) {
    return micros.empty() ? 0.0 : micros[static_cast<size_t>(q * (micros.size() - 1))];
  };
  std::printf("%.0f %.0f %d\n", at(0.50), at(high), errors);
  return 0;
}

// One new connection: microseconds from connect() to the first byte of the origin's answer,
// or -1 when any step failed (the answer is read to its end and checked).
double firstByteOnce(const Target& target, long size) {
  const auto t0 = Clock::now();
  const int fd = connectTo(target.proxy);
  if (fd < 0) return -1;
  const std::string origin = target.origin.text();
  const std::string path = "/bytes/" + std::to_string(size);
  std::string head, rest, request;
  bool ok = true;
  if (target.tunnel) {
    ok = openTunnel(fd, target, rest) && rest.empty();
    request = "GET " + path + " HTTP/1.1\r\nHost: " + origin + "\r\n\r\n";
  } else {
    request = "GET http://" + origin + path + " HTTP/1.1\r\nHost: " + origin + "\r\n" +
              authLine(target) + "\r\n";
  }
  ok = ok && sendAll(fd, request);
  char buffer[65536];
  ssize_t n = ok ? readSome(fd, buffer, sizeof(buffer)) : -1;
  const auto t1 = Clock::now();
  ok = ok && n > 0;
  if (ok) rest.assign(buffer, static_cast<size_t>(n));
  ok = ok && readHead(fd, head, rest) && head.compare(0, 12, "HTTP/1.1 200") == 0;
  long left = ok ? contentLength(head) - static_cast<long>(rest.size()) : 0;
  ok = ok && left >= 0;
  while (ok && left > 0) {
    n = readSome(fd, buffer, sizeof(buffer));
    if (n <= 0) ok = false;
    left -= n;
  }
  ::close(fd);
  return ok ? std::chrono::duration<double, std::micro>(t1 - t0).count() : -1;
}

int runFirstByte(const Target& target, int count, int gapMs, long size) {
  std::vector<double> micros;
  int errors = 0;
  for (int i = 0; i < count; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    const double us = firstByteOnce(target, size);
    if (us < 0) {
      ++errors;
    } else {
      micros.push_back(us);
    }
  }
  return printQuantiles(std::move(micros), errors, 0.90);
}

int runBursts(const Target& target, int bursts, int burstSize, int idleMs, long size) {
  std::vector<double> micros;
  int errors = 0;
  std::mutex mutex;
  for (int b = 0; b < bursts; ++b) {
    std::this_thread::sleep_for(std::chrono::milliseconds(idleMs));
    std::vector<std::thread> threads;
    for (int i = 0; i < burstSize; ++i) {
      threads.emplace_back([&] {
        const double us = firstByteOnce(target, size);
        std::lock_guard<std::mutex> lock(mutex);
        if (us < 0) {
          ++errors;
        } else {
          micros.push_back(us);
        }
      });
    }
    for (std::thread& t : threads) t.join();
  }
  return printQuantiles(std::move(micros), errors, 0.90);
}

// The stand-in upstream: one epoll loop; a connection's first bytes up to a blank line get the
// 200 answer, everything later is read and dropped.
int runSink(const std::string& portFile) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener, 4096) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("sink");
    return 1;
  }
  {
    std::ofstream out(portFile + ".tmp");
    out << ntohs(address.sin_port) << "\n";
  }
  std::rename((portFile + ".tmp").c_str(), portFile.c_str());
  const int poller = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
  std::vector<std::string> heads(1 << 16);  // by descriptor: the head so far, "!" once answered
  const std::string answer = "HTTP/1.1 200 Connection established\r\n\r\n";
  char buffer[16384];
  for (;;) {
    epoll_event ready[256];
    const int n = ::epoll_wait(poller, ready, 256, -1);
    for (int i = 0; i < n; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == listener) {
        for (;;) {
          const int client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (client < 0) break;
          if (static_cast<size_t>(client) >= heads.size()) heads.resize(client * 2);
          heads[client].clear();
          epoll_event add{};
          add.events = EPOLLIN;
          add.data.fd = client;
          ::epoll_ctl(poller, EPOLL_CTL_ADD, client, &add);
        }
        continue;
      }
      const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
      if (got <= 0) {
        ::close(fd);
        continue;
      }
      std::string& head = heads[fd];
      if (head == "!") continue;
      head.append(buffer, static_cast<size_t>(got));
      if (head.find("\r\n\r\n") != std::string::npos) {
        sendAll(fd, answer);
        head = "!";
      }
    }
  }
}

int runHandshakes(const Target& target, int count) {
  std::vector<double> micros;
  int errors = 0;
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    const int fd = connectTo(target.proxy);
    std::string rest;
    const bool ok = fd >= 0 && openTunnel(fd, target, rest);
    if (fd >= 0) ::close(fd);
    if (!ok) {
      ++errors;
      continue;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  return printQuantiles(std::move(micros), errors, 0.99);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "sink") return runSink(argv[2]);
  if (argc < 5) {
    std::fprintf(stderr, "usage: see the comment at the top of bench_client.cpp\n");
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "handshakes") {
    Target target{parseEndpoint(argv[2]), parseEndpoint(argv[3]), "", true};
    return runHandshakes(target, std::atoi(argv[4]));
  }
  if ((mode == "firstbyte" && argc >= 8) || (mode == "burst" && argc >= 9)) {
    const bool tunnel = std::string(argv[4]) == "tunnel";
    Target target{parseEndpoint(argv[2]), parseEndpoint(argv[3]), "", tunnel};
    if (mode == "firstbyte") {
      if (argc > 8) target.auth = argv[8];
      return runFirstByte(target, std::atoi(argv[5]), std::atoi(argv[6]), std::atol(argv[7]));
    }
    if (argc > 9) target.auth = argv[9];
    return runBursts(target, std::atoi(argv[5]), std::atoi(argv[6]), std::atoi(argv[7]),
                     std::atol(argv[8]));
  }
  if (argc < 6) {
    std::fprintf(stderr, "usage: see the comment at the top of bench_client.cpp\n");
    return 2;
  }
  Target target{parseEndpoint(argv[2]), parseEndpoint(argv[3]), "", mode == "seqtunnel"};
  if (mode == "seq" || mode == "seqtunnel") {
    if (argc > 6) target.auth = argv[6];
    return runSequential(target, std::atoi(argv[4]), std::atol(argv[5]));
  }
  if (mode == "conc" && argc >= 7) {
    if (argc > 7) target.auth = argv[7];
    return runConcurrent(target, std::atoi(argv[4]), std::atoi(argv[5]), std::atol(argv[6]));
  }
  if (mode == "idle" && argc >= 7) {
    if (argc > 7) target.auth = argv[7];
    return runIdle(target, std::atoi(argv[4]), std::atoi(argv[5]), std::atol(argv[6]));
  }
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
