// The WinINet HTTP backend: InternetOpenA / InternetOpenUrlA / InternetReadFile.
#include <windows.h>
// clang-format off
#include <wininet.h>
#include <mmsystem.h>
// clang-format on

#include <cstdio>
#include <mutex>
#include <string>

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

class WinInetRequest final : public HttpRequest {
 public:
  explicit WinInetRequest(HINTERNET request) : m_request(request) {}
  ~WinInetRequest() override { InternetCloseHandle(m_request); }

  bool Read(std::uint8_t* chunk, std::uint32_t capacity, std::uint32_t* count) override {
    DWORD read = 0;
    const BOOL ok = InternetReadFile(m_request, chunk, capacity, &read);
    *count = read <= capacity ? read : 0;
    if (ok == FALSE) m_failure = FailureOf(GetLastError());
    return ok != FALSE && read <= capacity;
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
  HttpFailure m_failure;
};

class WinInetClient final : public HttpClient {
 public:
  explicit WinInetClient(HINTERNET client) : m_client(client) {}
  ~WinInetClient() override { InternetCloseHandle(m_client); }

  std::unique_ptr<HttpRequest> OpenUrl(const char* url) override {
    HINTERNET request =
        InternetOpenUrlA(m_client, url, kExtraHeader, kExtraHeaderLength, kRequestFlags, 0);
    if (request == nullptr) {
      m_lastFailure = FailureOf(GetLastError());
      return nullptr;
    }
    m_lastFailure = {};
    return std::make_unique<WinInetRequest>(request);
  }
  HttpFailure LastFailure() const override { return m_lastFailure; }

 private:
  HINTERNET m_client;
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
    return std::make_unique<WinInetClient>(client);
  }
};

}  // namespace

HttpBackend& PlatformHttpBackend() {
  static WinInetBackend backend;
  return backend;
}

}  // namespace vqr
