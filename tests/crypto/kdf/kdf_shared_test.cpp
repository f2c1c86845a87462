// The shared-secret KDFs, TLS PRF and MGF1 against OpenSSL's SSKDF, X963KDF and TLS1-PRF (in-process) and
// against compositions over OpenSSL's digests where OpenSSL has no matching form (the X9.63 counter from
// 0, MGF1).
#include "crypto/kdf/kdf_shared.h"
#include "tests/crypto/kdf/kdf_test_util.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

using testing_support::Text;

struct Digest {
  int32_t id;
  const char* ours;
  const char* openssl;
  size_t size;
};
constexpr Digest kDigests[] = {{kHashSha1, "SHA1", "SHA1", 20},          {kHashSha256, "SHA256", "SHA256", 32},
                               {kHashSha384, "SHA384", "SHA384", 48},    {kHashSha512, "SHA512", "SHA512", 64},
                               {kHashSha224, "SHA224", "SHA224", 28},    {kHashMd5, "MD5", "MD5", 16},
                               {kHashSha3_256, "SHA3_256", "SHA3-256", 32}};

std::string Be32(uint32_t value) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(value >> (24 - 8 * i));
  return out;
}

// ToBuffer is a Buffer holding bytes.
struct ToBuffer : core::Buffer {
  explicit ToBuffer(const std::string& bytes) { EXPECT_EQ(SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0); }
};

TEST(SharedSecretKdfs, MatchOpenSslAndCompositions) {
  const uint32_t seed = TestSeed(2104);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (const Digest& d : kDigests) {
    for (size_t i = 0; i < 8; ++i) {
      const std::string z = RandomBytes(rng, 1 + rng() % 80);
      const std::string info = RandomBytes(rng, rng() % 60);
      const size_t length = 1 + EdgeLength(rng, i, d.size, 5 * d.size);
      SCOPED_TRACE(std::string(d.ours) + " length " + std::to_string(length));

      // Concatenation KDF: whole digests, reps x hLen bytes.
      core::Buffer out;
      ASSERT_EQ(ConcatKdf(U8(z), static_cast<int32_t>(z.size()), d.ours, static_cast<int32_t>(length), U8(info),
                          static_cast<int32_t>(info.size()), out),
                0);
      const size_t reps = (length + d.size - 1) / d.size;
      ASSERT_EQ(static_cast<size_t>(out.Length()), reps * d.size);
      EXPECT_EQ(ToHex(Text(out).substr(0, length)),
                ToHex(OpenSslKdf("SSKDF",
                                 {TextParam(OSSL_KDF_PARAM_DIGEST, d.openssl), OctetParam(OSSL_KDF_PARAM_KEY, z),
                                  OctetParam(OSSL_KDF_PARAM_INFO, info)},
                                 length)));

      // X9.63: from 1 as ANSI X9.63, from 0 by default.
      const ToBuffer zb(z);
      const ToBuffer infob(info);
      ASSERT_EQ(X963Kdf(zb, infob, d.id, static_cast<int32_t>(length), 1, out), 0);
      EXPECT_EQ(ToHex(Text(out)),
                ToHex(OpenSslKdf("X963KDF",
                                 {TextParam(OSSL_KDF_PARAM_DIGEST, d.openssl), OctetParam(OSSL_KDF_PARAM_KEY, z),
                                  OctetParam(OSSL_KDF_PARAM_INFO, info)},
                                 length)));
      std::string from_zero;
      for (uint32_t counter = 0; from_zero.size() < length; ++counter) {
        from_zero += OpenSslDigest(d.openssl, z + Be32(counter) + info);
      }
      ASSERT_EQ(X963KdfVariant(zb, infob, d.id, static_cast<int32_t>(length), 0, out), 0);
      EXPECT_EQ(ToHex(Text(out)), ToHex(from_zero.substr(0, length)));

      // MGF1 appends to what out holds.
      std::string mask;
      for (uint32_t counter = 0; mask.size() < length; ++counter) mask += OpenSslDigest(d.openssl, z + Be32(counter));
      ASSERT_EQ(out.SetString("head"), 0);
      ASSERT_EQ(Mgf1ByHashName(U8(z), static_cast<int32_t>(z.size()), d.ours, static_cast<int32_t>(length), out), 0);
      EXPECT_EQ(ToHex(Text(out)), ToHex("head" + mask.substr(0, length)));
    }
  }
}

TEST(SharedSecretKdfs, ArgumentsAndNames) {
  core::Buffer out;
  ASSERT_EQ(out.SetString("kept"), 0);
  EXPECT_EQ(Mgf1ByHashName(nullptr, 0, "SHA1", 10, out), kMgf1BadArguments);
  EXPECT_EQ(Mgf1ByHashName(U8("seed"), 4, "SHA1", -1, out), kMgf1BadArguments);
  EXPECT_EQ(Mgf1ByHashName(U8("seed"), 4, "SHA1", 0, out), 0);
  EXPECT_EQ(Mgf1ByHashName(U8("seed"), 4, "NOPE", 10, out), kUnknownDigest);
  EXPECT_EQ(Text(out), "kept");
  EXPECT_EQ(ConcatKdf(U8("z"), 1, "NOPE", 10, nullptr, 0, out), kUnknownDigest);
  // A request of 0 bytes still gives one block.
  ASSERT_EQ(ConcatKdf(U8("z"), 1, "SHA1", 0, nullptr, 0, out), 0);
  EXPECT_EQ(out.Length(), 20);
  EXPECT_EQ(X963Kdf(ToBuffer("z"), ToBuffer(""), 99, 10, 1, out), kUnknownDigest);
  ASSERT_EQ(X963Kdf(ToBuffer("z"), ToBuffer(""), kHashSha1, 0, 1, out), 0);
  EXPECT_EQ(out.Length(), 0);
}

TEST(TlsPrf, MatchesOpenSslTls1PrfAndPHash) {
  const uint32_t seed = TestSeed(2105);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (size_t i = 0; i < 40; ++i) {
    // Odd and even secret lengths: an odd one shares its middle byte between the halves.
    const std::string secret = RandomBytes(rng, 1 + rng() % 100);
    const std::string label = i % 5 == 0 ? "" : "key expansion";
    const std::string seed_bytes = RandomBytes(rng, 1 + rng() % 80);
    const size_t length = 1 + EdgeLength(rng, i, 20, 150);
    SCOPED_TRACE("secret " + std::to_string(secret.size()) + " length " + std::to_string(length));
    const std::string joined = label + seed_bytes;
    core::Buffer out;
    ASSERT_EQ(TlsPrf(ToBuffer(secret), U8(label), static_cast<int32_t>(label.size()), U8(seed_bytes),
                     static_cast<int32_t>(seed_bytes.size()), static_cast<int32_t>(length), out),
              0);
    EXPECT_EQ(ToHex(Text(out)),
              ToHex(OpenSslKdf("TLS1-PRF",
                               {TextParam(OSSL_KDF_PARAM_DIGEST, "MD5-SHA1"), OctetParam(OSSL_KDF_PARAM_SECRET, secret),
                                OctetParam(OSSL_KDF_PARAM_SEED, joined)},
                               length)));
    // P_hash alone is TLS 1.2's PRF with SHA-256.
    InternalHmac hmac;
    ASSERT_EQ(hmac.SetKey(kHashSha256, U8(secret), static_cast<int32_t>(secret.size())), 0);
    ASSERT_EQ(TlsPHash(hmac, ToBuffer(joined), static_cast<int32_t>(length), out), 0);
    EXPECT_EQ(ToHex(Text(out)),
              ToHex(OpenSslKdf("TLS1-PRF",
                               {TextParam(OSSL_KDF_PARAM_DIGEST, "SHA256"), OctetParam(OSSL_KDF_PARAM_SECRET, secret),
                                OctetParam(OSSL_KDF_PARAM_SEED, joined)},
                               length)));
  }
}

}  // namespace
}  // namespace velmora::crypto
