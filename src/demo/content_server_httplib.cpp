// The demo's loopback server over cpp-httplib.
#include <httplib.h>

#include <chrono>
#include <thread>

#include "demo/demo.h"

namespace vqr::demo {

namespace {

class HttplibServer final : public ContentServer {
 public:
  explicit HttplibServer(std::map<std::string, std::vector<std::uint8_t>> files)
      : m_files(std::move(files)) {
    m_server.Get(R"(/(.*))", [this](const httplib::Request& request, httplib::Response& response) {
      const auto it = m_files.find(request.matches[1]);
      if (it == m_files.end()) {
        response.status = 404;
        response.set_content("not found", "text/plain");
        return;
      }
      response.set_content(std::string(it->second.begin(), it->second.end()),
                           "application/octet-stream");
    });
    m_port = m_server.bind_to_any_port("127.0.0.1");
    if (m_port > 0) m_thread = std::thread([this] { m_server.listen_after_bind(); });
    // A stop() before the listening loop runs is lost, and the loop would then never end:
    // the server is handed out only once it listens (or after 5 s, should it never).
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m_port > 0 && !m_server.is_running() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~HttplibServer() override {
    m_server.stop();
    if (m_thread.joinable()) m_thread.join();
  }
  bool Started() const { return m_port > 0; }
  std::string Base() const override { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }

 private:
  const std::map<std::string, std::vector<std::uint8_t>> m_files;
  httplib::Server m_server;
  int m_port = 0;
  std::thread m_thread;
};

}  // namespace

std::unique_ptr<ContentServer> ServeFiles(std::map<std::string, std::vector<std::uint8_t>> files) {
  auto server = std::make_unique<HttplibServer>(std::move(files));
  if (!server->Started()) return nullptr;
  return server;
}

}  // namespace vqr::demo
