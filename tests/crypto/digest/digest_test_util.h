// Helpers of the digest tests: hex text, feeding a context in random pieces, and the in-process
// reference digests that Python's hashlib lacks (MD4 through OpenSSL's legacy provider, MD2 and the
// Keccak permutation through nettle).
#pragma once

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "crypto/digest/digest_cores.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/objects/hash_objects.h"
#include "tests/core/python_oracle.h"

#ifndef VELMORA_HAVE_NETTLE
#define VELMORA_HAVE_NETTLE 0
#endif
#if VELMORA_HAVE_NETTLE
#include <nettle/md2.h>
#include <nettle/sha3.h>
#endif

// Tests that need nettle's references skip without it.
#if VELMORA_HAVE_NETTLE
#define VELMORA_REQUIRE_NETTLE() (void)0
#else
#define VELMORA_REQUIRE_NETTLE() GTEST_SKIP() << "nettle is not available: comparison skipped"
#endif

namespace velmora::crypto {

using testing_support::FromHex;
using testing_support::ToHex;

inline std::string Bytes(const uint8_t* data, int32_t length) {
  return std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
}
inline std::string OutputOf(const HashCtx& ctx) { return Bytes(ctx.Output().Bytes(), ctx.Output().Length()); }
inline const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Pieces returns split points for message: one piece, byte by byte, or random piece lengths.
enum class Split { kWhole, kBytes, kRandom };
inline std::vector<size_t> Pieces(size_t length, Split split, std::mt19937& rng) {
  std::vector<size_t> pieces;
  if (split == Split::kWhole) return {length};
  for (size_t done = 0; done < length;) {
    size_t piece = 1;
    if (split == Split::kRandom) piece = rng() % 4 == 0 ? rng() % 300 : rng() % 70;
    piece = std::min(piece, length - done);
    pieces.push_back(piece);
    done += piece;
  }
  return pieces;
}

// HashInPieces selects id (with the Keccak padding flag when keccak is set), feeds message in pieces
// and returns the digest.
inline std::string HashInPieces(int32_t id, const std::string& message, Split split, std::mt19937& rng,
                                bool keccak = false) {
  HashCtx ctx;
  EXPECT_EQ(ctx.SetAlgorithm(id), 0);
  if (keccak) {
    EXPECT_EQ(SetSha3ContextFlag(ctx, 1), 0);
  }
  size_t at = 0;
  for (size_t piece : Pieces(message.size(), split, rng)) {
    EXPECT_EQ(ctx.Update(message.data() + at, static_cast<uint32_t>(piece)), 0);
    at += piece;
  }
  EXPECT_EQ(ctx.Final(), 0);
  return OutputOf(ctx);
}

// HmacInPieces authenticates message with an InternalHmac over digest id.
inline std::string HmacInPieces(InternalHmac& hmac, int32_t id, const std::string& key, const std::string& message,
                                Split split, std::mt19937& rng) {
  EXPECT_EQ(hmac.SetKey(id, U8(key), static_cast<int32_t>(key.size())), 0);
  size_t at = 0;
  for (size_t piece : Pieces(message.size(), split, rng)) {
    EXPECT_EQ(hmac.Update(message.data() + at, static_cast<int32_t>(piece), 0), 0);
    at += piece;
  }
  EXPECT_EQ(hmac.Update(nullptr, 0, 1), 0);
  return Bytes(hmac.Digest(), hmac.DigestLength());
}

// OpenSslLegacyDigest returns the digest of message with a digest of OpenSSL's legacy provider
// ("MD4"), or "" when that provider is not available.
inline std::string OpenSslLegacyDigest(const char* name, const std::string& message) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
  (void)fallback;
  if (legacy == nullptr) return "";
  EVP_MD* md = EVP_MD_fetch(nullptr, name, "provider=legacy");
  if (md == nullptr) return "";
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool ok = EVP_Digest(message.data(), message.size(), out, &length, md, nullptr) == 1;
  EVP_MD_free(md);
  return ok ? std::string(reinterpret_cast<char*>(out), length) : "";
}

#if VELMORA_HAVE_NETTLE
inline std::string NettleMd2(const std::string& message) {
  md2_ctx ctx;
  md2_init(&ctx);
  md2_update(&ctx, message.size(), U8(message));
  uint8_t out[MD2_DIGEST_SIZE];
  md2_digest(&ctx, sizeof out, out);
  return Bytes(out, sizeof out);
}

// KeccakSponge is the original Keccak (pad 0x01 .. 0x80) over nettle's Keccak-f[1600].
inline std::string KeccakSponge(const std::string& message, size_t rate, size_t out_bytes) {
  sha3_state state = {};
  std::string padded = message;
  padded += '\x01';
  while (padded.size() % rate != 0) padded += '\0';
  padded.back() = static_cast<char>(padded.back() | 0x80);
  for (size_t block = 0; block < padded.size(); block += rate) {
    for (size_t i = 0; i < rate; ++i) {
      state.a[i / 8] ^= uint64_t{static_cast<uint8_t>(padded[block + i])} << (8 * (i % 8));
    }
    sha3_permute(&state);
  }
  std::string out;
  for (size_t i = 0; i < out_bytes; ++i) out += static_cast<char>(state.a[i / 8] >> (8 * (i % 8)));
  return out;
}
#else
// Stand-ins for builds without nettle; the tests that need the references skip before calling them.
inline std::string NettleMd2(const std::string&) { return ""; }
inline std::string KeccakSponge(const std::string&, size_t, size_t) { return ""; }
#endif

// Rfc2104 is HMAC composed over a reference digest with block size block.
template <typename Digest>
std::string Rfc2104(Digest digest, size_t block, std::string key, const std::string& message) {
  if (key.size() > block) key = digest(key);
  key.resize(block, '\0');
  std::string inner = key, outer = key;
  for (size_t i = 0; i < block; ++i) {
    inner[i] = static_cast<char>(inner[i] ^ 0x36);
    outer[i] = static_cast<char>(outer[i] ^ 0x5c);
  }
  return digest(outer + digest(inner + message));
}

// PortablePaths runs a block with the digests on their portable block functions and restores the choice.
struct PortablePaths {
  explicit PortablePaths(bool portable) { SetPortableDigests(portable); }
  ~PortablePaths() { SetPortableDigests(false); }
};

}  // namespace velmora::crypto
