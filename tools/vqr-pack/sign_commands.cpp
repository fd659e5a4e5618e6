#include "sign_commands.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "files/bounded_read.h"
#include "files/write_file.h"
#include "signature/minisign.h"

namespace vqr::pack {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

enum class Read { kOk, kMissing, kFailed };

// Reads `path` whole when it is a regular file of at most `limit` bytes: keys and signatures
// within their parsers' caps, signed files within the largest package. kFailed prints why.
// A missing file is kMissing, said nothing of, where it `mayBeMissing` (a key given as its
// text, a file without a signature); elsewhere it fails like any other.
Read ReadFile(const std::string& path, std::string* data, std::size_t limit, const char* what,
              bool mayBeMissing = false) {
  const files::ReadResult read = files::ReadBoundedFile(path, limit, what, data);
  if (read.problem == files::ReadProblem::kMissing && mayBeMissing) return Read::kMissing;
  if (!read.Ok()) {
    std::cerr << "vqr-pack: " << read.Message() << "\n";
    return Read::kFailed;
  }
  return Read::kOk;
}

std::span<const std::uint8_t> BytesOf(const std::string& data) {
  return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}

int Fail(const std::string& message, int code) {
  std::cerr << "vqr-pack: " << message << "\n";
  return code;
}

struct Options {
  std::string secret;
  std::string publicKey;
  std::string trustedComment;
  bool trustedCommentGiven = false;
  bool legacy = false;
  std::vector<std::string> files;
};

int Keygen(const Options& options) {
  std::error_code error;
  const bool exists = std::filesystem::exists(options.secret, error);
  if (error) return Fail("cannot look for " + options.secret + ": " + error.message(), kExitUsage);
  if (exists)
    return Fail(options.secret + " already exists; a secret key is never overwritten", kExitUsage);
  sig::SecretKey key;
  std::string message;
  if (!sig::GenerateKeyPair(&key, &message)) return Fail(message, kExitFailed);

  // "x": create, never open an existing file. The key is written only once the file is
  // private to its owner.
  std::FILE* file = std::fopen(options.secret.c_str(), "wx");
  if (file == nullptr) return Fail("cannot create " + options.secret, kExitUsage);
  std::filesystem::permissions(
      options.secret, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
      error);
  const std::string secretText = sig::FormatSecretKey(key);
  const bool written =
      !error && std::fwrite(secretText.data(), 1, secretText.size(), file) == secretText.size();
  if (std::fclose(file) != 0 || !written) {
    std::filesystem::remove(options.secret, error);
    return Fail("cannot write " + options.secret, kExitUsage);
  }
  const sig::PublicKey publicKey = sig::PublicKeyOf(key);
  if (!files::WriteWholeFile(options.publicKey, BytesOf(sig::FormatPublicKeyFile(publicKey))))
    return Fail("cannot write " + options.publicKey + " (the secret key " + options.secret +
                    " was written)",
                kExitUsage);
  std::cout << options.secret << ": secret key " << sig::KeyIdText(key.keyId)
            << " (not encrypted: keep it private)\n"
            << options.publicKey << ": public key " << sig::FormatPublicKeyLine(publicKey) << "\n";
  return 0;
}

int SignFiles(const Options& options) {
  std::string text;
  const Read read = ReadFile(options.secret, &text, sig::kMaxKeyTextSize, "key");
  if (read != Read::kOk) return Fail("cannot read " + options.secret, kExitUsage);
  sig::SecretKey key;
  std::string error;
  if (!sig::ParseSecretKey(text, &key, &error))
    return Fail(options.secret + ": " + error, kExitFailed);

  int code = 0;
  for (const std::string& path : options.files) {
    std::string data;
    if (ReadFile(path, &data, kLargestImageFile, "package") != Read::kOk) {
      code = Fail("cannot read " + path, kExitUsage);
      continue;
    }
    const std::string comment =
        options.trustedCommentGiven
            ? options.trustedComment
            : sig::DefaultTrustedComment(static_cast<std::int64_t>(std::time(nullptr)),
                                         std::filesystem::path(path).filename().string(),
                                         !options.legacy);
    std::string signature;
    if (!sig::Sign(BytesOf(data), key, comment, &signature, &error, !options.legacy)) {
      if (code == 0) code = kExitFailed;
      Fail(path + ": " + error, kExitFailed);
      continue;
    }
    const std::string out = path + ".minisig";
    if (!files::WriteWholeFile(out, BytesOf(signature))) {
      code = Fail("cannot write " + out, kExitUsage);
      continue;
    }
    std::cout << out << ": signed with key " << sig::KeyIdText(key.keyId)
              << (options.legacy ? " (legacy)" : "") << ", trusted comment: " << comment << "\n";
  }
  return code;
}

}  // namespace

int VerifySignatures(const std::string& publicKey, const std::vector<std::string>& files) {
  Options options;
  options.publicKey = publicKey;
  options.files = files;
  // KEY names a file when one exists, and is a base64 key line otherwise.
  std::string text;
  if (options.files.empty()) return Fail("no file to verify", kExitUsage);
  switch (ReadFile(options.publicKey, &text, sig::kMaxKeyTextSize, "key", true)) {
    case Read::kOk:
      break;
    case Read::kMissing:
      text = options.publicKey;
      break;
    case Read::kFailed:
      return Fail("cannot read " + options.publicKey, kExitUsage);
  }
  sig::PublicKey key;
  std::string error;
  if (!sig::ParsePublicKey(text, &key, &error))
    return Fail("public key " + options.publicKey + ": " + error, kExitUsage);
  const sig::PublicKey trusted[] = {key};

  int code = 0;
  for (const std::string& path : options.files) {
    std::string data;
    std::string signature;
    if (ReadFile(path, &data, kLargestImageFile, "package") != Read::kOk) {
      std::cout << path << ": cannot read the file\n";
      code = kExitUsage;
      continue;
    }
    // A missing .minisig verifies as "no signature"; one that is there but unreadable is an
    // input error.
    if (ReadFile(path + ".minisig", &signature, sig::kMaxSignatureTextSize, "signature", true) ==
        Read::kFailed) {
      std::cout << path << ": cannot read " << path << ".minisig\n";
      code = kExitUsage;
      continue;
    }
    const sig::Verification verification = sig::Verify(BytesOf(data), signature, trusted);
    if (verification.result == sig::VerifyResult::kGood) {
      std::cout << path << ": good signature, trusted comment: " << verification.trustedComment
                << "\n";
      continue;
    }
    std::cout << path << ": FAILED: " << sig::VerifyResultText(verification.result)
              << (verification.detail.empty() ? "" : " (" + verification.detail + ")") << "\n";
    if (code == 0) code = kExitFailed;
  }
  return code;
}

std::function<std::optional<int>()> AddSignCommands(CLI::App& app) {
  auto options = std::make_shared<Options>();

  auto* keygen = app.add_subcommand("keygen", "make a signing key pair (minisign format)");
  keygen->add_option("--secret", options->secret, "secret key file to create (not encrypted)")
      ->required();
  keygen->add_option("--public", options->publicKey, "public key file to write (.pub)")->required();

  auto* sign = app.add_subcommand("sign", "write FILE.minisig for each FILE");
  sign->add_option("--secret", options->secret, "unencrypted minisign secret key file")->required();
  sign->add_option("--trusted-comment", options->trustedComment,
                   "signed comment (default: timestamp and file name, as minisign)")
      ->each([options](const std::string&) { options->trustedCommentGiven = true; });
  sign->add_flag("--legacy", options->legacy, "sign the file itself (\"Ed\"), not its hash");
  sign->add_option("files", options->files, "files to sign")->required();

  return [options, keygen, sign]() -> std::optional<int> {
    if (*keygen) return Keygen(*options);
    if (*sign) return SignFiles(*options);
    return std::nullopt;
  };
}

}  // namespace vqr::pack
