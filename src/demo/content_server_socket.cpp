// The demo's loopback server on Windows, where the system's cpp-httplib is not available: a
// small HTTP/1.1 server over Winsock that answers GET requests for a fixed set of files, one
// connection at a time, each closed after its response.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <string>
#include <thread>

#include "demo/demo.h"

namespace vqr::demo {

namespace {

constexpr std::size_t kMaxRequest = 8192;

class SocketServer final : public ContentServer {
 public:
  explicit SocketServer(std::map<std::string, std::vector<std::uint8_t>> files)
      : m_files(std::move(files)) {
    WSADATA data;
    m_wsa = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    if (!m_wsa) return;
    m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_listener == INVALID_SOCKET) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 8) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }

  ~SocketServer() override {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
    if (m_listener != INVALID_SOCKET) closesocket(m_listener);
    if (m_wsa) WSACleanup();
  }

  bool Started() const { return m_port != 0; }
  std::string Base() const override { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }

 private:
  void Serve() {
    while (!m_stop.load()) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(m_listener, &readable);
      timeval wait{0, 100000};
      if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
      const SOCKET client = accept(m_listener, nullptr, nullptr);
      if (client == INVALID_SOCKET) continue;
      Answer(client);
      shutdown(client, SD_SEND);
      closesocket(client);
    }
  }

  void Answer(SOCKET client) {
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequest) {
      const int got = recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      request.append(buffer, static_cast<std::size_t>(got));
    }
    // "GET /path HTTP/1.1"
    std::string path;
    if (request.rfind("GET /", 0) == 0) {
      const std::size_t end = request.find(' ', 5);
      if (end != std::string::npos) path = request.substr(5, end - 5);
    }
    const auto it = m_files.find(path);
    std::string head;
    std::string body;
    if (it == m_files.end()) {
      body = "not found";
      head = "HTTP/1.1 404 Not Found\r\n";
    } else {
      body.assign(it->second.begin(), it->second.end());
      head = "HTTP/1.1 200 OK\r\n";
    }
    head +=
        "Content-Type: application/octet-stream\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n";
    SendAll(client, head);
    SendAll(client, body);
  }

  static void SendAll(SOCKET client, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const int n = send(client, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

  const std::map<std::string, std::vector<std::uint8_t>> m_files;
  bool m_wsa = false;
  SOCKET m_listener = INVALID_SOCKET;
  std::uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace

std::unique_ptr<ContentServer> ServeFiles(std::map<std::string, std::vector<std::uint8_t>> files) {
  auto server = std::make_unique<SocketServer>(std::move(files));
  if (!server->Started()) return nullptr;
  return server;
}

}  // namespace vqr::demo
