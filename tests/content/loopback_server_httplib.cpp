#include <httplib.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "loopback_server.h"

namespace vqr::test {

namespace {

class HttplibServer final : public LoopbackServer {
 public:
  HttplibServer() {
    m_server.Get(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
      Handle(request, response);
    });
    m_port = static_cast<std::uint16_t>(m_server.bind_to_any_port("127.0.0.1"));
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    while (!m_server.is_running()) std::this_thread::yield();
  }
  ~HttplibServer() override { Stop(); }

  void Set(const std::string& path, Route route) override {
    std::lock_guard lock(m_mutex);
    m_routes[path] = std::move(route);
  }
  std::uint16_t Port() const override { return m_port; }
  std::vector<SeenRequest> Seen() const override {
    std::lock_guard lock(m_mutex);
    return m_seen;
  }
  void Stop() override {
    {
      std::lock_guard lock(m_mutex);
      m_stopping = true;
    }
    m_released.notify_all();
    if (m_thread.joinable()) {
      m_server.stop();
      m_thread.join();
    }
  }

 private:
  void WaitForStop() {
    std::unique_lock lock(m_mutex);
    m_released.wait(lock, [this] { return m_stopping; });
  }

  void Handle(const httplib::Request& request, httplib::Response& response) {
    Route route;
    {
      std::lock_guard lock(m_mutex);
      m_seen.push_back(
          {request.path, request.get_header_value("User-Agent"), request.get_header_value("Accept"),
           request.get_header_value("Cache-Control"), request.get_header_value("Pragma")});
      const auto it = m_routes.find(request.path);
      if (it == m_routes.end()) {
        response.status = 404;
        response.set_content("no such file", "text/plain");
        return;
      }
      route = it->second;
    }
    if (route.stallBeforeHeaders) WaitForStop();
    response.status = route.status;
    if (!route.location.empty()) response.set_header("Location", route.location);
    if (route.cutAfter == kAll && route.stallAfter == kAll) {
      response.set_content(route.body, "application/octet-stream");
      return;
    }
    // The full length is declared; the provider stops early.
    const std::size_t limit = std::min(route.cutAfter, route.stallAfter);
    response.set_content_provider(
        route.body.size(), "application/octet-stream",
        [this, route, limit](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          if (offset < limit) {
            const std::size_t n = std::min(length, limit - offset);
            sink.write(route.body.data() + offset, n);
            return true;
          }
          if (route.stallAfter != kAll) WaitForStop();
          return false;  // closes the connection before the declared end
        });
  }

  httplib::Server m_server;
  std::uint16_t m_port = 0;
  std::thread m_thread;
  mutable std::mutex m_mutex;
  std::condition_variable m_released;
  bool m_stopping = false;
  std::map<std::string, Route> m_routes;
  std::vector<SeenRequest> m_seen;
};

}  // namespace

std::unique_ptr<LoopbackServer> StartLoopbackServer() {
  return std::make_unique<HttplibServer>();
}

}  // namespace vqr::test
