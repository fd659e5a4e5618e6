// The WinINet HTTP backend: InternetOpenA / InternetOpenUrlA / InternetReadFile.
#include <windows.h>
// clang-format off
#include <wininet.h>
#include <mmsystem.h>
// clang-format on

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "content/http_backend.h"

namespace vqr {

namespace {

// The system's proxy configuration, automatic proxy configuration included.
constexpr DWORD kOpenPreconfig = 0;
// The system's proxy configuration without automatic proxy configuration scripts.
constexpr DWORD kOpenPreconfigNoAutoproxy = 4;
constexpr DWORD kConnectionProxy = 0x04;
// INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE: from the
// server, never from a cache or a proxy's copy, and not stored in a cache. Redirects are
// followed (INTERNET_FLAG_NO_AUTO_REDIRECT is not set).
constexpr DWORD kRequestFlags = 0x84000100;
constexpr char kExtraHeader[] = "Accept: */*\r\n\r\n";
constexpr DWORD kExtraHeaderLength = 15;
static_assert(sizeof kExtraHeader - 1 == kExtraHeaderLength);

// The cause behind one of WinINet's error numbers. Certificates are always verified (no
// INTERNET_FLAG_IGNORE_CERT_* flag is ever set), and a redirect from https to http is refused,
// WinINet's default.
HttpFailure FailureOf(DWORD error) {
  HttpFailure failure;
  switch (error) {
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      failure.kind = HttpFailure::Kind::kResolve;
      break;
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
      failure.kind = HttpFailure::Kind::kConnect;
      break;
    case ERROR_INTERNET_TIMEOUT:
      failure.kind = HttpFailure::Kind::kTimeout;
      break;
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
      failure.kind = HttpFailure::Kind::kCertificate;
      break;
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
      failure.kind = HttpFailure::Kind::kInsecureRedirect;
      break;
    default:
      failure.kind = HttpFailure::Kind::kOther;
      break;
  }
  failure.detail = "WinINet error " + std::to_string(error);
  return failure;
}

using Clock = std::chrono::steady_clock;

// Keeps one client's total time: when it runs out before Finish(), closes the client's root
// handle, which closes its request too and ends whatever call is blocked on either. Closing
// is WinINet's way to cancel a synchronous call from another thread.
class Watchdog {
 public:
  Watchdog(HINTERNET client, std::uint64_t limitMs) : m_client(client), m_limitMs(limitMs) {
    m_thread = std::thread([this] {
      std::unique_lock lock(m_mutex);
      if (m_cv.wait_for(lock, std::chrono::milliseconds(m_limitMs), [this] { return m_done; }))
        return;
      m_expired = true;
      InternetCloseHandle(m_client);
    });
  }
  ~Watchdog() { Finish(); }

  // Stops the watch; true when the handle is still open (the time did not run out).
  bool Finish() {
    {
      std::lock_guard lock(m_mutex);
      m_done = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable()) m_thread.join();
    return !m_expired;
  }
  bool Expired() const {
    std::lock_guard lock(m_mutex);
    return m_expired;
  }
  HttpFailure Failure() const {
    return {HttpFailure::Kind::kTimeout,
            "the download took longer than " + std::to_string(m_limitMs) + " ms"};
  }

 private:
  HINTERNET m_client;
  std::uint64_t m_limitMs;
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_done = false;
  bool m_expired = false;
  std::thread m_thread;
};

class WinInetRequest final : public HttpRequest {
 public:
  WinInetRequest(HINTERNET request, const Watchdog& watchdog, const HttpTimeouts& timeouts)
      : m_request(request),
        m_watchdog(watchdog),
        m_timeouts(timeouts),
        m_windowStart(Clock::now()) {}
  // After the watchdog closed the client, this handle is closed already; closing it again
  // only fails.
  ~WinInetRequest() override { InternetCloseHandle(m_request); }

  bool Read(std::uint8_t* chunk, std::uint32_t capacity, std::uint32_t* count) override {
    // Asks for what has arrived only, so that a read returns as each piece arrives (a read of
    // the whole chunk would wait for it to fill) and the bounds are checked between pieces.
    DWORD available = 0;
    DWORD read = 0;
    BOOL ok = InternetQueryDataAvailable(m_request, &available, 0, 0);
    if (ok != FALSE && available > 0)
      ok = InternetReadFile(m_request, chunk, available < capacity ? available : capacity, &read);
    *count = read <= capacity ? read : 0;
    if (m_watchdog.Expired()) {
      m_failure = m_watchdog.Failure();
      return false;
    }
    if (ok == FALSE) m_failure = FailureOf(GetLastError());
    if (ok == FALSE || read > capacity) return false;
    // The least rate, over the body: WinINet counts no header bytes for us.
    m_windowBytes += read;
    const auto now = Clock::now();
    if (read > 0 && now - m_windowStart >= std::chrono::milliseconds(m_timeouts.rateWindowMs)) {
      if (m_windowBytes < m_timeouts.rateBytes) {
        m_failure = {HttpFailure::Kind::kTimeout,
                     "fewer than " + std::to_string(m_timeouts.rateBytes) + " bytes in " +
                         std::to_string(m_timeouts.rateWindowMs) + " ms"};
        return false;
      }
      m_windowStart = now;
      m_windowBytes = 0;
    }
    return true;
  }

  int Status() const override {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!HttpQueryInfoA(m_request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                        nullptr))
      return 0;
    return static_cast<int>(status);
  }
  HttpFailure Failure() const override { return m_failure; }

 private:
  HINTERNET m_request;
  const Watchdog& m_watchdog;
  HttpTimeouts m_timeouts;
  Clock::time_point m_windowStart;
  std::uint64_t m_windowBytes = 0;
  HttpFailure m_failure;
};

class WinInetClient final : public HttpClient {
 public:
  WinInetClient(HINTERNET client, const HttpTimeouts& timeouts)
      : m_client(client), m_timeouts(timeouts) {}
  ~WinInetClient() override {
    // Every request is gone by now (the seam's rule); the watchdog no longer runs.
    const bool open = !m_watchdog || m_watchdog->Finish();
    if (open) InternetCloseHandle(m_client);
  }

  std::unique_ptr<HttpRequest> OpenUrl(const char* url, std::uint32_t capacity) override {
    // One watched request per client: a second request would share the first one's clock.
    if (m_watchdog) {
      m_lastFailure = {HttpFailure::Kind::kOther, "one request per client"};
      return nullptr;
    }
    m_watchdog = std::make_unique<Watchdog>(m_client, TotalTimeLimitMs(m_timeouts, capacity));
    HINTERNET request =
        InternetOpenUrlA(m_client, url, kExtraHeader, kExtraHeaderLength, kRequestFlags, 0);
    if (request == nullptr || m_watchdog->Expired()) {
      m_lastFailure = m_watchdog->Expired() ? m_watchdog->Failure() : FailureOf(GetLastError());
      if (request != nullptr) InternetCloseHandle(request);
      return nullptr;
    }
    m_lastFailure = {};
    return std::make_unique<WinInetRequest>(request, *m_watchdog, m_timeouts);
  }
  HttpFailure LastFailure() const override { return m_lastFailure; }

 private:
  HINTERNET m_client;
  HttpTimeouts m_timeouts;
  std::unique_ptr<Watchdog> m_watchdog;
  HttpFailure m_lastFailure;
};

class WinInetBackend final : public HttpBackend {
 public:
  std::unique_ptr<HttpClient> OpenClient() override {
    // Only the proxy bit is used; whether the machine counts as connected is not consulted.
    DWORD state = 0;
    InternetGetConnectedState(&state, 0);
    const DWORD access =
        (state & kConnectionProxy) != 0 ? kOpenPreconfig : kOpenPreconfigNoAutoproxy;

    char agent[32];
    std::snprintf(agent, sizeof agent, "Agent%ld", static_cast<long>(timeGetTime()));
    HINTERNET client = InternetOpenA(agent, access, nullptr, nullptr, 0);
    if (client == nullptr) return nullptr;

    // The platform's own defaults are the documented bounds; only a test's shorter (or
    // longer) bounds are set explicitly.
    const HttpTimeouts timeouts = Timeouts();
    if (timeouts.connectMs != kDefaultConnectTimeoutMs ||
        timeouts.receiveMs != kDefaultReceiveTimeoutMs) {
      DWORD connect = timeouts.connectMs;
      DWORD receive = timeouts.receiveMs;
      InternetSetOptionA(client, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
      InternetSetOptionA(client, INTERNET_OPTION_SEND_TIMEOUT, &receive, sizeof receive);
      InternetSetOptionA(client, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive);
      InternetSetOptionA(client, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, &receive, sizeof receive);
    }
    return std::make_unique<WinInetClient>(client, timeouts);
  }
};

}  // namespace

HttpBackend& PlatformHttpBackend() {
  static WinInetBackend backend;
  return backend;
}

}  // namespace vqr
