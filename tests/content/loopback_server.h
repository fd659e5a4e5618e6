// A scripted HTTP server on 127.0.0.1 for the fetch tests: cpp-httplib on Linux, a small
// socket server in the Windows test program (the system's cpp-httplib is a Linux library).
// The socket server also runs on Linux, for the slow servers that cpp-httplib cannot play
// (headers sent a line at a time, interim responses).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vqr::test {

inline constexpr std::size_t kAll = static_cast<std::size_t>(-1);

// A slow server's script: what it sends a little at a time, every `dripEveryMs`, until the
// client gives up or Stop().
enum class Drip {
  kNone,
  kBody,      // the headers at once, then the body `dripBytes` at a time
  kHeaders,   // the status line, then one header line at a time, never the blank line
  kContinue,  // one interim "100 Continue" response after another
};

// What the server does for one path.
struct Route {
  int status = 200;
  std::string body;
  std::string location;           // a Location header (for redirects)
  std::size_t cutAfter = kAll;    // close the connection after this many body bytes
  std::size_t stallAfter = kAll;  // send this many body bytes, then nothing until Stop()
  bool stallBeforeHeaders = false;
  Drip drip = Drip::kNone;  // served by the socket server only
  std::uint32_t dripEveryMs = 100;
  std::size_t dripBytes = 1;
};

inline Route Serve(std::string body, int status = 200) {
  Route route;
  route.status = status;
  route.body = std::move(body);
  return route;
}
inline Route Redirect(std::string location) {
  Route route = Serve("moved", 302);
  route.location = std::move(location);
  return route;
}
inline Route CutAfter(std::string body, std::size_t sent) {
  Route route = Serve(std::move(body));
  route.cutAfter = sent;
  return route;
}

// The headers a request arrived with.
struct SeenRequest {
  std::string path;
  std::string userAgent;
  std::string accept;
  std::string cacheControl;
  std::string pragma;
};

class LoopbackServer {
 public:
  virtual ~LoopbackServer() = default;
  // Serves `route` at `path`; other paths get 404 with a short body.
  virtual void Set(const std::string& path, Route route) = 0;
  virtual std::uint16_t Port() const = 0;
  virtual std::vector<SeenRequest> Seen() const = 0;
  // Ends every stall and stops serving. Called by the destructor too.
  virtual void Stop() = 0;

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(Port()) + path;
  }
};

// Starts a server on a free port of 127.0.0.1.
std::unique_ptr<LoopbackServer> StartLoopbackServer();
// The small socket server, on every platform: the one that can drip (Route::drip).
std::unique_ptr<LoopbackServer> StartSocketLoopbackServer();

}  // namespace vqr::test
