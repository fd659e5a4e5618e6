// The libcurl HTTP backend: one GET per request, driven through a multi handle so that the
// body can be pulled piece by piece like the platform reads of the Windows client.
#include <curl/curl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "content/http_backend.h"
#include "files/bounded_read.h"

namespace vqr {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds since the system started, as a signed 32-bit number like the Windows counter.
std::int32_t MillisecondCounter() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(ms));
}

bool GlobalInit() {
  static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ok;
}

// The certificate authorities to trust: libcurl's default bundle, plus the PEM bundle named
// by VQR_CA_FILE when that is set. Read once per process.
struct TrustedAuthorities {
  bool extra = false;   // VQR_CA_FILE is set
  std::string bundle;   // the system's bundle and the extra one, when extra
  std::string problem;  // why VQR_CA_FILE cannot be used; requests then fail
};

const TrustedAuthorities& Authorities() {
  static const TrustedAuthorities authorities = [] {
    TrustedAuthorities result;
    const char* extra = std::getenv("VQR_CA_FILE");
    if (extra == nullptr || *extra == '\0') return result;
    result.extra = true;
    // Read through the bounded reader: VQR_CA_FILE may name anything (a directory, a FIFO
    // without a writer, /dev/zero), and this runs on a worker's first request.
    constexpr std::size_t kLargestBundle = 16 * 1024 * 1024;
    std::string added;
    const files::ReadResult read =
        files::ReadBoundedFile(extra, kLargestBundle, "certificate bundle", &added);
    if (!read.Ok()) {
      result.problem = "VQR_CA_FILE " + read.Message();
      return result;
    }
    if (added.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
      result.problem = std::string("VQR_CA_FILE ") + extra + " holds no PEM certificate";
      return result;
    }
    // The system's bundle is the one libcurl would use by default.
    std::string system;
    if (CURL* probe = curl_easy_init()) {
      char* path = nullptr;
      // A refusal leaves `system` empty: only the added bundle is trusted then.
      if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &path) == CURLE_OK && path != nullptr)
        files::ReadBoundedFile(path, kLargestBundle, "certificate bundle", &system);
      curl_easy_cleanup(probe);
    }
    result.bundle = system + "\n" + added;
    return result;
  }();
  return authorities;
}

HttpFailure FailureOf(CURLcode code, const char* message) {
  HttpFailure failure;
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      failure.kind = HttpFailure::Kind::kResolve;
      break;
    case CURLE_COULDNT_CONNECT:
      failure.kind = HttpFailure::Kind::kConnect;
      break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      failure.kind = HttpFailure::Kind::kCertificate;
      break;
    case CURLE_OPERATION_TIMEDOUT:
      failure.kind = HttpFailure::Kind::kTimeout;
      break;
    default:
      failure.kind = HttpFailure::Kind::kOther;
      break;
  }
  failure.detail = message != nullptr && *message != '\0' ? message : curl_easy_strerror(code);
  return failure;
}

class CurlRequest final : public HttpRequest {
 public:
  CurlRequest(const std::string& agent, const HttpTimeouts& timeouts, std::uint32_t capacity)
      : m_timeouts(timeouts), m_totalMs(TotalTimeLimitMs(timeouts, capacity)) {
    m_pending.reserve(CURL_MAX_WRITE_SIZE);
    m_easy = curl_easy_init();
    m_multi = curl_multi_init();
    m_headers = curl_slist_append(m_headers, "Accept: */*");
    m_headers = curl_slist_append(m_headers, "Cache-Control: no-cache");
    m_headers = curl_slist_append(m_headers, "Pragma: no-cache");
    if (m_easy == nullptr || m_multi == nullptr || m_headers == nullptr) return;
    curl_easy_setopt(m_easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(m_easy, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(m_easy, CURLOPT_MAXREDIRS, 30L);
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_error);
    curl_easy_setopt(m_easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connectMs));
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &CurlRequest::OnBody);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &CurlRequest::OnHeader);
    curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_PREREQFUNCTION, &CurlRequest::OnConnected);
    curl_easy_setopt(m_easy, CURLOPT_PREREQDATA, this);
    m_ready = true;
  }

  ~CurlRequest() override {
    if (m_added) curl_multi_remove_handle(m_multi, m_easy);
    if (m_easy != nullptr) curl_easy_cleanup(m_easy);
    if (m_multi != nullptr) curl_multi_cleanup(m_multi);
    curl_slist_free_all(m_headers);
  }

  // Starts the GET and waits for the final response's headers. False when the URL cannot be
  // opened.
  bool Open(const char* url) {
    if (!m_ready || url == nullptr) return Refuse(HttpFailure::Kind::kOther, "no request");
    // A download that began over https stays on https: a redirect to plain http would hand
    // the rest of it to anybody on the path.
    const bool secure = std::strncmp(url, "https://", 8) == 0;
    m_secure = secure;
    curl_easy_setopt(m_easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    const TrustedAuthorities& authorities = Authorities();
    if (authorities.extra) {
      if (!authorities.problem.empty())
        return Refuse(HttpFailure::Kind::kCertificate, authorities.problem);
      curl_blob blob{const_cast<char*>(authorities.bundle.data()), authorities.bundle.size(),
                     CURL_BLOB_NOCOPY};
      curl_easy_setopt(m_easy, CURLOPT_CAINFO_BLOB, &blob);
    }
    if (curl_easy_setopt(m_easy, CURLOPT_URL, url) != CURLE_OK)
      return Refuse(HttpFailure::Kind::kOther, "malformed URL");
    if (curl_multi_add_handle(m_multi, m_easy) != CURLM_OK)
      return Refuse(HttpFailure::Kind::kOther, "libcurl could not start the request");
    m_added = true;
    m_start = Clock::now();
    m_lastActivity = m_start;
    while (!m_headersDone && !m_finished)
      if (!Drive()) return false;
    if (m_headersDone || m_result == CURLE_OK) return true;
    NoteResult();
    return false;
  }

  int Status() const override {
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    return static_cast<int>(status);
  }
  HttpFailure Failure() const override { return m_failure; }

  bool Read(std::uint8_t* chunk, std::uint32_t capacity, std::uint32_t* count) override {
    *count = 0;
    for (;;) {
      if (m_pendingPos < m_pending.size()) {
        const std::size_t left = m_pending.size() - m_pendingPos;
        const std::size_t n = left < capacity ? left : capacity;
        std::memcpy(chunk, m_pending.data() + m_pendingPos, n);
        m_pendingPos += n;
        *count = static_cast<std::uint32_t>(n);
        if (m_pendingPos == m_pending.size()) {
          m_pending.clear();
          m_pendingPos = 0;
          if (m_paused) {
            m_paused = false;
            curl_easy_pause(m_easy, CURLPAUSE_CONT);  // may deliver the held data at once
          }
        }
        return true;
      }
      if (m_finished) {
        if (m_result == CURLE_OK) return true;
        NoteResult();
        return false;
      }
      if (!Drive()) return false;
    }
  }

 private:
  bool Refuse(HttpFailure::Kind kind, std::string detail) {
    m_failure = {kind, std::move(detail)};
    return false;
  }
  // The failure libcurl reported for the transfer.
  void NoteResult() {
    m_failure = FailureOf(m_result, m_error);
    // Refused to follow a redirect to http: libcurl names only the protocol.
    if (m_secure && m_result == CURLE_UNSUPPORTED_PROTOCOL)
      m_failure.kind = HttpFailure::Kind::kInsecureRedirect;
  }

  // Runs the transfer a little: until something happened or a time bound ran out. False
  // when a bound ran out or the multi handle failed.
  bool Drive() {
    int running = 0;
    if (curl_multi_perform(m_multi, &running) != CURLM_OK)
      return Refuse(HttpFailure::Kind::kOther, "libcurl failed");
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(m_multi, &queued)) {
      if (message->msg == CURLMSG_DONE) {
        m_finished = true;
        m_result = message->data.result;
      }
    }
    if (m_finished || m_pendingPos < m_pending.size()) return true;
    // The connection phase is bounded by libcurl's connect timeout; from the moment the
    // connection stands, every wait for data is bounded by the receive timeout and every
    // window by the least rate. The total time runs from the start of the request.
    const auto now = Clock::now();
    const auto since = [now](Clock::time_point then) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(now - then).count();
    };
    const long long total = since(m_start);
    if (total >= static_cast<long long>(m_totalMs))
      return Refuse(HttpFailure::Kind::kTimeout,
                    "the download took longer than " + std::to_string(m_totalMs) + " ms");
    long long left = static_cast<long long>(m_totalMs) - total;
    if (m_connected) {
      const long long idle = since(m_lastActivity);
      if (idle >= static_cast<long long>(m_timeouts.receiveMs))
        return Refuse(HttpFailure::Kind::kTimeout,
                      "no data for " + std::to_string(m_timeouts.receiveMs) + " ms");
      long long window = since(m_windowStart);
      if (window >= static_cast<long long>(m_timeouts.rateWindowMs)) {
        if (m_windowBytes < m_timeouts.rateBytes)
          return Refuse(HttpFailure::Kind::kTimeout,
                        "fewer than " + std::to_string(m_timeouts.rateBytes) + " bytes in " +
                            std::to_string(m_timeouts.rateWindowMs) + " ms");
        m_windowStart = now;
        m_windowBytes = 0;
        window = 0;
      }
      left = std::min({left, static_cast<long long>(m_timeouts.receiveMs) - idle,
                       static_cast<long long>(m_timeouts.rateWindowMs) - window});
    }
    const int waitMs = static_cast<int>(std::clamp(left, 1LL, 100LL));
    return curl_multi_poll(m_multi, nullptr, 0, waitMs, nullptr) == CURLM_OK;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlRequest*>(user);
    const std::size_t n = size * count;
    if (self->m_pendingPos < self->m_pending.size()) {
      self->m_paused = true;  // the reader has not taken the last piece yet
      return CURL_WRITEFUNC_PAUSE;
    }
    self->m_pending.assign(data, data + n);
    self->m_pendingPos = 0;
    self->m_headersDone = true;
    self->Received(n);
    return n;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlRequest*>(user);
    const std::size_t n = size * count;
    self->Received(n);
    if (n <= 2 && n > 0 && (data[0] == '\r' || data[0] == '\n')) {
      // The end of one response's headers: it is the final one unless it is an interim
      // response or a redirect that libcurl is about to follow.
      long status = 0;
      curl_easy_getinfo(self->m_easy, CURLINFO_RESPONSE_CODE, &status);
      char* location = nullptr;
      curl_easy_getinfo(self->m_easy, CURLINFO_REDIRECT_URL, &location);
      const bool interim = status >= 100 && status < 200;
      const bool followed = status >= 300 && status < 400 && location != nullptr;
      if (!interim && !followed) self->m_headersDone = true;
    }
    return n;
  }

  // Counts bytes from the server (header or body) for the idle bound and the least rate.
  void Received(std::size_t n) {
    m_lastActivity = Clock::now();
    m_windowBytes += n;
  }

  static int OnConnected(void* user, char*, char*, int, int) {
    auto* self = static_cast<CurlRequest*>(user);
    self->m_connected = true;
    self->m_lastActivity = Clock::now();
    self->m_windowStart = self->m_lastActivity;
    self->m_windowBytes = 0;
    return CURL_PREREQFUNC_OK;
  }

  CURL* m_easy = nullptr;
  CURLM* m_multi = nullptr;
  curl_slist* m_headers = nullptr;
  bool m_ready = false;
  bool m_added = false;
  bool m_connected = false;
  bool m_headersDone = false;
  bool m_finished = false;
  bool m_paused = false;
  CURLcode m_result = CURLE_OK;
  bool m_secure = false;
  char m_error[CURL_ERROR_SIZE] = {};
  HttpFailure m_failure;
  HttpTimeouts m_timeouts;
  std::uint64_t m_totalMs;
  Clock::time_point m_start;
  Clock::time_point m_lastActivity;
  Clock::time_point m_windowStart;
  std::uint64_t m_windowBytes = 0;      // bytes received since m_windowStart
  std::vector<std::uint8_t> m_pending;  // one piece from libcurl, at most CURL_MAX_WRITE_SIZE
  std::size_t m_pendingPos = 0;
};

class CurlClient final : public HttpClient {
 public:
  CurlClient(std::string agent, const HttpTimeouts& timeouts)
      : m_agent(std::move(agent)), m_timeouts(timeouts) {}

  std::unique_ptr<HttpRequest> OpenUrl(const char* url, std::uint32_t capacity) override {
    auto request = std::make_unique<CurlRequest>(m_agent, m_timeouts, capacity);
    if (!request->Open(url)) {
      m_lastFailure = request->Failure();
      return nullptr;
    }
    m_lastFailure = {};
    return request;
  }
  HttpFailure LastFailure() const override { return m_lastFailure; }

 private:
  HttpFailure m_lastFailure;
  std::string m_agent;
  HttpTimeouts m_timeouts;
};

class CurlBackend final : public HttpBackend {
 public:
  std::unique_ptr<HttpClient> OpenClient() override {
    if (!GlobalInit()) return nullptr;
    char agent[32];
    std::snprintf(agent, sizeof agent, "Agent%ld", static_cast<long>(MillisecondCounter()));
    return std::make_unique<CurlClient>(agent, Timeouts());
  }
};

}  // namespace

HttpBackend& PlatformHttpBackend() {
  static CurlBackend backend;
  return backend;
}

}  // namespace vqr
