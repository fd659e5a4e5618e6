// Feeds arbitrary text to the signature format's parsers (.minisig, public key, secret key), to
// Verify, and (its first 96 bytes as key and signature) to the Ed25519 check itself. None may
// read past the text or abort; whatever a parser accepts must come back unchanged through its
// writer; Verify's result must agree with the parser's: malformed exactly when the parser
// refuses a non-empty text, and past the key lookup when a trusted key has the signature's key
// id (the crypto then sees the arbitrary signature bytes).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "signature/minisign.h"

namespace {

using namespace vqr::sig;

void CheckSignature(std::string_view text) {
  static const std::uint8_t kData[] = {'f', 'u', 'z', 'z'};
  Signature signature;
  std::string error;
  const bool parsed = ParseSignature(text, &signature, &error);
  if (parsed) {
    Signature again;
    if (!ParseSignature(FormatSignature(signature), &again, &error)) __builtin_trap();
    if (again.algorithm != signature.algorithm || again.keyId != signature.keyId ||
        again.signature != signature.signature ||
        again.untrustedComment != signature.untrustedComment ||
        again.trustedComment != signature.trustedComment ||
        again.globalSignature != signature.globalSignature)
      __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();
  }

  // A real key (RFC 8032's first), under the signature's key id as well, so that the
  // arbitrary signature bytes reach the crypto.
  PublicKey trusted[2];
  trusted[0].key = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe,
                    0xd3, 0xc9, 0x64, 0x07, 0x3a, 0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6,
                    0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
  trusted[1] = trusted[0];
  if (parsed) trusted[1].keyId = signature.keyId;
  const Verification verification = Verify(kData, text, trusted);
  switch (verification.result) {
    case VerifyResult::kMissingSignature:
      if (!text.empty()) __builtin_trap();
      break;
    case VerifyResult::kMalformedSignature:
      if (parsed || text.empty()) __builtin_trap();
      break;
    case VerifyResult::kUnknownKey:
      __builtin_trap();  // a trusted key always has a parsed signature's key id
    case VerifyResult::kGood:
    case VerifyResult::kBadSignature:
    case VerifyResult::kBadTrustedComment:
      if (!parsed) __builtin_trap();
      break;
  }
  if (verification.result != VerifyResult::kGood && !verification.trustedComment.empty())
    __builtin_trap();
}

void CheckPublicKey(std::string_view text) {
  PublicKey key;
  std::string error;
  if (!ParsePublicKey(text, &key, &error)) return;
  static const std::uint8_t kMessage[] = {'k', 'e', 'y'};
  if (vqr::crypto::Ed25519Verify(key.key, kMessage, vqr::crypto::Ed25519Signature{}))
    __builtin_trap();
  PublicKey fromLine;
  PublicKey fromFile;
  if (!ParsePublicKey(FormatPublicKeyLine(key), &fromLine, &error) || !(fromLine == key))
    __builtin_trap();
  if (!ParsePublicKey(FormatPublicKeyFile(key), &fromFile, &error) || !(fromFile == key))
    __builtin_trap();
}

// The raw primitive on arbitrary key and signature bytes: it may refuse, never abort.
void CheckRawVerify(const std::uint8_t* data, std::size_t size) {
  vqr::crypto::Ed25519PublicKey key{};
  vqr::crypto::Ed25519Signature signature{};
  if (size < key.size() + signature.size()) return;
  std::copy_n(data, key.size(), key.begin());
  std::copy_n(data + key.size(), signature.size(), signature.begin());
  const std::span<const std::uint8_t> message(data + 96, size - 96);
  vqr::crypto::Ed25519Verify(key, message, signature);
}

void CheckSecretKey(std::string_view text) {
  SecretKey key;
  std::string error;
  if (!ParseSecretKey(text, &key, &error)) return;
  SecretKey again;
  if (!ParseSecretKey(FormatSecretKey(key), &again, &error) || again.keyId != key.keyId ||
      again.secret != key.secret || again.publicKey != key.publicKey)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Texts past the caps are refused by length alone; a little beyond them still exercises that.
  if (size > kMaxSignatureTextSize + 16) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckSignature(text);
  CheckPublicKey(text);
  CheckSecretKey(text);
  CheckRawVerify(data, size);
  return 0;
}
