// Detached signatures: the crypto seam against published vectors, the minisign formats against
// vectors the `minisign` tool made (minisign_vectors.inc), verification's result for each way a
// signature can be wrong, and signing that matches minisign byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "minisign_vectors.inc"
#include "signature/crypto_backend.h"
#include "signature/minisign.h"

namespace vqr::sig {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(std::string_view hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}

template <std::size_t N>
std::array<std::uint8_t, N> ArrayFromHex(std::string_view hex) {
  const Bytes bytes = FromHex(hex);
  std::array<std::uint8_t, N> array{};
  EXPECT_EQ(bytes.size(), N) << hex;
  std::copy_n(bytes.begin(), std::min(N, bytes.size()), array.begin());
  return array;
}

Bytes AsBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

const Bytes& VectorData() {
  static const Bytes data(std::begin(vectors::kData), std::end(vectors::kData));
  return data;
}

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.emplace_back(text.substr(start, end - start));
    start = end == std::string_view::npos ? text.size() : end + 1;
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines, std::string_view ending = "\n") {
  std::string text;
  for (const std::string& line : lines) text += line + std::string(ending);
  return text;
}

// Replaces line `index` (0-based) of `text`.
std::string WithLine(std::string_view text, std::size_t index, const std::string& line) {
  std::vector<std::string> lines = Lines(text);
  lines.at(index) = line;
  return JoinLines(lines);
}

// Changes the base64 digit at `position` of line `index` to another digit.
std::string WithDigitChanged(std::string_view text, std::size_t index, std::size_t position) {
  std::vector<std::string> lines = Lines(text);
  char& digit = lines.at(index).at(position);
  digit = digit == 'A' ? 'B' : 'A';
  return JoinLines(lines);
}

PublicKey ParsedPublicKey(std::string_view text) {
  PublicKey key;
  std::string error;
  EXPECT_TRUE(ParsePublicKey(text, &key, &error)) << error;
  return key;
}

SecretKey ParsedSecretKey(std::string_view text) {
  SecretKey key;
  std::string error;
  EXPECT_TRUE(ParseSecretKey(text, &key, &error)) << error;
  return key;
}

Signature ParsedSignature(std::string_view text) {
  Signature signature;
  std::string error;
  EXPECT_TRUE(ParseSignature(text, &signature, &error)) << error;
  return signature;
}

// ---------------------------------------------------------------------------------------------
// The crypto seam.

TEST(CryptoSeamTest, Blake2bDigests) {
  struct Case {
    std::string_view input;
    bool wide;  // 64-byte digest, else 32
    std::string_view digest;
  };
  const Case cases[] = {
      // RFC 7693 appendix A, and the same input with a 32-byte digest (not a prefix of it).
      {"abc", true,
       "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d17d87c5392aab792dc252d5de4"
       "533cc9518d38aa8dbf1925ab92386edd4009923"},
      {"abc", false, "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319"},
      {"", true,
       "786a02f742015903c6c6fd852552d272912f4740e15847618a86e217f71f5419d25e1031afee585313896444934"
       "eb04b903a685b1448b755d56f701afe9be2ce"},
  };
  for (const Case& c : cases) {
    const Bytes input = AsBytes(c.input);
    if (c.wide) {
      crypto::Blake2b512Digest digest{};
      ASSERT_TRUE(crypto::Blake2b512(input, &digest));
      EXPECT_EQ(Bytes(digest.begin(), digest.end()), FromHex(c.digest)) << "\"" << c.input << "\"";
    } else {
      crypto::Blake2b256Digest digest{};
      ASSERT_TRUE(crypto::Blake2b256(input, &digest));
      EXPECT_EQ(Bytes(digest.begin(), digest.end()), FromHex(c.digest)) << "\"" << c.input << "\"";
    }
  }
}

TEST(CryptoSeamTest, Ed25519KnownKeysAndSignatures) {
  struct Case {
    const char* name;
    std::string_view secret;
    std::string_view publicKey;
    std::string_view message;
    std::string_view signature;
  };
  const Case cases[] = {
      {"RFC 8032 test 1 (empty message)",
       "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
       "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701"
       "cf9b46bd25bf5f0595bbe24655141438e7a100b"},
      // A secret whose leading bytes are zero: a library that reads it as a number must not drop
      // them.
      {"secret with leading zero bytes",
       "0000000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d",
       "bf85ec8783e66387a38026054c47a64c66d19abe3eaed7868c86764a8d3c67d8",
       "a secret with leading zero bytes",
       // Made with OpenSSL (openssl pkeyutl -sign -rawin), not with the code under test.
       "d1fb354822c9ca97952f0d417e5f2d04e70267a1dd99a7830aab5bc10b25980b2d72066c52787f6d927ca293"
       "bbdde27f6090f44f84d5aca957ee8a7836104f0d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto secret = ArrayFromHex<32>(c.secret);
    const auto expectedKey = ArrayFromHex<32>(c.publicKey);
    const auto expectedSignature = ArrayFromHex<64>(c.signature);
    const Bytes message = AsBytes(c.message);

    crypto::Ed25519PublicKey publicKey{};
    ASSERT_TRUE(crypto::Ed25519PublicKeyOf(secret, &publicKey));
    EXPECT_EQ(publicKey, expectedKey);
    crypto::Ed25519Signature signature{};
    ASSERT_TRUE(crypto::Ed25519Sign(secret, publicKey, message, &signature));
    EXPECT_EQ(signature, expectedSignature);

    EXPECT_TRUE(crypto::Ed25519Verify(expectedKey, message, expectedSignature));
    Bytes longer = message;
    longer.push_back(0);
    EXPECT_FALSE(crypto::Ed25519Verify(expectedKey, longer, expectedSignature));
    for (std::size_t byte : {0u, 31u, 32u, 63u}) {
      auto bad = expectedSignature;
      bad[byte] ^= 0x01;
      EXPECT_FALSE(crypto::Ed25519Verify(expectedKey, message, bad)) << "signature byte " << byte;
    }
    auto otherKey = expectedKey;
    otherKey[0] ^= 0x01;
    EXPECT_FALSE(crypto::Ed25519Verify(otherKey, message, expectedSignature));
  }
}

TEST(CryptoSeamTest, KeysThatCannotVerifyAreRefusedWithoutAborting) {
  struct Case {
    const char* name;
    std::string_view key;
    bool usable;
  };
  const Case cases[] = {
      {"RFC 8032 test 1", "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", true},
      {"on the curve", "38b4e652e44da7f2370d9e260e27136550a4a3a6d07f5c0c332f8b1209c28f74", true},
      {"on the curve, zero bytes in y",
       "0900000000000000000000000000000000000000000000000001000000000000", true},
      {"off the curve", "2b902f8911e81818f8c99d5d5d9831957504d90e945de2e8f54ee781739dbd4d", false},
      {"off the curve too", "d85099095aa300165a67036f9b540d6b8f0be21124179c3dd9f73817b35b4463",
       false},
      {"y = p (non-canonical 0)",
       "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"y = p + 1 (non-canonical 1)",
       "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"order 1", "0100000000000000000000000000000000000000000000000000000000000000", false},
      {"order 2", "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"order 4", "0000000000000000000000000000000000000000000000000000000000000080", false},
      {"order 8", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05", false},
      {"order 8, other sign", "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
       false},
      // On the curve, but libgcrypt 1.10 aborts the process on a y this small.
      {"y = 3", "0300000000000000000000000000000000000000000000000000000000000000", false},
      {"y below 2^192", "0300000000000000000000000000000000000000000000800000000000000000", false},
  };
  const auto signature = ArrayFromHex<64>(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701"
      "cf9b46bd25bf5f0595bbe24655141438e7a100b");
  for (const Case& c : cases) {
    const auto key = ArrayFromHex<32>(c.key);
    EXPECT_EQ(crypto::Ed25519PublicKeyIsUsable(key), c.usable) << c.name;
    if (!c.usable) {
      EXPECT_FALSE(crypto::Ed25519Verify(key, {}, signature)) << c.name;
    }
  }
}

TEST(CryptoSeamTest, RefusesSignaturesLibsodiumRefuses) {
  // RFC 8032 test 1 with S + L in place of S (the same point arithmetic), and with an R of
  // small order.
  const auto key =
      ArrayFromHex<32>("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  const auto unreduced = ArrayFromHex<64>(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
      "4c8c7872aa064e049dbb3013fbf29380d25bf5f0595bbe24655141438e7a101b");
  EXPECT_FALSE(crypto::Ed25519Verify(key, {}, unreduced));
  auto smallR = unreduced;
  std::fill_n(smallR.begin(), 32, 0);
  smallR[0] = 1;
  EXPECT_FALSE(crypto::Ed25519Verify(key, {}, smallR));
}

TEST(CryptoSeamTest, GeneratedKeysAreFreshAndSign) {
  crypto::Ed25519Secret secretA{}, secretB{};
  crypto::Ed25519PublicKey keyA{}, keyB{};
  ASSERT_TRUE(crypto::Ed25519GenerateKey(&secretA, &keyA));
  ASSERT_TRUE(crypto::Ed25519GenerateKey(&secretB, &keyB));
  EXPECT_NE(secretA, secretB);
  EXPECT_NE(keyA, keyB);
  crypto::Ed25519PublicKey derived{};
  ASSERT_TRUE(crypto::Ed25519PublicKeyOf(secretA, &derived));
  EXPECT_EQ(derived, keyA);
  const Bytes message = AsBytes("generated");
  crypto::Ed25519Signature signature{};
  ASSERT_TRUE(crypto::Ed25519Sign(secretA, keyA, message, &signature));
  EXPECT_TRUE(crypto::Ed25519Verify(keyA, message, signature));
  EXPECT_FALSE(crypto::Ed25519Verify(keyB, message, signature));
}

// ---------------------------------------------------------------------------------------------
// Public keys.

TEST(PublicKeyTest, ReadsEveryFormAndWritesMinisignsFile) {
  const std::string line = Lines(vectors::kPublicKeyFile)[1];
  const std::string forms[] = {
      std::string(vectors::kPublicKeyFile),
      line,
      line + "\n",
      line + "\r\n",
      JoinLines(Lines(vectors::kPublicKeyFile), "\r\n"),
      "untrusted comment: renamed by hand\n" + line,
  };
  const PublicKey expected = ParsedPublicKey(vectors::kPublicKeyFile);
  EXPECT_EQ(KeyIdText(expected.keyId), "1822DA2C97BDC1E8");
  for (const std::string& form : forms) EXPECT_EQ(ParsedPublicKey(form), expected) << form;
  EXPECT_EQ(FormatPublicKeyFile(expected), vectors::kPublicKeyFile);
  EXPECT_EQ(FormatPublicKeyLine(expected), line);
}

TEST(PublicKeyTest, RefusesBadKeys) {
  const std::string file(vectors::kPublicKeyFile);
  const std::string line = Lines(file)[1];
  struct Case {
    const char* name;
    std::string text;
    std::string_view error;
  };
  const Case cases[] = {
      {"empty", "", "empty"},
      {"comment only", Lines(file)[0] + "\n", "missing after the comment"},
      {"no comment prefix", "comment: x\n" + line + "\n", "untrusted comment"},
      {"third line", file + "x\n", "text follows line 2"},
      {"blank line after the key", file + "\n", "text follows line 2"},
      {"garbled base64", line.substr(0, 10) + "*" + line.substr(11), "not valid base64"},
      {"space in the line", line + " ", "not valid base64"},
      {"a group short", line.substr(0, line.size() - 4), "holds 39 bytes instead of 42"},
      {"a group too many", line + "AAAA", "holds 45 bytes instead of 42"},
      // "RU" instead of "RW" turns the algorithm "Ed" into "ED", which no key has.
      {"signature algorithm", "RU" + line.substr(2), "unknown key algorithm \"ED\""},
      {"over-long", std::string(kMaxKeyTextSize + 1, 'A'), "longer than 2048 bytes"},
      {"key of small order", FormatPublicKeyLine(PublicKey{{1, 2, 3, 4, 5, 6, 7, 8}, {1}}),
       "not a usable Ed25519 public key"},
      {"key off the curve",
       FormatPublicKeyLine(PublicKey{
           {},
           ArrayFromHex<32>("2b902f8911e81818f8c99d5d5d9831957504d90e945de2e8f54ee781739dbd4d")}),
       "not a usable Ed25519 public key"},
  };
  for (const Case& c : cases) {
    PublicKey key;
    key.keyId[0] = 0x5A;
    const PublicKey before = key;
    std::string error;
    EXPECT_FALSE(ParsePublicKey(c.text, &key, &error)) << c.name;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(key, before) << c.name;
  }
}

// ---------------------------------------------------------------------------------------------
// Verification: one table over every cause.

struct Keys {
  PublicKey minisign = ParsedPublicKey(vectors::kPublicKeyFile);
  PublicKey unlocked = ParsedPublicKey(vectors::kUnlockedPublicKeyFile);
  SecretKey ours;
  SecretKey other;
};

const Keys& TestKeys() {
  static const Keys keys = [] {
    Keys k;
    std::string error;
    EXPECT_TRUE(GenerateKeyPair(&k.ours, &error)) << error;
    EXPECT_TRUE(GenerateKeyPair(&k.other, &error)) << error;
    return k;
  }();
  return keys;
}

std::string SignedByUs(const Bytes& data, bool prehashed, std::string_view comment = "ours") {
  std::string text;
  std::string error;
  EXPECT_TRUE(Sign(data, TestKeys().ours, comment, &text, &error, prehashed)) << error;
  return text;
}

// The minisign prehashed vector after `change` was applied to its parsed form.
std::string Tampered(const std::function<void(Signature&)>& change) {
  Signature signature = ParsedSignature(vectors::kPrehashedSignature);
  change(signature);
  return FormatSignature(signature);
}

struct VerifyCase {
  const char* name;
  std::function<std::string()> signature;
  VerifyResult expected;
  std::string_view commentOrDetail = {};  // the trusted comment when good, else in the detail
  std::function<Bytes()> data = VectorData;
  std::function<std::vector<PublicKey>()> trusted = [] {
    return std::vector<PublicKey>{TestKeys().minisign, PublicKeyOf(TestKeys().ours)};
  };
};

void PrintTo(const VerifyCase& c, std::ostream* out) {
  *out << c.name;
}

class VerifyTest : public testing::TestWithParam<VerifyCase> {};

TEST_P(VerifyTest, Result) {
  const VerifyCase& c = GetParam();
  const std::vector<PublicKey> trusted = c.trusted();
  const Verification verification = Verify(c.data(), c.signature(), trusted);
  EXPECT_EQ(verification.result, c.expected)
      << VerifyResultText(verification.result) << ": " << verification.detail;
  if (c.expected == VerifyResult::kGood) {
    EXPECT_EQ(verification.trustedComment, c.commentOrDetail);
  } else {
    EXPECT_TRUE(verification.trustedComment.empty());
    EXPECT_NE(verification.detail.find(c.commentOrDetail), std::string::npos)
        << verification.detail;
  }
}

std::string Text(std::string_view text) {
  return std::string(text);
}

const VerifyCase kVerifyCases[] = {
    // Good signatures, both forms, from both tools.
    {"MinisignPrehashed", [] { return Text(vectors::kPrehashedSignature); }, VerifyResult::kGood,
     vectors::kPrehashedComment},
    {"MinisignLegacy", [] { return Text(vectors::kLegacySignature); }, VerifyResult::kGood,
     vectors::kLegacyComment},
    {"MinisignEmptyFile", [] { return Text(vectors::kEmptyDataSignature); }, VerifyResult::kGood,
     vectors::kEmptyComment, [] { return Bytes{}; }},
    {"MinisignSecondTrustedKey", [] { return Text(vectors::kUnlockedSignature); },
     VerifyResult::kGood, vectors::kUnlockedComment, VectorData,
     [] {
       return std::vector<PublicKey>{TestKeys().minisign, TestKeys().unlocked};
     }},
    {"OursPrehashed", [] { return SignedByUs(VectorData(), true); }, VerifyResult::kGood, "ours"},
    {"OursLegacy", [] { return SignedByUs(VectorData(), false); }, VerifyResult::kGood, "ours"},
    {"OursEmptyFile", [] { return SignedByUs({}, true); }, VerifyResult::kGood, "ours",
     [] { return Bytes{}; }},
    {"CrLfLineEndings", [] { return JoinLines(Lines(vectors::kPrehashedSignature), "\r\n"); },
     VerifyResult::kGood, vectors::kPrehashedComment},
    {"NoFinalLineEnding",
     [] {
       std::string text(vectors::kPrehashedSignature);
       text.pop_back();
       return text;
     },
     VerifyResult::kGood, vectors::kPrehashedComment},
    {"UntrustedCommentIsNotSigned",
     [] { return WithLine(vectors::kPrehashedSignature, 0, "untrusted comment: anything"); },
     VerifyResult::kGood, vectors::kPrehashedComment},

    // The file is not what was signed.
    {"TamperedFilePrehashed", [] { return Text(vectors::kPrehashedSignature); },
     VerifyResult::kBadSignature, "",
     [] {
       Bytes data = VectorData();
       data[500] ^= 0x80;
       return data;
     }},
    {"TamperedFileLegacy", [] { return Text(vectors::kLegacySignature); },
     VerifyResult::kBadSignature, "",
     [] {
       Bytes data = VectorData();
       data.back() ^= 0x01;
       return data;
     }},
    {"FileWithAByteMore", [] { return Text(vectors::kPrehashedSignature); },
     VerifyResult::kBadSignature, "",
     [] {
       Bytes data = VectorData();
       data.push_back(0);
       return data;
     }},
    {"EmptyFileForAFullSignature", [] { return Text(vectors::kPrehashedSignature); },
     VerifyResult::kBadSignature, "", [] { return Bytes{}; }},
    {"OursTamperedFile", [] { return SignedByUs(AsBytes("original"), true); },
     VerifyResult::kBadSignature, "", [] { return AsBytes("0riginal"); }},

    // The signature is not what the key made.
    {"TamperedSignature", [] { return Tampered([](Signature& s) { s.signature[40] ^= 0x04; }); },
     VerifyResult::kBadSignature},
    {"PrehashedReadAsLegacy",
     [] { return Tampered([](Signature& s) { s.algorithm = Algorithm::kLegacy; }); },
     VerifyResult::kBadSignature},
    {"LegacyReadAsPrehashed",
     [] {
       Signature s = ParsedSignature(vectors::kLegacySignature);
       s.algorithm = Algorithm::kPrehashed;
       return FormatSignature(s);
     },
     VerifyResult::kBadSignature},
    {"TamperedKeyId", [] { return Tampered([](Signature& s) { s.keyId[7] ^= 0x01; }); },
     VerifyResult::kUnknownKey, "key id 1922DA2C97BDC1E8"},

    // Keys.
    {"WrongKey", [] { return Text(vectors::kPrehashedSignature); }, VerifyResult::kUnknownKey,
     "key id 1822DA2C97BDC1E8", VectorData,
     [] { return std::vector<PublicKey>{PublicKeyOf(TestKeys().other)}; }},
    {"WrongKeyWithTheSameKeyId", [] { return Text(vectors::kPrehashedSignature); },
     VerifyResult::kBadSignature, "", VectorData,
     [] {
       return std::vector<PublicKey>{
           PublicKey{TestKeys().minisign.keyId, TestKeys().other.publicKey}};
     }},
    {"RightKeyAfterAnImpostorWithItsKeyId", [] { return Text(vectors::kPrehashedSignature); },
     VerifyResult::kGood, vectors::kPrehashedComment, VectorData,
     [] {
       return std::vector<PublicKey>{
           PublicKey{TestKeys().minisign.keyId, TestKeys().other.publicKey}, TestKeys().minisign};
     }},
    {"NoTrustedKeys", [] { return Text(vectors::kPrehashedSignature); }, VerifyResult::kUnknownKey,
     "", VectorData, [] { return std::vector<PublicKey>{}; }},

    // The trusted comment is not what the key signed.
    {"TamperedTrustedComment",
     [] { return Tampered([](Signature& s) { s.trustedComment.back() = 'H'; }); },
     VerifyResult::kBadTrustedComment},
    {"TrustedCommentExtended",
     [] { return Tampered([](Signature& s) { s.trustedComment += "\tversion:9"; }); },
     VerifyResult::kBadTrustedComment},
    {"TamperedGlobalSignature",
     [] { return Tampered([](Signature& s) { s.globalSignature[0] ^= 0x10; }); },
     VerifyResult::kBadTrustedComment},
    {"GlobalSignatureOfAnotherSignature",
     [] {
       return Tampered([](Signature& s) {
         s.globalSignature = ParsedSignature(vectors::kLegacySignature).globalSignature;
       });
     },
     VerifyResult::kBadTrustedComment},

    // No signature, or not a signature.
    {"Missing", [] { return std::string(); }, VerifyResult::kMissingSignature},
    {"OnlyALineEnding", [] { return std::string("\n"); }, VerifyResult::kMalformedSignature,
     "1 lines instead of 4"},
    {"ThreeLines",
     [] {
       auto lines = Lines(vectors::kPrehashedSignature);
       lines.pop_back();
       return JoinLines(lines);
     },
     VerifyResult::kMalformedSignature, "3 lines instead of 4"},
    {"FifthLine", [] { return Text(vectors::kPrehashedSignature) + "x\n"; },
     VerifyResult::kMalformedSignature, "text follows line 4"},
    {"BlankFifthLine", [] { return Text(vectors::kPrehashedSignature) + "\n"; },
     VerifyResult::kMalformedSignature, "text follows line 4"},
    {"NoUntrustedPrefix",
     [] { return WithLine(vectors::kPrehashedSignature, 0, "signature from minisign"); },
     VerifyResult::kMalformedSignature, "line 1 does not start"},
    {"NoTrustedPrefix",
     [] { return WithLine(vectors::kPrehashedSignature, 2, "timestamp:1700000000"); },
     VerifyResult::kMalformedSignature, "line 3 does not start"},
    {"LinesSwapped",
     [] {
       auto lines = Lines(vectors::kPrehashedSignature);
       std::swap(lines[1], lines[3]);
       return JoinLines(lines);
     },
     VerifyResult::kMalformedSignature, "line 2 holds 64 bytes instead of 74"},
    {"GarbledSignatureLine",
     [] {
       auto lines = Lines(vectors::kPrehashedSignature);
       lines[1][20] = '%';
       return JoinLines(lines);
     },
     VerifyResult::kMalformedSignature, "line 2 is not valid base64"},
    {"GarbledGlobalLine",
     [] {
       auto lines = Lines(vectors::kPrehashedSignature);
       lines[3].insert(10, " ");
       return JoinLines(lines);
     },
     VerifyResult::kMalformedSignature, "line 4 is not valid base64"},
    {"PaddingMissing",
     [] {
       auto lines = Lines(vectors::kPrehashedSignature);
       lines[3].resize(lines[3].size() - 2);
       return JoinLines(lines);
     },
     VerifyResult::kMalformedSignature, "line 4 is not valid base64"},
    // The digit before '=' carries two unused bits; setting one gives the same bytes in a
    // second spelling, which canonical base64 refuses.
    {"NonCanonicalBase64",
     [] {
       auto lines = Lines(vectors::kPrehashedSignature);
       char& digit = lines[1][lines[1].size() - 2];
       const std::string alphabet =
           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
       digit = alphabet[alphabet.find(digit) | 1];
       return JoinLines(lines);
     },
     VerifyResult::kMalformedSignature, "line 2 is not valid base64"},
    {"SignatureLineAGroupShort",
     [] {
       auto lines = Lines(vectors::kPrehashedSignature);
       lines[1].erase(0, 4);
       return JoinLines(lines);
     },
     VerifyResult::kMalformedSignature, "line 2 holds 71 bytes instead of 74"},
    // "AA" for the first two digits makes the algorithm bytes 00 04.
    {"UnknownAlgorithm",
     [] {
       auto lines = Lines(vectors::kPrehashedSignature);
       lines[1].replace(0, 2, "AA");
       return JoinLines(lines);
     },
     VerifyResult::kMalformedSignature, "unknown signature algorithm \"\\x00\\x04\""},
    {"NulInTrustedComment",
     [] { return Tampered([](Signature& s) { s.trustedComment[3] = '\0'; }); },
     VerifyResult::kMalformedSignature, "NUL"},
    {"CarriageReturnInUntrustedComment",
     [] { return Tampered([](Signature& s) { s.untrustedComment = "a\rb"; }); },
     VerifyResult::kMalformedSignature, "carriage return"},
    {"TrustedCommentTooLong",
     [] { return Tampered([](Signature& s) { s.trustedComment = std::string(8174, 'c'); }); },
     VerifyResult::kMalformedSignature, "longer than 8173"},
    {"UntrustedCommentTooLong",
     [] { return Tampered([](Signature& s) { s.untrustedComment = std::string(1006, 'u'); }); },
     VerifyResult::kMalformedSignature, "longer than 1024"},
    {"TextTooLong",
     [] { return Text(vectors::kPrehashedSignature) + std::string(kMaxSignatureTextSize, 'x'); },
     VerifyResult::kMalformedSignature, "longer than 10240"},
};

INSTANTIATE_TEST_SUITE_P(Cases, VerifyTest, testing::ValuesIn(kVerifyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VerifyTest, EveryTruncationIsRefused) {
  const std::string text(vectors::kPrehashedSignature);
  const std::vector<PublicKey> trusted{ParsedPublicKey(vectors::kPublicKeyFile)};
  for (std::size_t size = 1; size + 1 < text.size(); ++size) {
    const Verification v = Verify(VectorData(), text.substr(0, size), trusted);
    EXPECT_EQ(v.result, VerifyResult::kMalformedSignature) << size << ": " << v.detail;
  }
}

TEST(VerifyTest, LongestCommentsStillVerify) {
  std::string text;
  std::string error;
  const std::string comment(kMaxTrustedCommentSize, 't');
  ASSERT_TRUE(Sign(VectorData(), TestKeys().ours, comment, &text, &error)) << error;
  text = WithLine(text, 0,
                  std::string(kUntrustedPrefix) +
                      std::string(kMaxCommentLineSize - kUntrustedPrefix.size(), 'u'));
  const std::vector<PublicKey> trusted{PublicKeyOf(TestKeys().ours)};
  const Verification v = Verify(VectorData(), JoinLines(Lines(text), "\r\n"), trusted);
  EXPECT_EQ(v.result, VerifyResult::kGood) << v.detail;
  EXPECT_EQ(v.trustedComment, comment);
}

TEST(VerifyTest, EveryResultHasItsOwnText) {
  const VerifyResult results[] = {
      VerifyResult::kGood,       VerifyResult::kMissingSignature, VerifyResult::kMalformedSignature,
      VerifyResult::kUnknownKey, VerifyResult::kBadSignature,     VerifyResult::kBadTrustedComment};
  std::set<std::string> texts;
  for (VerifyResult result : results) texts.insert(VerifyResultText(result));
  EXPECT_EQ(texts.size(), std::size(results));
  EXPECT_EQ(texts.count("unknown result"), 0u);
}

// ---------------------------------------------------------------------------------------------
// Signing: identical to minisign's output for the same key, data and trusted comment.

TEST(SignTest, MatchesMinisignByteForByte) {
  struct Case {
    const char* name;
    std::string_view secretKey;
    std::string_view minisig;
    std::string_view comment;
    bool prehashed;
    Bytes data;
  };
  const Case cases[] = {
      {"prehashed", vectors::kSecretKeyFile, vectors::kPrehashedSignature,
       vectors::kPrehashedComment, true, VectorData()},
      {"legacy", vectors::kSecretKeyFile, vectors::kLegacySignature, vectors::kLegacyComment, false,
       VectorData()},
      {"empty file",
       vectors::kSecretKeyFile,
       vectors::kEmptyDataSignature,
       vectors::kEmptyComment,
       true,
       {}},
      {"key whose password was removed", vectors::kUnlockedSecretKeyFile,
       vectors::kUnlockedSignature, vectors::kUnlockedComment, true, VectorData()},
  };
  for (const Case& c : cases) {
    const SecretKey key = ParsedSecretKey(c.secretKey);
    std::string text;
    std::string error;
    ASSERT_TRUE(Sign(c.data, key, c.comment, &text, &error, c.prehashed)) << c.name << error;
    // Ed25519 is deterministic: all but the untrusted comment must be minisign's bytes.
    auto expected = Lines(c.minisig);
    expected[0] = "untrusted comment: signature from vqr-pack secret key";
    EXPECT_EQ(text, JoinLines(expected)) << c.name;
  }
}

TEST(SignTest, RefusesTrustedCommentsMinisignCannotCarry) {
  struct Case {
    const char* name;
    std::string comment;
  };
  const Case cases[] = {
      {"line feed", "version 1\nversion 2"},
      {"carriage return", "a\rb"},
      {"NUL", std::string("a\0b", 3)},
      {"too long", std::string(kMaxTrustedCommentSize + 1, 'c')},
  };
  for (const Case& c : cases) {
    std::string text = "unchanged";
    std::string error;
    EXPECT_FALSE(Sign(VectorData(), TestKeys().ours, c.comment, &text, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
    EXPECT_EQ(text, "unchanged") << c.name;
  }
}

TEST(SignTest, DefaultTrustedCommentIsMinisigns) {
  EXPECT_EQ(DefaultTrustedComment(1700000000, "data.bin", true), vectors::kPrehashedComment);
  EXPECT_EQ(DefaultTrustedComment(5, "a b.bin", false), "timestamp:5\tfile:a b.bin");
}

// ---------------------------------------------------------------------------------------------
// Secret keys.

TEST(SecretKeyTest, ReadsMinisignsUnencryptedKeys) {
  // minisign -G -W leaves the checksum zero; minisign -C -W keeps a real one and the kdf fields.
  EXPECT_EQ(PublicKeyOf(ParsedSecretKey(vectors::kSecretKeyFile)),
            ParsedPublicKey(vectors::kPublicKeyFile));
  EXPECT_EQ(PublicKeyOf(ParsedSecretKey(vectors::kUnlockedSecretKeyFile)),
            ParsedPublicKey(vectors::kUnlockedPublicKeyFile));
}

TEST(SecretKeyTest, WritesWhatItReads) {
  const SecretKey key = TestKeys().ours;
  const std::string text = FormatSecretKey(key);
  const SecretKey read = ParsedSecretKey(text);
  EXPECT_EQ(read.keyId, key.keyId);
  EXPECT_EQ(read.secret, key.secret);
  EXPECT_EQ(read.publicKey, key.publicKey);
  // Layout: 158 bytes in 212 digits; "Ed", no kdf, "B2" checksum.
  const std::string line = Lines(text)[1];
  EXPECT_EQ(line.size(), 212u);
  EXPECT_EQ(line.substr(0, 8), "RWQAAEIy");
  // The checksum is filled in (minisign's own unencrypted keys leave it zero).
  EXPECT_NE(line.substr(168, 43), std::string(43, 'A'));
}

TEST(SecretKeyTest, RefusesBadKeys) {
  const std::string ours = FormatSecretKey(TestKeys().ours);
  const auto withPrefix = [](std::string_view text, const std::string& digits) {
    auto lines = Lines(text);
    lines[1].replace(0, digits.size(), digits);
    return JoinLines(lines);
  };
  struct Case {
    const char* name;
    std::string text;
    std::string_view error;
  };
  const Case cases[] = {
      {"encrypted", std::string(vectors::kEncryptedSecretKeyFile), "encrypted with a password"},
      // Digits 0-7 are the bytes "Ed", kdf, checksum algorithm.
      {"unknown kdf", withPrefix(ours, "RWRYWUIy"), "unknown key derivation \"XY\""},
      {"unknown checksum", withPrefix(ours, "RWQAAEMy"), "unknown checksum algorithm \"C2\""},
      {"unknown algorithm", withPrefix(ours, "RUQAAEIy"), "unknown key algorithm \"ED\""},
      // Digit 200 lies in the checksum (bytes 126-157).
      {"damaged checksum", WithDigitChanged(ours, 1, 200), "checksum does not match"},
      // Digit 136 lies in the public half (bytes 94-125); the key's own checksum catches it.
      {"damaged public half", WithDigitChanged(ours, 1, 136), "checksum does not match"},
      // minisign's zero checksum leaves the check of the public half against the secret.
      {"damaged public half, no checksum", WithDigitChanged(vectors::kSecretKeyFile, 1, 136),
       "public half does not belong"},
      {"damaged secret, no checksum", WithDigitChanged(vectors::kSecretKeyFile, 1, 90),
       "public half does not belong"},
      {"public key file", std::string(vectors::kPublicKeyFile), "holds 42 bytes instead of 158"},
      {"base64 line only", Lines(ours)[1], "1 lines instead of 2"},
      {"no comment prefix", WithLine(ours, 0, "secret key"), "untrusted comment"},
      {"garbled", WithLine(ours, 1, Lines(ours)[1].substr(1)), "not valid base64"},
      {"third line", ours + "\n", "text follows line 2"},
  };
  for (const Case& c : cases) {
    SecretKey key;
    std::string error;
    EXPECT_FALSE(ParseSecretKey(c.text, &key, &error)) << c.name;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
  }
}

}  // namespace
}  // namespace vqr::sig
