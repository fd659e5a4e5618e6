#include "serve.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <vector>

#include "files.h"

namespace vqr::pack {

namespace {

constexpr int kExitUsage = 2;

int Fail(const std::string& message) {
  std::cerr << "vqr-pack: " << message << "\n";
  return kExitUsage;
}

// The error OpenSSL recorded last, and its text.
struct OpenSslError {
  unsigned long code = 0;
  std::string Text() const {
    if (code == 0) return "no reason given";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
  }
};
OpenSslError LastOpenSslError() {
  OpenSslError error;
  for (unsigned long next; (next = ERR_get_error()) != 0;) error.code = next;
  return error;
}

// Loads the certificate chain and its key into `context`; false with *error naming the file and
// the problem.
bool LoadCertificate(SSL_CTX& context, const ServeOptions& options, std::string* error) {
  SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION);
  SSL_CTX_set_options(&context, SSL_OP_NO_COMPRESSION);
  // An encrypted key would make OpenSSL ask for its pass phrase on the terminal: refuse it.
  SSL_CTX_set_default_passwd_cb(&context, [](char*, int, int, void*) { return 0; });
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(&context, options.tlsCert.c_str()) != 1) {
    *error = "--tls-cert " + options.tlsCert + ": no PEM certificate (" +
             LastOpenSslError().Text() + ")";
    return false;
  }
  // The key is checked against the certificate as it is loaded.
  const bool keyLoaded =
      SSL_CTX_use_PrivateKey_file(&context, options.tlsKey.c_str(), SSL_FILETYPE_PEM) == 1;
  const OpenSslError keyError = LastOpenSslError();
  const int reason = ERR_GET_REASON(keyError.code);
  if (!keyLoaded && (reason == X509_R_KEY_VALUES_MISMATCH || reason == X509_R_KEY_TYPE_MISMATCH)) {
    *error = "the key in " + options.tlsKey + " does not match the certificate in " +
             options.tlsCert + " (" + keyError.Text() + ")";
    return false;
  }
  if (!keyLoaded) {
    *error = "--tls-key " + options.tlsKey + ": no unencrypted PEM private key (" +
             keyError.Text() + ")";
    return false;
  }
  if (SSL_CTX_check_private_key(&context) != 1) {
    *error = "the key in " + options.tlsKey + " does not match the certificate in " +
             options.tlsCert + " (" + LastOpenSslError().Text() + ")";
    return false;
  }
  return true;
}

// The server: HTTPS when a certificate is given, else HTTP. Nothing, after a message, when the
// certificate or key cannot be used.
std::unique_ptr<httplib::Server> MakeServer(const ServeOptions& options) {
  if (options.tlsCert.empty()) return std::make_unique<httplib::Server>();
  std::vector<std::uint8_t> unused;
  for (const std::string& file : {options.tlsCert, options.tlsKey}) {
    std::string problem;
    if (!ReadFile(file, 1024 * 1024, "certificate or key", &unused, &problem)) {
      Fail("cannot read " + problem);
      return nullptr;
    }
  }
  std::string error;
  auto server = std::make_unique<httplib::SSLServer>(
      [&](SSL_CTX& context) { return LoadCertificate(context, options, &error); });
  if (!server->is_valid()) {
    Fail(error.empty() ? "OpenSSL could not set up TLS (" + LastOpenSslError().Text() + ")"
                       : error);
    return nullptr;
  }
  return server;
}

// Why a listen failed, from the errno of the bind or listen.
std::string ListenProblem(int cause) {
  if (cause == EADDRINUSE) return "the port is already in use (is another server listening?)";
  if (cause != 0) return std::strerror(cause);
  return "the address cannot be used";
}

}  // namespace

int Serve(const ServeOptions& options) {
  const std::filesystem::path root(options.dir);
  if (!std::filesystem::is_directory(root)) return Fail(options.dir + " is not a directory");
  const std::unique_ptr<httplib::Server> server = MakeServer(options);
  if (!server) return kExitUsage;
  auto sendFile = [](const std::filesystem::path& file, httplib::Response& response) {
    std::vector<std::uint8_t> data;
    std::string error;
    if (!ReadFile(file.string(), kLargestImageFile, "file served", &data, &error)) {
      response.status = 404;
      response.set_content("not found\n", "text/plain");
      return;
    }
    response.set_content(reinterpret_cast<const char*>(data.data()), data.size(),
                         "application/octet-stream");
  };
  // The two URL forms of the updater; nothing else is served. A component cannot hold '/'.
  server->Get(R"(/Door3/([^/]+)\.Bin)",
              [&](const httplib::Request& request, httplib::Response& response) {
                sendFile(root / "Door3" / (request.matches[1].str() + ".Bin"), response);
              });
  server->Get(R"(/Pool3([^/]+)/([^/]+))",
              [&](const httplib::Request& request, httplib::Response& response) {
                const std::string pool = "Pool3" + request.matches[1].str();
                const std::string name = request.matches[2].str();
                if (name == "." || name == "..") {
                  response.status = 404;
                  return;
                }
                sendFile(root / pool / name, response);
              });
  server->set_logger([](const httplib::Request& request, const httplib::Response& response) {
    std::printf("%s %s %d %zu \"%s\"\n", request.method.c_str(), request.path.c_str(),
                response.status, response.body.size(),
                request.get_header_value("User-Agent").c_str());
    std::fflush(stdout);
  });
  // cpp-httplib's default also sets SO_REUSEPORT, with which a second server binds the same
  // port and the kernel splits the clients between the two trees. SO_REUSEADDR alone still
  // allows a restart over connections in TIME_WAIT.
  server->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  errno = 0;
  int bound = options.port;
  if (options.port == 0)
    bound = server->bind_to_any_port(options.bind);
  else if (!server->bind_to_port(options.bind, options.port))
    bound = -1;
  const int cause = errno;
  if (bound <= 0)
    return Fail("cannot listen on " + options.bind + ":" + std::to_string(options.port) + ": " +
                ListenProblem(cause));
  std::printf("serving %s on %s://%s:%d/\n", options.dir.c_str(),
              options.tlsCert.empty() ? "http" : "https", options.bind.c_str(), bound);
  std::fflush(stdout);
  return server->listen_after_bind() ? 0 : kExitUsage;
}

}  // namespace vqr::pack
