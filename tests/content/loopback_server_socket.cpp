// The socket loopback server: one thread per connection, HTTP/1.1 with "Connection: close",
// enough of the protocol for the fetch tests. The Windows test program's only server; on
// Linux the one for slow (dripping) servers.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "loopback_server.h"

namespace vqr::test {

namespace {

#ifdef _WIN32
constexpr int kSendFlags = 0;
using SocketLength = int;
#else
using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SD_SEND = SHUT_WR;
constexpr int SD_BOTH = SHUT_RDWR;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a client that hung up is a failed send, no signal
using SocketLength = socklen_t;
int closesocket(SOCKET s) {
  return close(s);
}
#endif

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool SendAll(SOCKET s, const char* data, std::size_t size) {
  while (size > 0) {
    const int n = send(s, data, static_cast<int>(std::min<std::size_t>(size, 65536)), kSendFlags);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

class SocketServer final : public LoopbackServer {
 public:
  SocketServer() {
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
    m_listen = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(m_listen, 16);
    SocketLength length = sizeof address;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { AcceptLoop(); });
  }
  ~SocketServer() override {
    Stop();
#ifdef _WIN32
    WSACleanup();
#endif
  }

  void Set(const std::string& path, Route route) override {
    std::lock_guard lock(m_mutex);
    m_routes[path] = std::move(route);
  }
  std::uint16_t Port() const override {
    return m_port;
  }
  std::vector<SeenRequest> Seen() const override {
    std::lock_guard lock(m_mutex);
    return m_seen;
  }
  void Stop() override {
    {
      std::lock_guard lock(m_mutex);
      if (m_stopping) return;
      m_stopping = true;
    }
    m_released.notify_all();
    shutdown(m_listen, SD_BOTH);  // wakes a blocked accept() on Linux
    closesocket(m_listen);
    m_acceptor.join();
    for (std::thread& t : m_connections) t.join();
  }

 private:
  void AcceptLoop() {
    for (;;) {
      SOCKET s = accept(m_listen, nullptr, nullptr);
      if (s == INVALID_SOCKET) return;
      std::lock_guard lock(m_mutex);
      if (m_stopping) {
        closesocket(s);
        return;
      }
      m_connections.emplace_back([this, s] {
        Serve(s);
        closesocket(s);
      });
    }
  }

  void WaitForStop() {
    std::unique_lock lock(m_mutex);
    m_released.wait(lock, [this] { return m_stopping; });
  }
  // Waits `ms`; false when the server is stopping.
  bool Pause(std::uint32_t ms) {
    std::unique_lock lock(m_mutex);
    return !m_released.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopping; });
  }

  // Sends the route's script slowly until the client gives up or the server stops.
  void Drip(SOCKET s, const Route& route) {
    const auto send = [s](const std::string& text) { return SendAll(s, text.data(), text.size()); };
    if (route.drip == test::Drip::kHeaders) {
      if (!send("HTTP/1.1 200 X\r\n")) return;
      for (unsigned n = 0; Pause(route.dripEveryMs); ++n)
        if (!send("X-Drip: " + std::to_string(n) + "\r\n")) return;
      return;
    }
    if (route.drip == test::Drip::kContinue) {
      while (Pause(route.dripEveryMs))
        if (!send("HTTP/1.1 100 Continue\r\n\r\n")) return;
      return;
    }
    if (!send("HTTP/1.1 200 X\r\nContent-Length: " + std::to_string(route.body.size()) +
              "\r\nConnection: close\r\n\r\n"))
      return;
    for (std::size_t at = 0; at < route.body.size() && Pause(route.dripEveryMs);
         at += route.dripBytes)
      if (!send(route.body.substr(at, route.dripBytes))) return;
  }

  void Serve(SOCKET s) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      const int n = recv(s, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    SeenRequest seen;
    const std::size_t pathStart = request.find(' ') + 1;
    seen.path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
    std::size_t line = request.find("\r\n") + 2;
    while (line < request.size()) {
      const std::size_t end = request.find("\r\n", line);
      if (end == std::string::npos || end == line) break;
      const std::string header = request.substr(line, end - line);
      const std::size_t colon = header.find(':');
      if (colon != std::string::npos) {
        const std::string name = Lower(header.substr(0, colon));
        std::string value = header.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        if (name == "user-agent") seen.userAgent = value;
        if (name == "accept") seen.accept = value;
        if (name == "cache-control") seen.cacheControl = value;
        if (name == "pragma") seen.pragma = value;
      }
      line = end + 2;
    }
    Route route;
    {
      std::lock_guard lock(m_mutex);
      m_seen.push_back(seen);
      const auto it = m_routes.find(seen.path);
      if (it == m_routes.end()) {
        route.status = 404;
        route.body = "no such file";
      } else {
        route = it->second;
      }
    }
    if (route.drip != test::Drip::kNone) {
      Drip(s, route);
      return;
    }
    if (route.stallBeforeHeaders) {
      WaitForStop();
      return;
    }
    std::string head = "HTTP/1.1 " + std::to_string(route.status) +
                       " X\r\nContent-Length: " + std::to_string(route.body.size()) +
                       "\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n";
    if (!route.location.empty()) head += "Location: " + route.location + "\r\n";
    head += "\r\n";
    if (!SendAll(s, head.data(), head.size())) return;
    const std::size_t limit = std::min({route.cutAfter, route.stallAfter, route.body.size()});
    if (!SendAll(s, route.body.data(), limit)) return;
    if (route.stallAfter != kAll) WaitForStop();
    shutdown(s, SD_SEND);
  }

  SOCKET m_listen = INVALID_SOCKET;
  std::uint16_t m_port = 0;
  std::thread m_acceptor;
  std::vector<std::thread> m_connections;
  mutable std::mutex m_mutex;
  std::condition_variable m_released;
  bool m_stopping = false;
  std::map<std::string, Route> m_routes;
  std::vector<SeenRequest> m_seen;
};

}  // namespace

std::unique_ptr<LoopbackServer> StartSocketLoopbackServer() {
  return std::make_unique<SocketServer>();
}

#ifdef _WIN32
std::unique_ptr<LoopbackServer> StartLoopbackServer() {
  return StartSocketLoopbackServer();
}
#endif

}  // namespace vqr::test
