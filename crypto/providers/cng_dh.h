// Finite-field Diffie-Hellman through the platform's "DH" algorithm of the BCrypt agreement table
// (provider_tables.h): key pairs for given group parameters, secret agreement with key derivation, and a
// modular exponentiation that runs on the platform when FIPS-compliant mode is on. Numbers enter and
// leave as BigInt values.
//
// The key length L is the prime's byte length as BigInt::ToBytes writes it (which may add one leading
// zero byte) rounded to the nearest multiple of 8 (a remainder of 4 or more rounds up); every number is
// fitted to L bytes (zeros in front, or leading bytes dropped). L always comes from the prime: a peer
// value with leading zero bytes, or a base such as 2, says nothing about the group's size.
//
// Codes: 0; -1 when a function of the agreement table is not loaded; -2 for a name longer than 63
// characters or an exported blob too short for its key length; a BigInt or Buffer code; a platform
// status unchanged (the platform refuses key lengths it does not take). Any thread; the cached "DH"
// algorithm handle is opened once, with the implementation of whichever operation comes first.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/bn/big_int.h"

namespace velmora::crypto {

// DhKeyLength is L for a prime written in prime_bytes bytes.
constexpr int32_t DhKeyLength(int32_t prime_bytes) { return (prime_bytes + 4) / 8 * 8; }

// CngDhAgreement generates a key pair for the group (generator, prime) on the "Microsoft Primitive
// Provider" and returns its public and private values.
[[nodiscard]] int CngDhAgreement(const BigInt& generator, const BigInt& prime, BigInt& public_value,
                                 BigInt& private_value);

// CngDiffieHellman agrees on the secret of own_private and peer_public in the group of prime and
// generator (null: 2) and puts into secret what the platform derivation kdf_name ("TRUNCATE", "HASH",
// "HMAC", "TLS_PRF") makes of it. own_public may be null (zeros are sent). With a hash name (ASCII,
// hash_name_length characters) the derivation gets the name, prepend and append; without one it gets
// none and the platform's least-significant-first output is turned big-endian.
[[nodiscard]] int CngDiffieHellman(const BigInt& peer_public, const BigInt& own_private, const BigInt& prime,
                                   core::BufferCore& secret, const BigInt* own_public, const BigInt* generator,
                                   const char* kdf_name, const char* hash_name, int32_t hash_name_length,
                                   const uint8_t* prepend, int32_t prepend_length, const uint8_t* append,
                                   int32_t append_length);

// CngDhDeriveKey is CngDiffieHellman with the ASCII letters of the hash name upper-cased.
[[nodiscard]] int CngDhDeriveKey(const BigInt& peer_public, const BigInt* own_public, const BigInt& own_private,
                                 const BigInt& prime, const BigInt* generator, core::BufferCore& secret,
                                 const char* kdf_name, const char* hash_name, int32_t hash_name_length,
                                 const uint8_t* prepend, int32_t prepend_length, const uint8_t* append,
                                 int32_t append_length);

// DhModPow sets result = base^exponent mod modulus: with BigInt::ModPow while the default provider mode
// is internal and FIPS-compliant mode is off, else through the platform (base as the peer value,
// exponent as the private value, generator 2, "TRUNCATE"), which pays two key imports per call.
[[nodiscard]] int DhModPow(const BigInt& base, const BigInt& exponent, const BigInt& modulus, BigInt& result);

}  // namespace velmora::crypto
