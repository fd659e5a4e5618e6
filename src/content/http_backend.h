// The HTTP backend seam: the platform operations under FetchUrl.
//
// FetchUrl keeps the chunk loop, the capacity bound, the local file and the message boxes
// once, for every platform. A backend provides one GET, read piece by piece, with:
//   * the user agent "Agent%ld" formatted with a millisecond counter (milliseconds since the
//     system started, printed as a signed 32-bit number);
//   * the extra request header "Accept: */*";
//   * no cached copy, neither from a local cache nor from a proxy, and nothing stored in a
//     local cache;
//   * redirects followed, but never from https to http;
//   * the system's proxy configuration;
//   * for https, the peer's certificate and host name verified against the system's trust
//     (never switched off). On Linux the PEM bundle named by the environment variable
//     VQR_CA_FILE is trusted in addition, for tests and private deployments.
// Backends: WinINet (Windows) and libcurl (everywhere else). Both are defined by the
// vqr_http_platform library; a program that calls FetchUrl links it.
//
// Decisions this seam fixes for every backend:
//
// * Time bounds. A server must not hold the updater as long as it likes, neither by sending
//   nothing nor by sending a little at a time (a byte a second of body, a header line a
//   second, an interim "100 Continue" a second). Every download is bounded four ways:
//     - connectMs (60 s) for the TCP connection to be made;
//     - receiveMs (30 s) for any single wait for data from the server, both for the response
//       headers and for each piece of the body;
//     - a least rate: fewer than rateBytes (1,024) bytes received in any of the consecutive
//       windows of rateWindowMs (30 s) that follow the connection fails the download. Every
//       byte from the server counts: status lines and headers (interim responses' too) and
//       the body;
//     - a total time, TotalTimeLimitMs() below, that grows with the size the caller can
//       accept: totalBaseMs (60 s) plus totalPer64KiBMs (1 s) for every 64 KiB (begun) of
//       the capacity FetchUrl passes to OpenUrl. The largest image (a few MiB) thus has a few
//       minutes; a catalog about one.
//   libcurl: the connect timeout is libcurl's own; the other three are kept by the backend's
//   own transfer loop, which sees every header and body byte. WinINet: the connect, send and
//   receive timeouts are WinINet's options (set only when a test changes them, since they are
//   WinINet's own defaults); each read takes only what has arrived, so the total time and the
//   least rate over the body are checked between pieces, and a watchdog closes the client's
//   handles when the total time runs out, which on Windows ends a blocked call (the headers'
//   wait included). WinINet offers no hook to count header bytes as they arrive, so there the
//   least rate covers the body only. Wine ignores the receive timeout and does not end a
//   blocked InternetOpenUrlA or read when its handles are closed: under Wine a server that
//   drips its headers, or that goes silent within the body, still holds the request.
//   Tests shorten every bound with SetTimeouts().
// * A stall while waiting for the response headers is a failure to open the URL; a stall
//   within the body is a failed read.
// * The response's status code and declared length are not examined: whatever body the
//   client hands back is the download. A body that ends before the length the server declared
//   (the connection closed early) is a failed read where the client reports it as such.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace vqr {

// Why a request could not be opened or read, for a diagnostic line (the window shows only its
// message boxes). Each kind is a different cause, so a missing file, a dead network and a
// refused certificate never read alike.
struct HttpFailure {
  enum class Kind {
    kNone,
    kResolve,           // the host name does not resolve
    kConnect,           // no connection (refused, unreachable)
    kCertificate,       // the peer's certificate or host name was not accepted
    kTimeout,           // a time bound ran out
    kInsecureRedirect,  // a redirect from https to http, which is refused
    kOther,
  };
  Kind kind = Kind::kNone;
  // The platform's own words: libcurl's error text, or WinINet's error number.
  std::string detail;
};

// A short English phrase for a failure kind ("certificate not accepted").
const char* HttpFailureText(HttpFailure::Kind kind);

inline constexpr std::uint32_t kDefaultConnectTimeoutMs = 60000;
inline constexpr std::uint32_t kDefaultReceiveTimeoutMs = 30000;

struct HttpTimeouts {
  std::uint32_t connectMs = kDefaultConnectTimeoutMs;
  std::uint32_t receiveMs = kDefaultReceiveTimeoutMs;
  std::uint32_t rateBytes = 1024;
  std::uint32_t rateWindowMs = 30000;
  std::uint32_t totalBaseMs = 60000;
  std::uint32_t totalPer64KiBMs = 1000;
};

// The total time one download of at most `capacity` bytes may take, in milliseconds, from
// the start of the request to the end of the body.
inline std::uint64_t TotalTimeLimitMs(const HttpTimeouts& timeouts, std::uint32_t capacity) {
  const std::uint64_t blocks = (static_cast<std::uint64_t>(capacity) + 0xFFFF) / 0x10000;
  return timeouts.totalBaseMs + blocks * timeouts.totalPer64KiBMs;
}

// One GET request whose response headers have arrived. Destroying it releases the request
// (and its connection).
class HttpRequest {
 public:
  virtual ~HttpRequest() = default;

  // Reads up to `capacity` further body bytes into `chunk` (capacity > 0). Blocks until at
  // least one byte has arrived, the body has ended, or the read failed; a wait for data is
  // bounded by the time bounds above. Returns true with *count > 0 for data, true with
  // *count == 0 when the body is complete, and false when the read failed (the connection
  // broke, the body was cut short, the bound ran out). Never stores more than `capacity`
  // bytes.
  virtual bool Read(std::uint8_t* chunk, std::uint32_t capacity, std::uint32_t* count) = 0;

  // The final response's HTTP status code (200, 404, ...), 0 when unknown.
  virtual int Status() const = 0;
  // Why the last Read failed.
  virtual HttpFailure Failure() const = 0;
};

// The client opened with the user agent. Destroying it releases the client; every request
// made under it must have been destroyed first.
class HttpClient {
 public:
  virtual ~HttpClient() = default;

  // Issues a GET of `url` (an absolute http URL) and blocks until the response headers have
  // arrived (bounded by the time bounds above). `capacity` is the most body bytes the caller
  // will take; it sets the request's total time, TotalTimeLimitMs(), which covers the
  // request's reads too. Returns null when the URL cannot
  // be opened: a malformed URL, a name that does not resolve, a refused connection, a bound
  // that ran out. Any response counts as opened, whatever its status.
  virtual std::unique_ptr<HttpRequest> OpenUrl(const char* url, std::uint32_t capacity) = 0;

  // Why the last OpenUrl gave null.
  virtual HttpFailure LastFailure() const = 0;
};

class HttpBackend {
 public:
  virtual ~HttpBackend() = default;

  // Opens a client with the user agent formatted now. Null when the platform's client
  // cannot be opened. Non-blocking apart from the platform's initialisation.
  virtual std::unique_ptr<HttpClient> OpenClient() = 0;

  // The time bounds for clients opened from now on. Thread-safe.
  void SetTimeouts(const HttpTimeouts& timeouts) {
    std::lock_guard lock(m_timeoutsMutex);
    m_timeouts = timeouts;
  }
  HttpTimeouts Timeouts() const {
    std::lock_guard lock(m_timeoutsMutex);
    return m_timeouts;
  }

 private:
  mutable std::mutex m_timeoutsMutex;
  HttpTimeouts m_timeouts;
};

// The platform's backend, defined by vqr_http_platform (WinINet or libcurl). Valid for the
// whole process.
HttpBackend& PlatformHttpBackend();

}  // namespace vqr
