#include "signature/minisign.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace vqr::sig {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::string_view kAlgorithmEd = "Ed";  // keys, and legacy signatures
constexpr std::string_view kAlgorithmPrehashed = "ED";
constexpr std::string_view kKdfNone{"\0\0", 2};
constexpr std::string_view kKdfScrypt = "Sc";
constexpr std::string_view kChecksumBlake2b = "B2";
constexpr std::string_view kSignatureComment = "signature from vqr-pack secret key";
constexpr std::string_view kSecretKeyComment = "vqr-pack secret key (not encrypted)";

// Byte layouts of the base64 payloads.
constexpr std::size_t kPublicKeyBytes = 2 + kKeyIdSize + crypto::kEd25519PublicKeySize;  // 42
constexpr std::size_t kSignatureBytes = 2 + kKeyIdSize + crypto::kEd25519SignatureSize;  // 74
constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kKeyIdOffset = 2 + 2 + 2 + kSaltSize + 8 + 8;                         // 54
constexpr std::size_t kSecretOffset = kKeyIdOffset + kKeyIdSize;                            // 62
constexpr std::size_t kPublicHalfOffset = kSecretOffset + crypto::kEd25519SecretSize;       // 94
constexpr std::size_t kChecksumOffset = kPublicHalfOffset + crypto::kEd25519PublicKeySize;  // 126
constexpr std::size_t kSecretKeyBytes = kChecksumOffset + crypto::kBlake2b256Size;          // 158

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string EncodeBase64(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) text.push_back(kBase64Alphabet[(v >> shift) & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    text.push_back(kBase64Alphabet[(v >> 18) & 63]);
    text.push_back(kBase64Alphabet[(v >> 12) & 63]);
    text.push_back(rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=');
    text.push_back('=');
  }
  return text;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Canonical base64 only: whole groups of four, '=' only as the padding of the last group, and
// the bits the padding leaves over all zero. One text, one byte string.
bool DecodeBase64(std::string_view text, Bytes* bytes) {
  if (text.empty() || text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  bytes->clear();
  bytes->reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t digits = last ? 4 - padding : 4;
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      int d = 0;
      if (k < digits) {
        d = Base64Value(text[i + k]);
        if (d < 0) return false;
      }
      v = (v << 6) | static_cast<std::uint32_t>(d);
    }
    bytes->push_back(static_cast<std::uint8_t>(v >> 16));
    if (digits >= 3) bytes->push_back(static_cast<std::uint8_t>(v >> 8));
    if (digits == 4) bytes->push_back(static_cast<std::uint8_t>(v));
    // Unused bits of the last digit must be zero, or two texts would decode alike.
    if (digits == 2 && (v & 0xFFFF) != 0) return false;
    if (digits == 3 && (v & 0xFF) != 0) return false;
  }
  return true;
}

// Decodes line `number` (1-based, for messages) into exactly `size` bytes.
bool DecodeLine(std::string_view line, int number, std::size_t size, Bytes* bytes,
                std::string* error) {
  if (!DecodeBase64(line, bytes)) {
    *error = "line " + std::to_string(number) + " is not valid base64";
    return false;
  }
  if (bytes->size() != size) {
    *error = "line " + std::to_string(number) + " holds " + std::to_string(bytes->size()) +
             " bytes instead of " + std::to_string(size);
    return false;
  }
  return true;
}

// Splits text into lines ending with LF or CR LF; the last line may lack an ending. Stops with
// false as soon as there would be more than `maxLines` lines.
bool SplitLines(std::string_view text, std::size_t maxLines, std::vector<std::string_view>* lines,
                std::string* error) {
  lines->clear();
  std::size_t start = 0;
  while (start < text.size()) {
    if (lines->size() == maxLines) {
      *error = "text follows line " + std::to_string(maxLines);
      return false;
    }
    const std::size_t newline = text.find('\n', start);
    const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    std::string_view line = text.substr(start, end - start);
    if (newline != std::string_view::npos && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    lines->push_back(line);
    start = newline == std::string_view::npos ? text.size() : newline + 1;
  }
  return true;
}

bool IsCommentText(std::string_view text) {
  return text.find('\0') == std::string_view::npos && text.find('\r') == std::string_view::npos &&
         text.find('\n') == std::string_view::npos;
}

// Reads the untrusted comment line `number`.
bool ParseUntrustedComment(std::string_view line, int number, std::string* comment,
                           std::string* error) {
  if (!line.starts_with(kUntrustedPrefix)) {
    *error = "line " + std::to_string(number) + " does not start with \"untrusted comment: \"";
    return false;
  }
  if (line.size() > kMaxCommentLineSize) {
    *error =
        "the untrusted comment is longer than " + std::to_string(kMaxCommentLineSize) + " bytes";
    return false;
  }
  if (!IsCommentText(line)) {
    *error = "the untrusted comment holds a NUL or carriage return";
    return false;
  }
  *comment = std::string(line.substr(kUntrustedPrefix.size()));
  return true;
}

template <std::size_t N>
void CopyOut(const Bytes& bytes, std::size_t offset, std::array<std::uint8_t, N>* out) {
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), N, out->begin());
}

std::string_view AlgorithmOf(const Bytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), 2};
}

std::string Printable(std::string_view algorithm) {
  std::string text;
  for (char c : algorithm) {
    if (c >= 0x20 && c < 0x7F) {
      text.push_back(c);
    } else {
      static const char kHex[] = "0123456789abcdef";
      text += "\\x";
      text.push_back(kHex[(static_cast<unsigned char>(c) >> 4) & 15]);
      text.push_back(kHex[static_cast<unsigned char>(c) & 15]);
    }
  }
  return text;
}

// The bytes the global signature covers: the signature, then the trusted comment's text.
Bytes GlobalMessage(const crypto::Ed25519Signature& signature, std::string_view trustedComment) {
  Bytes message(signature.begin(), signature.end());
  message.insert(message.end(), trustedComment.begin(), trustedComment.end());
  return message;
}

// What the first signature covers: the data itself, or its BLAKE2b-512.
bool SignedMessage(std::span<const std::uint8_t> data, Algorithm algorithm,
                   std::span<const std::uint8_t>* message, crypto::Blake2b512Digest* digest) {
  if (algorithm == Algorithm::kLegacy) {
    *message = data;
    return true;
  }
  if (!crypto::Blake2b512(data, digest)) return false;
  *message = *digest;
  return true;
}

bool SecretKeyChecksum(const SecretKey& key, crypto::Blake2b256Digest* checksum) {
  Bytes input(kAlgorithmEd.begin(), kAlgorithmEd.end());
  input.insert(input.end(), key.keyId.begin(), key.keyId.end());
  input.insert(input.end(), key.secret.begin(), key.secret.end());
  input.insert(input.end(), key.publicKey.begin(), key.publicKey.end());
  return crypto::Blake2b256(input, checksum);
}

}  // namespace

std::string KeyIdText(const KeyId& keyId) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = keyId.size(); i-- > 0;) {
    text.push_back(kHex[keyId[i] >> 4]);
    text.push_back(kHex[keyId[i] & 15]);
  }
  return text;
}

bool ParsePublicKey(std::string_view text, PublicKey* key, std::string* error) {
  if (text.size() > kMaxKeyTextSize) {
    *error = "the public key text is longer than " + std::to_string(kMaxKeyTextSize) + " bytes";
    return false;
  }
  std::vector<std::string_view> lines;
  if (!SplitLines(text, 2, &lines, error)) return false;
  if (lines.empty()) {
    *error = "the public key is empty";
    return false;
  }
  std::string comment;
  if (lines.size() == 2 && !ParseUntrustedComment(lines[0], 1, &comment, error)) return false;
  if (lines.size() == 1 && lines[0].starts_with(kUntrustedPrefix)) {
    *error = "the base64 line is missing after the comment";
    return false;
  }
  const int number = static_cast<int>(lines.size());
  Bytes bytes;
  if (!DecodeLine(lines.back(), number, kPublicKeyBytes, &bytes, error)) return false;
  if (AlgorithmOf(bytes) != kAlgorithmEd) {
    *error = "unknown key algorithm \"" + Printable(AlgorithmOf(bytes)) + "\"";
    return false;
  }
  PublicKey parsed;
  CopyOut(bytes, 2, &parsed.keyId);
  CopyOut(bytes, 2 + kKeyIdSize, &parsed.key);
  if (!crypto::Ed25519PublicKeyIsUsable(parsed.key)) {
    *error =
        "not a usable Ed25519 public key (not a point of the curve, of small order, or not "
        "in canonical form)";
    return false;
  }
  *key = parsed;
  return true;
}

std::string FormatPublicKeyLine(const PublicKey& key) {
  Bytes bytes(kAlgorithmEd.begin(), kAlgorithmEd.end());
  bytes.insert(bytes.end(), key.keyId.begin(), key.keyId.end());
  bytes.insert(bytes.end(), key.key.begin(), key.key.end());
  return EncodeBase64(bytes);
}

std::string FormatPublicKeyFile(const PublicKey& key) {
  return std::string(kUntrustedPrefix) + "minisign public key " + KeyIdText(key.keyId) + "\n" +
         FormatPublicKeyLine(key) + "\n";
}

bool ParseSignature(std::string_view text, Signature* signature, std::string* error) {
  if (text.size() > kMaxSignatureTextSize) {
    *error =
        "the signature text is longer than " + std::to_string(kMaxSignatureTextSize) + " bytes";
    return false;
  }
  std::vector<std::string_view> lines;
  if (!SplitLines(text, 4, &lines, error)) return false;
  if (lines.size() != 4) {
    *error = "the signature has " + std::to_string(lines.size()) + " lines instead of 4";
    return false;
  }
  Signature parsed;
  if (!ParseUntrustedComment(lines[0], 1, &parsed.untrustedComment, error)) return false;

  Bytes bytes;
  if (!DecodeLine(lines[1], 2, kSignatureBytes, &bytes, error)) return false;
  const std::string_view algorithm = AlgorithmOf(bytes);
  if (algorithm == kAlgorithmPrehashed) {
    parsed.algorithm = Algorithm::kPrehashed;
  } else if (algorithm == kAlgorithmEd) {
    parsed.algorithm = Algorithm::kLegacy;
  } else {
    *error = "unknown signature algorithm \"" + Printable(algorithm) + "\"";
    return false;
  }
  CopyOut(bytes, 2, &parsed.keyId);
  CopyOut(bytes, 2 + kKeyIdSize, &parsed.signature);

  if (!lines[2].starts_with(kTrustedPrefix)) {
    *error = "line 3 does not start with \"trusted comment: \"";
    return false;
  }
  const std::string_view trusted = lines[2].substr(kTrustedPrefix.size());
  if (trusted.size() > kMaxTrustedCommentSize) {
    *error =
        "the trusted comment is longer than " + std::to_string(kMaxTrustedCommentSize) + " bytes";
    return false;
  }
  if (!IsCommentText(trusted)) {
    *error = "the trusted comment holds a NUL or carriage return";
    return false;
  }
  parsed.trustedComment = std::string(trusted);

  if (!DecodeLine(lines[3], 4, crypto::kEd25519SignatureSize, &bytes, error)) return false;
  CopyOut(bytes, 0, &parsed.globalSignature);
  *signature = std::move(parsed);
  return true;
}

std::string FormatSignature(const Signature& signature) {
  const std::string_view algorithm =
      signature.algorithm == Algorithm::kPrehashed ? kAlgorithmPrehashed : kAlgorithmEd;
  Bytes bytes(algorithm.begin(), algorithm.end());
  bytes.insert(bytes.end(), signature.keyId.begin(), signature.keyId.end());
  bytes.insert(bytes.end(), signature.signature.begin(), signature.signature.end());
  return std::string(kUntrustedPrefix) + signature.untrustedComment + "\n" + EncodeBase64(bytes) +
         "\n" + std::string(kTrustedPrefix) + signature.trustedComment + "\n" +
         EncodeBase64(signature.globalSignature) + "\n";
}

const char* VerifyResultText(VerifyResult result) {
  switch (result) {
    case VerifyResult::kGood:
      return "good signature";
    case VerifyResult::kMissingSignature:
      return "no signature";
    case VerifyResult::kMalformedSignature:
      return "the signature file is malformed";
    case VerifyResult::kUnknownKey:
      return "the signature is from a key that is not trusted";
    case VerifyResult::kBadSignature:
      return "the signature does not match the file";
    case VerifyResult::kBadTrustedComment:
      return "the signature of the trusted comment does not match";
  }
  return "unknown result";
}

Verification Verify(std::span<const std::uint8_t> data, std::string_view signatureText,
                    std::span<const PublicKey> trustedKeys) {
  Verification verification;
  if (signatureText.empty()) {
    verification.result = VerifyResult::kMissingSignature;
    return verification;
  }
  Signature signature;
  if (!ParseSignature(signatureText, &signature, &verification.detail)) {
    verification.result = VerifyResult::kMalformedSignature;
    return verification;
  }
  verification.detail.clear();

  bool known = false;
  std::span<const std::uint8_t> message;
  crypto::Blake2b512Digest digest;
  const Bytes global = GlobalMessage(signature.signature, signature.trustedComment);
  for (const PublicKey& key : trustedKeys) {
    if (key.keyId != signature.keyId) continue;
    if (!known) {
      known = true;
      if (!SignedMessage(data, signature.algorithm, &message, &digest)) {
        verification.result = VerifyResult::kBadSignature;
        verification.detail = "the data's hash could not be computed";
        return verification;
      }
    }
    if (!crypto::Ed25519Verify(key.key, message, signature.signature)) continue;
    if (!crypto::Ed25519Verify(key.key, global, signature.globalSignature)) {
      verification.result = VerifyResult::kBadTrustedComment;
      return verification;
    }
    verification.result = VerifyResult::kGood;
    verification.trustedComment = std::move(signature.trustedComment);
    return verification;
  }
  if (!known) {
    verification.result = VerifyResult::kUnknownKey;
    verification.detail = "key id " + KeyIdText(signature.keyId);
    return verification;
  }
  verification.result = VerifyResult::kBadSignature;
  return verification;
}

bool ParseSecretKey(std::string_view text, SecretKey* key, std::string* error) {
  if (text.size() > kMaxKeyTextSize) {
    *error = "the secret key text is longer than " + std::to_string(kMaxKeyTextSize) + " bytes";
    return false;
  }
  std::vector<std::string_view> lines;
  if (!SplitLines(text, 2, &lines, error)) return false;
  if (lines.size() != 2) {
    *error = "the secret key has " + std::to_string(lines.size()) + " lines instead of 2";
    return false;
  }
  std::string comment;
  if (!ParseUntrustedComment(lines[0], 1, &comment, error)) return false;
  Bytes bytes;
  if (!DecodeLine(lines[1], 2, kSecretKeyBytes, &bytes, error)) return false;

  const auto field = [&](std::size_t offset) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()) + offset, 2);
  };
  if (field(0) != kAlgorithmEd) {
    *error = "unknown key algorithm \"" + Printable(field(0)) + "\"";
    return false;
  }
  if (field(2) == kKdfScrypt) {
    *error =
        "the secret key is encrypted with a password; use an unencrypted key (minisign -G -W "
        "makes one, minisign -C -W removes the password)";
    return false;
  }
  if (field(2) != kKdfNone) {
    *error = "unknown key derivation \"" + Printable(field(2)) + "\"";
    return false;
  }
  if (field(4) != kChecksumBlake2b) {
    *error = "unknown checksum algorithm \"" + Printable(field(4)) + "\"";
    return false;
  }
  SecretKey parsed;
  CopyOut(bytes, kKeyIdOffset, &parsed.keyId);
  CopyOut(bytes, kSecretOffset, &parsed.secret);
  CopyOut(bytes, kPublicHalfOffset, &parsed.publicKey);
  crypto::Blake2b256Digest stored;
  CopyOut(bytes, kChecksumOffset, &stored);

  crypto::Blake2b256Digest checksum;
  crypto::Ed25519PublicKey derived;
  if (!SecretKeyChecksum(parsed, &checksum) ||
      !crypto::Ed25519PublicKeyOf(parsed.secret, &derived)) {
    *error = "the crypto library failed";
    return false;
  }
  const bool unset = std::all_of(stored.begin(), stored.end(), [](auto b) { return b == 0; });
  if (stored != checksum && !unset) {
    *error = "the secret key's checksum does not match: the key is damaged";
    return false;
  }
  if (derived != parsed.publicKey) {
    *error = "the secret key's public half does not belong to its secret: the key is damaged";
    return false;
  }
  *key = parsed;
  return true;
}

std::string FormatSecretKey(const SecretKey& key) {
  Bytes bytes;
  bytes.reserve(kSecretKeyBytes);
  bytes.insert(bytes.end(), kAlgorithmEd.begin(), kAlgorithmEd.end());
  bytes.insert(bytes.end(), kKdfNone.begin(), kKdfNone.end());
  bytes.insert(bytes.end(), kChecksumBlake2b.begin(), kChecksumBlake2b.end());
  bytes.resize(kKeyIdOffset, 0);  // salt and kdf limits: unused without a password
  bytes.insert(bytes.end(), key.keyId.begin(), key.keyId.end());
  bytes.insert(bytes.end(), key.secret.begin(), key.secret.end());
  bytes.insert(bytes.end(), key.publicKey.begin(), key.publicKey.end());
  crypto::Blake2b256Digest checksum{};
  SecretKeyChecksum(key, &checksum);  // a failure leaves zeros, which minisign 0.11 writes too
  bytes.insert(bytes.end(), checksum.begin(), checksum.end());
  std::string text = std::string(kUntrustedPrefix) + std::string(kSecretKeyComment) + "\n" +
                     EncodeBase64(bytes) + "\n";
  std::fill(bytes.begin(), bytes.end(), 0);
  return text;
}

bool GenerateKeyPair(SecretKey* key, std::string* error) {
  SecretKey made;
  if (!crypto::SystemRandom(made.keyId) ||
      !crypto::Ed25519GenerateKey(&made.secret, &made.publicKey)) {
    *error = "the crypto library could not make a key";
    return false;
  }
  *key = made;
  return true;
}

PublicKey PublicKeyOf(const SecretKey& key) {
  return PublicKey{key.keyId, key.publicKey};
}

std::string DefaultTrustedComment(std::int64_t timestamp, std::string_view fileName,
                                  bool prehashed) {
  return "timestamp:" + std::to_string(timestamp) + "\tfile:" + std::string(fileName) +
         (prehashed ? "\thashed" : "");
}

bool Sign(std::span<const std::uint8_t> data, const SecretKey& key, std::string_view trustedComment,
          std::string* text, std::string* error, bool prehashed) {
  if (!IsCommentText(trustedComment)) {
    *error = "the trusted comment cannot hold a line break, carriage return or NUL";
    return false;
  }
  if (trustedComment.size() > kMaxTrustedCommentSize) {
    *error =
        "the trusted comment is longer than " + std::to_string(kMaxTrustedCommentSize) + " bytes";
    return false;
  }
  Signature signature;
  signature.algorithm = prehashed ? Algorithm::kPrehashed : Algorithm::kLegacy;
  signature.keyId = key.keyId;
  signature.untrustedComment = std::string(kSignatureComment);
  signature.trustedComment = std::string(trustedComment);
  std::span<const std::uint8_t> message;
  crypto::Blake2b512Digest digest;
  if (!SignedMessage(data, signature.algorithm, &message, &digest) ||
      !crypto::Ed25519Sign(key.secret, key.publicKey, message, &signature.signature) ||
      !crypto::Ed25519Sign(key.secret, key.publicKey,
                           GlobalMessage(signature.signature, trustedComment),
                           &signature.globalSignature)) {
    *error = "the crypto library could not sign";
    return false;
  }
  *text = FormatSignature(signature);
  return true;
}

}  // namespace vqr::sig
