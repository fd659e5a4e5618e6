// Detached Ed25519 signatures in minisign's format: public keys, .minisig files, unencrypted
// secret keys, verification and signing. Vendors may sign with the standard `minisign` tool or
// with `vqr-pack sign`; either's signatures verify here, and ours verify with `minisign -V`.
//
// Formats (base64 is the standard alphabet with '=' padding; numbers little-endian):
//
//   public key (.pub)   "untrusted comment: minisign public key <KEY ID>"   (optional here)
//                       base64 of  "Ed" | key id (8) | Ed25519 public key (32)
//
//   signature (.minisig)
//                       "untrusted comment: <anything>"
//                       base64 of  "ED" or "Ed" | key id (8) | signature (64)
//                       "trusted comment: <text>"
//                       base64 of  global signature (64)
//
//     "ED" signs BLAKE2b-512 of the data (prehashed, what minisign makes by default); "Ed"
//     (legacy) signs the data itself. The global signature signs the 64 signature bytes
//     followed by the trusted comment's text, so the trusted comment cannot be changed without
//     the secret key. The untrusted comment is signed by nothing and never used here.
//
//   secret key (unencrypted, as `minisign -G -W` writes it)
//                       "untrusted comment: <anything>"
//                       base64 of  "Ed" | kdf "\0\0" | "B2" | kdf salt (32) | kdf ops (8) |
//                                  kdf memory (8) | key id (8) | secret (32) | public key (32) |
//                                  checksum (32)
//     The checksum is BLAKE2b-256 of "Ed" | key id | secret | public key. minisign 0.11 leaves
//     it all zero in unencrypted keys it generates, so an all-zero checksum is accepted too;
//     the public key is then still checked against the secret. A key encrypted with a password
//     (kdf "Sc") is refused: vqr-pack reads no passwords.
//
// Decisions:
//
// * Strict parsing. Each line ends with LF or CR LF, the last may end without one; nothing may
//   follow the last line of a format. Base64 must be canonical (exact padding, unused bits
//   zero) and decode to exactly the format's length. Comments may not hold NUL or CR. Texts
//   longer than the caps below are refused before anything else is looked at. Every parser
//   works on the given view alone and never reads past it.
// * A signature is good only when both signatures verify under a trusted key whose key id
//   equals the signature's. Trusted keys sharing a key id are each tried.
// * Every function here is safe on any thread; the crypto calls do not block, with the one
//   exception of GenerateKeyPair (the system's random source, see crypto_backend.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "signature/crypto_backend.h"

namespace vqr::sig {

inline constexpr std::size_t kKeyIdSize = 8;
using KeyId = std::array<std::uint8_t, kKeyIdSize>;

// Caps on the texts the parsers accept. A .minisig never needs more than 10 KiB: minisign
// itself writes at most 1024 bytes of untrusted comment line and 8173 bytes of trusted comment.
inline constexpr std::size_t kMaxSignatureTextSize = 10240;
inline constexpr std::size_t kMaxKeyTextSize = 2048;
inline constexpr std::size_t kMaxCommentLineSize = 1024;     // an untrusted comment line, prefix in
inline constexpr std::size_t kMaxTrustedCommentSize = 8173;  // the text after the prefix

inline constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
inline constexpr std::string_view kTrustedPrefix = "trusted comment: ";

struct PublicKey {
  KeyId keyId{};
  crypto::Ed25519PublicKey key{};
  bool operator==(const PublicKey&) const = default;
};

struct SecretKey {
  KeyId keyId{};
  crypto::Ed25519Secret secret{};
  crypto::Ed25519PublicKey publicKey{};  // always the secret's own
};

enum class Algorithm {
  kPrehashed,  // "ED": the data's BLAKE2b-512 is signed
  kLegacy,     // "Ed": the data itself is signed
};

struct Signature {
  Algorithm algorithm = Algorithm::kPrehashed;
  KeyId keyId{};
  crypto::Ed25519Signature signature{};
  std::string untrustedComment;  // after "untrusted comment: "; signed by nothing
  std::string trustedComment;    // after "trusted comment: "
  crypto::Ed25519Signature globalSignature{};
};

// The key id as minisign prints it: the 8 bytes read as a little-endian number, 16 upper-case
// hexadecimal digits.
std::string KeyIdText(const KeyId& keyId);

// Reads a public key from the base64 line alone or from a .pub file's two lines. Refuses keys
// that cannot verify anything (crypto::Ed25519PublicKeyIsUsable). On failure returns false with
// a short English reason in *error and leaves *key unchanged.
bool ParsePublicKey(std::string_view text, PublicKey* key, std::string* error);
// The base64 line, without a line ending.
std::string FormatPublicKeyLine(const PublicKey& key);
// A .pub file exactly as minisign writes it (comment line naming the key id, base64 line).
std::string FormatPublicKeyFile(const PublicKey& key);

// Reads a .minisig text. On failure returns false with a reason in *error.
bool ParseSignature(std::string_view text, Signature* signature, std::string* error);
// The four lines, each ending with LF, in minisign's layout.
std::string FormatSignature(const Signature& signature);

enum class VerifyResult {
  kGood,
  kMissingSignature,    // the signature text is empty (no .minisig)
  kMalformedSignature,  // not a .minisig: see Verification::detail
  kUnknownKey,          // no trusted key has the signature's key id
  kBadSignature,        // the signature does not match the data under that key
  kBadTrustedComment,   // the global signature does not match the trusted comment
};

// A short English text for each result, e.g. "the signature does not match the file".
const char* VerifyResultText(VerifyResult result);

struct Verification {
  VerifyResult result = VerifyResult::kMalformedSignature;
  std::string trustedComment;  // the verified trusted comment; empty unless kGood
  std::string detail;          // what is malformed, or the unknown key id; may be empty
};

// Checks the detached signature `signatureText` (a .minisig's whole text) of `data` against
// the trusted keys. Only a kGood result means the data is what a trusted key signed.
Verification Verify(std::span<const std::uint8_t> data, std::string_view signatureText,
                    std::span<const PublicKey> trustedKeys);

// Reads an unencrypted secret key file. Refuses encrypted keys, unknown algorithms, a checksum
// that does not match and a public key that is not the secret's, with a reason in *error.
bool ParseSecretKey(std::string_view text, SecretKey* key, std::string* error);
// The secret key file in minisign's unencrypted layout, with the checksum filled in.
std::string FormatSecretKey(const SecretKey& key);
// A new key pair with a random key id. False (with a reason) only if the library failed.
bool GenerateKeyPair(SecretKey* key, std::string* error);
PublicKey PublicKeyOf(const SecretKey& key);

// minisign's default trusted comment: "timestamp:<seconds>\tfile:<name>", with "\thashed"
// appended for a prehashed signature.
std::string DefaultTrustedComment(std::int64_t timestamp, std::string_view fileName,
                                  bool prehashed);

// Signs `data` and returns the .minisig text in *text (minisign's layout, untrusted comment
// "signature from vqr-pack secret key"). Refuses a trusted comment holding LF, CR or NUL or
// longer than kMaxTrustedCommentSize.
bool Sign(std::span<const std::uint8_t> data, const SecretKey& key, std::string_view trustedComment,
          std::string* text, std::string* error, bool prehashed = true);

}  // namespace vqr::sig
