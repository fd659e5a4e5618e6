// vqr-pack's signature commands: detached minisign-format signatures next to the packages.
//
//   vqr-pack keygen --secret FILE --public FILE
//       makes a key pair: the secret key unencrypted in minisign's layout (never over an
//       existing file, readable by its owner only), the public key as a minisign .pub file.
//   vqr-pack sign --secret FILE [--trusted-comment TEXT] [--legacy] FILE...
//       writes FILE.minisig for each FILE: prehashed ("ED") unless --legacy ("Ed"); the trusted
//       comment defaults to minisign's "timestamp:SECONDS<TAB>file:NAME[<TAB>hashed]".
//   vqr-pack verify --public KEY FILE...   (main.cpp; VerifySignatures below)
//       checks FILE against FILE.minisig; KEY is a .pub file or a public key's base64 line.
//       Prints one line per file. A missing FILE.minisig is a failed verification.
//
// Exit codes: 0 success (for verify: every file verified), 1 a verification that failed, a key
// or trusted comment refused, 2 bad arguments, an existing secret key, a public key that cannot
// be read or used, or a file that cannot be read or written (this wins over 1).
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vqr::pack {

// Checks each file against FILE.minisig under the public key `publicKey` (a .pub file or a
// base64 key line); one line per file; returns the exit code.
int VerifySignatures(const std::string& publicKey, const std::vector<std::string>& files);

// Adds keygen and sign to `app`. Call the returned function after app.parse(): it runs
// the chosen signature command and returns its exit code, or nothing when none was chosen.
std::function<std::optional<int>()> AddSignCommands(CLI::App& app);

}  // namespace vqr::pack
