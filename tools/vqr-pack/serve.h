// `vqr-pack serve DIR`: serves an update tree in the server's layout over HTTP, or over HTTPS
// with a certificate and its key.
//
// Only the updater's two URL forms are answered: /Door3/NAME.Bin and /Pool3X/NAME, each from
// the same path under DIR (signatures, NAME.minisig, included); everything else is 404. One
// log line per request on standard output. The listening socket may share its port with no
// other socket: a second server on a taken port fails instead of splitting the clients.
#pragma once

#include <string>

namespace vqr::pack {

struct ServeOptions {
  std::string dir;
  int port = 8303;  // 0: any free port
  std::string bind = "127.0.0.1";
  std::string tlsCert;  // PEM certificate chain; with tlsKey, serve HTTPS
  std::string tlsKey;   // PEM private key of the certificate, unencrypted
};

// Serves until the process is stopped. Exit code 2 when DIR is not a directory, the certificate
// or key cannot be read or used, or the address and port cannot be listened on.
int Serve(const ServeOptions& options);

}  // namespace vqr::pack
