// The crypto seam over libgcrypt: BLAKE2b and Ed25519; the random source is libgcrypt's on
// Linux (getrandom) and the system's generator on Windows.
#include <gcrypt.h>

#ifdef _WIN32
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#endif

#include <algorithm>
#include <climits>
#include <cstring>

#include "signature/crypto_backend.h"

namespace vqr::crypto {
namespace {

// The oldest libgcrypt with BLAKE2b, Ed25519 signatures over whole messages (RFC 8032) and
// "q@eddsa" of a context made from a secret key alone.
constexpr const char* kMinimumVersion = "1.9.0";

// Initialises libgcrypt once per process, on whichever thread gets here first (a function-local
// static is initialised exactly once, the others wait). Secure memory is switched off: it needs
// the right to lock pages and complains on stderr without it, and our secret keys live in
// ordinary memory anyway (std::array copies the vendor tool reads from a plain file). If another
// library in the process has already finished the initialisation, only the version is checked:
// the settings are then theirs to make.
bool Ready() {
  static const bool ready = [] {
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P))
      return gcry_check_version(kMinimumVersion) != nullptr;
    // The first call of gcry_check_version also initialises the library's internals.
    if (gcry_check_version(kMinimumVersion) == nullptr) return false;
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return ready;
}

// Owns an S-expression.
class Sexp {
 public:
  Sexp() = default;
  Sexp(const Sexp&) = delete;
  Sexp& operator=(const Sexp&) = delete;
  ~Sexp() { gcry_sexp_release(sexp_); }
  gcry_sexp_t* out() { return &sexp_; }
  gcry_sexp_t get() const { return sexp_; }

 private:
  gcry_sexp_t sexp_ = nullptr;
};

// libgcrypt reads a byte string of a given length through "%b", an int and a pointer. An empty
// span may have no pointer; libgcrypt wants one all the same.
const void* BytesOf(std::span<const std::uint8_t> bytes) {
  static const std::uint8_t kNothing = 0;
  return bytes.empty() ? &kNothing : bytes.data();
}

// The y-coordinates, little-endian, of the points of order 1, 2, 4 and 8 (their x only sets
// the sign bit, which the comparison ignores): 0, 1, p - 1 and the two of order 8.
constexpr std::uint8_t kSmallOrderY[][32] = {
    {0},
    {1},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
     0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
     0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
     0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
     0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
};

// The order of the group, L = 2^252 + 27742317777372353535851937790883648493, little-endian.
constexpr std::uint8_t kGroupOrder[32] = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

// The 32-byte encoding's y (bit 255, the sign of x, cleared) at byte i.
std::uint8_t YByte(const std::uint8_t* encoded, std::size_t i) {
  return i == 31 ? encoded[31] & 0x7f : encoded[i];
}

bool HasSmallOrder(const std::uint8_t* encoded) {
  for (const auto& y : kSmallOrderY) {
    bool same = true;
    for (std::size_t i = 0; i < 32 && same; ++i) same = YByte(encoded, i) == y[i];
    if (same) return true;
  }
  return false;
}

// y < p = 2^255 - 19: the encodings p to 2^255 - 1 name the same y as 0 to 18 do.
bool HasCanonicalY(const std::uint8_t* encoded) {
  if (YByte(encoded, 31) != 0x7f || encoded[0] < 0xed) return true;
  for (std::size_t i = 1; i < 31; ++i)
    if (encoded[i] != 0xff) return true;
  return false;
}

// y below 2^192: its top 64-bit word is zero.
bool HasShortY(const std::uint8_t* encoded) {
  for (std::size_t i = 24; i < 32; ++i)
    if (YByte(encoded, i) != 0) return false;
  return true;
}

// S < L, compared from the most significant byte down.
bool IsReducedScalar(const std::uint8_t* s) {
  for (std::size_t i = 32; i-- > 0;) {
    if (s[i] != kGroupOrder[i]) return s[i] < kGroupOrder[i];
  }
  return false;
}

bool FitsInt(std::size_t size) {
  return size <= static_cast<std::size_t>(INT_MAX);
}

bool Blake2b(int algorithm, std::span<const std::uint8_t> data, std::uint8_t* digest) {
  if (!Ready()) return false;
  gcry_buffer_t buffer;
  std::memset(&buffer, 0, sizeof buffer);
  buffer.data = const_cast<void*>(BytesOf(data));
  buffer.size = data.size();
  buffer.len = data.size();
  return gcry_md_hash_buffers(algorithm, 0, digest, &buffer, 1) == 0;
}

// The message as an EdDSA data S-expression: libgcrypt then signs the message itself with
// SHA-512 inside the scheme, which is Ed25519 as RFC 8032 defines it.
bool BuildMessage(std::span<const std::uint8_t> message, Sexp* data) {
  if (!FitsInt(message.size())) return false;
  return gcry_sexp_build(data->out(), nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                         static_cast<int>(message.size()), BytesOf(message)) == 0;
}

// Copies the exactly-32-byte value of the token `name` in `sexp` to `out`.
bool Extract32(gcry_sexp_t sexp, const char* name, std::uint8_t* out) {
  gcry_sexp_t token = gcry_sexp_find_token(sexp, name, 0);
  if (token == nullptr) return false;
  std::size_t length = 0;
  const char* bytes = gcry_sexp_nth_data(token, 1, &length);
  const bool ok = bytes != nullptr && length == 32;
  if (ok) std::memcpy(out, bytes, 32);
  gcry_sexp_release(token);
  return ok;
}

}  // namespace

bool Blake2b512(std::span<const std::uint8_t> data, Blake2b512Digest* digest) {
  return Blake2b(GCRY_MD_BLAKE2B_512, data, digest->data());
}

bool Blake2b256(std::span<const std::uint8_t> data, Blake2b256Digest* digest) {
  return Blake2b(GCRY_MD_BLAKE2B_256, data, digest->data());
}

bool Ed25519PublicKeyIsUsable(const Ed25519PublicKey& publicKey) {
  if (!Ready()) return false;
  // The byte checks come first: the decoding below is one of the places where libgcrypt 1.10
  // aborts on a short y.
  if (!HasCanonicalY(publicKey.data()) || HasShortY(publicKey.data()) ||
      HasSmallOrder(publicKey.data()))
    return false;
  Sexp key;
  if (gcry_sexp_build(key.out(), nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                      static_cast<int>(publicKey.size()), publicKey.data()) != 0)
    return false;
  gcry_ctx_t context = nullptr;
  if (gcry_mpi_ec_new(&context, key.get(), nullptr) != 0) return false;
  gcry_mpi_point_t point = gcry_mpi_ec_get_point("q", context, 1);
  const bool onCurve = point != nullptr && gcry_mpi_ec_curve_point(point, context) != 0;
  gcry_mpi_point_release(point);
  gcry_ctx_release(context);
  return onCurve;
}

bool Ed25519Verify(const Ed25519PublicKey& publicKey, std::span<const std::uint8_t> message,
                   const Ed25519Signature& signature) {
  if (!Ed25519PublicKeyIsUsable(publicKey)) return false;
  if (HasSmallOrder(signature.data()) || !IsReducedScalar(signature.data() + 32)) return false;
  Sexp key;
  Sexp data;
  Sexp sig;
  if (gcry_sexp_build(key.out(), nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                      static_cast<int>(publicKey.size()), publicKey.data()) != 0)
    return false;
  if (!BuildMessage(message, &data)) return false;
  if (gcry_sexp_build(sig.out(), nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature.data(), 32,
                      signature.data() + 32) != 0)
    return false;
  return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}

bool Ed25519PublicKeyOf(const Ed25519Secret& secret, Ed25519PublicKey* publicKey) {
  if (!Ready()) return false;
  Sexp key;
  if (gcry_sexp_build(key.out(), nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))",
                      static_cast<int>(secret.size()), secret.data()) != 0)
    return false;
  gcry_ctx_t context = nullptr;
  if (gcry_mpi_ec_new(&context, key.get(), nullptr) != 0) return false;
  // "q@eddsa" computes the public point from the secret and encodes it as RFC 8032 does.
  gcry_mpi_t point = gcry_mpi_ec_get_mpi("q@eddsa", context, 1);
  bool ok = false;
  if (point != nullptr && gcry_mpi_get_flag(point, GCRYMPI_FLAG_OPAQUE)) {
    unsigned int bits = 0;
    const void* bytes = gcry_mpi_get_opaque(point, &bits);
    if (bytes != nullptr && bits == 8 * publicKey->size()) {
      std::memcpy(publicKey->data(), bytes, publicKey->size());
      ok = true;
    }
  }
  gcry_mpi_release(point);
  gcry_ctx_release(context);
  return ok;
}

bool Ed25519Sign(const Ed25519Secret& secret, const Ed25519PublicKey& publicKey,
                 std::span<const std::uint8_t> message, Ed25519Signature* signature) {
  if (!Ready()) return false;
  Sexp key;
  Sexp data;
  Sexp result;
  if (gcry_sexp_build(key.out(), nullptr,
                      "(private-key(ecc(curve Ed25519)(flags eddsa)(q %b)(d %b)))",
                      static_cast<int>(publicKey.size()), publicKey.data(),
                      static_cast<int>(secret.size()), secret.data()) != 0)
    return false;
  if (!BuildMessage(message, &data)) return false;
  if (gcry_pk_sign(result.out(), data.get(), key.get()) != 0) return false;
  return Extract32(result.get(), "r", signature->data()) &&
         Extract32(result.get(), "s", signature->data() + 32);
}

bool SystemRandom(std::span<std::uint8_t> out) {
#ifdef _WIN32
  // libgcrypt's Windows gatherer polls system statistics and prints notes on stderr where disk
  // counters are off; the system's own generator is the better source there anyway.
  while (!out.empty()) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(out.size(), 1u << 20));
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, out.data(), piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      return false;
    out = out.subspan(piece);
  }
  return true;
#else
  // GCRY_VERY_STRONG_RANDOM: read from getrandom(), the kernel's generator, for key material.
  if (!Ready()) return false;
  if (!out.empty()) gcry_randomize(out.data(), out.size(), GCRY_VERY_STRONG_RANDOM);
  return true;
#endif
}

bool Ed25519GenerateKey(Ed25519Secret* secret, Ed25519PublicKey* publicKey) {
  return SystemRandom(*secret) && Ed25519PublicKeyOf(*secret, publicKey);
}

}  // namespace vqr::crypto
