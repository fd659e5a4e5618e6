// The crypto seam: the few primitives the detached signature format (minisign.h) stands on.
//
// The format code is standard C++ only; it calls these functions and nothing else of a crypto
// library. They are defined by the vqr_crypto library (crypto_gcrypt.cpp, libgcrypt), which
// every program that links the core links too.
//
// Every function here is safe to call from any thread at any time: the library is initialised
// once, on first use, whichever thread gets there first. None of them keeps state between
// calls. Apart from the random source (see Ed25519GenerateKey), none of them blocks: they
// compute and return.
//
// Keys use the layout of RFC 8032: a 32-byte secret, from which the 32-byte public key
// (an encoded curve point) is derived. Signatures are the 64 bytes R || S.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vqr::crypto {

inline constexpr std::size_t kBlake2b512Size = 64;
inline constexpr std::size_t kBlake2b256Size = 32;
inline constexpr std::size_t kEd25519SecretSize = 32;
inline constexpr std::size_t kEd25519PublicKeySize = 32;
inline constexpr std::size_t kEd25519SignatureSize = 64;

using Blake2b512Digest = std::array<std::uint8_t, kBlake2b512Size>;
using Blake2b256Digest = std::array<std::uint8_t, kBlake2b256Size>;
using Ed25519Secret = std::array<std::uint8_t, kEd25519SecretSize>;
using Ed25519PublicKey = std::array<std::uint8_t, kEd25519PublicKeySize>;
using Ed25519Signature = std::array<std::uint8_t, kEd25519SignatureSize>;

// BLAKE2b (RFC 7693, unkeyed) with a 64-byte digest of `data`. Any length, empty included.
// Returns false only if the library could not be initialised or refused the digest (then
// *digest is unspecified).
bool Blake2b512(std::span<const std::uint8_t> data, Blake2b512Digest* digest);

// BLAKE2b with a 32-byte digest. This is not the first half of the 64-byte digest: the digest
// length enters the hash's parameter block, so the two differ throughout.
bool Blake2b256(std::span<const std::uint8_t> data, Blake2b256Digest* digest);

// Whether `publicKey` can verify anything: a canonical encoding (y below 2^255 - 19) of a point
// on the curve that is not of small order (such keys accept forged signatures; libsodium, and
// so minisign, refuses them too). Also false for y below 2^192: libgcrypt 1.10 aborts the
// process on such keys, and no generated key has one in practice (odds 2^-63).
bool Ed25519PublicKeyIsUsable(const Ed25519PublicKey& publicKey);

// Whether `signature` is a valid Ed25519 signature of `message` (the message itself, not a
// hash of it) under `publicKey`. As libsodium, refuses a key that is not usable (above), an R
// of small order and an S not below the group order. False for a bad signature, for a message
// of 2 GiB or more (the library takes an int length), and when the library is unavailable:
// every failure is "not valid".
bool Ed25519Verify(const Ed25519PublicKey& publicKey, std::span<const std::uint8_t> message,
                   const Ed25519Signature& signature);

// The public key that belongs to the secret. False only when the library fails.
bool Ed25519PublicKeyOf(const Ed25519Secret& secret, Ed25519PublicKey* publicKey);

// Signs `message` with the key pair (secret, publicKey). `publicKey` must be the secret's own
// public key (Ed25519PublicKeyOf): Ed25519 hashes it into every signature, and a wrong
// one yields signatures that verify under no key. Deterministic: the same key and message
// always give the same signature. False when the library fails or the message is 2 GiB or
// more.
bool Ed25519Sign(const Ed25519Secret& secret, const Ed25519PublicKey& publicKey,
                 std::span<const std::uint8_t> message, Ed25519Signature* signature);

// Fills `out` from the system's cryptographic random source: getrandom() through libgcrypt on
// Linux, BCryptGenRandom on Windows. On Linux it may block briefly while the kernel gathers
// entropy early after boot; it never returns guessable bytes. False only when the source fails.
bool SystemRandom(std::span<std::uint8_t> out);

// A new key pair: a secret from SystemRandom and its public key. Blocks as SystemRandom may.
bool Ed25519GenerateKey(Ed25519Secret* secret, Ed25519PublicKey* publicKey);

}  // namespace vqr::crypto
