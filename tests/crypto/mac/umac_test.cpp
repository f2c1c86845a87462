// UMAC against nettle: the RFC 4418 test messages and random messages of up to 3 MiB split at random
// points, for 4-, 8-, 12- and 16-byte tags; the keying and nonce refusals; the pad cache.
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "crypto/mac/umac.h"
#include "tests/crypto/cipher/cipher_test_util.h"

#ifndef VELMORA_HAVE_NETTLE
#define VELMORA_HAVE_NETTLE 0
#endif
#if VELMORA_HAVE_NETTLE
#include <nettle/umac.h>
#endif

namespace velmora::crypto {
namespace {

#if VELMORA_HAVE_NETTLE
// NettleUmac gives nettle's tag of tag_bytes over message (the nonce set right before the digest).
std::string NettleUmac(const std::string& key, const std::string& nonce, const std::string& message, int tag_bytes) {
  uint8_t tag[16];
  const auto* n = U8(nonce);
  const auto* m = U8(message);
  switch (tag_bytes) {
    case 4: {
      umac32_ctx ctx;
      umac32_set_key(&ctx, U8(key));
      umac32_set_nonce(&ctx, 8, n);
      umac32_update(&ctx, message.size(), m);
      umac32_digest(&ctx, 4, tag);
      break;
    }
    case 8: {
      umac64_ctx ctx;
      umac64_set_key(&ctx, U8(key));
      umac64_set_nonce(&ctx, 8, n);
      umac64_update(&ctx, message.size(), m);
      umac64_digest(&ctx, 8, tag);
      break;
    }
    case 12: {
      umac96_ctx ctx;
      umac96_set_key(&ctx, U8(key));
      umac96_set_nonce(&ctx, 8, n);
      umac96_update(&ctx, message.size(), m);
      umac96_digest(&ctx, 12, tag);
      break;
    }
    default: {
      umac128_ctx ctx;
      umac128_set_key(&ctx, U8(key));
      umac128_set_nonce(&ctx, 8, n);
      umac128_update(&ctx, message.size(), m);
      umac128_digest(&ctx, 16, tag);
      break;
    }
  }
  return std::string(reinterpret_cast<char*>(tag), static_cast<size_t>(tag_bytes));
}
#endif

// OurTag feeds the message in the given pieces (the rest last) and takes the tag.
std::string OurTag(Umac& umac, const std::string& nonce, const std::string& message, const std::vector<size_t>& pieces) {
  size_t at = 0;
  for (size_t piece : pieces) {
    umac.Update(U8(message) + at, piece);
    at += piece;
  }
  umac.Update(U8(message) + at, message.size() - at);
  EXPECT_EQ(umac.Final(U8(nonce), 8), 0);
  const std::string block(reinterpret_cast<char*>(umac.TagBlock()), 16);
  EXPECT_EQ(block.substr(static_cast<size_t>(umac.TagLength())), std::string(16 - static_cast<size_t>(umac.TagLength()), '\0'));
  return block.substr(0, static_cast<size_t>(umac.TagLength()));
}

std::string Repeat(const std::string& s, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += s;
  return out;
}

TEST(UmacOracle, EqualsNettleOnRfcMessagesAndRandomSplits) {
#if !VELMORA_HAVE_NETTLE
  GTEST_SKIP() << "nettle is not available: UMAC comparison skipped";
#else
  const char* seed_text = getenv("VELMORA_CIPHER_SEED");
  const uint32_t seed = seed_text != nullptr ? static_cast<uint32_t>(strtoul(seed_text, nullptr, 10)) : 20261207u;
  std::cout << "umac seed " << seed << "\n";
  std::mt19937 rng(seed);
  // The messages of the RFC 4418 test vectors, with its key and nonce.
  const std::vector<std::string> rfc = {"",
                                        std::string(3, 'a'),
                                        std::string(1024, 'a'),
                                        std::string(32768, 'a'),
                                        std::string(1 << 20, 'a'),
                                        std::string(1 << 24, 'a'),
                                        "abc",
                                        Repeat("abc", 500)};
  for (int tag_bytes : {4, 8, 12, 16}) {
    Umac umac;
    ASSERT_EQ(umac.Key(reinterpret_cast<const uint8_t*>("abcdefghijklmnop"), 16, tag_bytes * 8), 0);
    for (const std::string& message : rfc) {
      EXPECT_EQ(ToHexString(OurTag(umac, "bcdefghi", message, {})),
                ToHexString(NettleUmac("abcdefghijklmnop", "bcdefghi", message, tag_bytes)))
          << tag_bytes << " " << message.size();
    }
  }
  for (int i = 0; i < 48; ++i) {
    const int tag_bytes = 4 * (i % 4 + 1);
    const std::string key = RandomBytes(rng, 16), nonce = RandomBytes(rng, 8);
    const size_t lengths[] = {0, 1, 31, 32, 33, 1023, 1024, 1025, 2048, 2049, 5000, 3u << 20};
    const size_t length = i < 36 ? lengths[i % 12] : static_cast<size_t>(rng()) % ((i < 44 ? 70000u : 3u << 20) + 1);
    const std::string message = RandomBytes(rng, length);
    std::vector<size_t> pieces;
    size_t left = length;
    for (int k = 0; k < 4 && left > 0; ++k) {
      pieces.push_back(static_cast<size_t>(rng()) % (left + 1));
      left -= pieces.back();
    }
    Umac umac;
    ASSERT_EQ(umac.Key(U8(key), 16, tag_bytes * 8), 0);
    const std::string expected = NettleUmac(key, nonce, message, tag_bytes);
    EXPECT_EQ(ToHexString(OurTag(umac, nonce, message, pieces)), ToHexString(expected)) << i << " " << length;
    // The object is ready for the next message at once.
    EXPECT_EQ(OurTag(umac, nonce, message, {}), expected) << i;
  }
#endif
}

TEST(UmacChecks, RefusalsAndPadCache) {
  Umac umac;
  const uint8_t key[16] = {1, 2, 3};
  EXPECT_EQ(umac.Key(key, 16, 48), -1);
  EXPECT_EQ(umac.Key(key, 15, 32), -1);
  ASSERT_EQ(umac.Key(key, 16, 32), 0);
  const uint8_t nonce[8] = {};
  EXPECT_EQ(umac.Final(nonce, 7), -1);
  // With 4-byte tags, nonces 0..3 share one pad block (computed at keying for nonce 0); nonce 4 needs a
  // new one.
  uint8_t n[8] = {};
  const uint64_t before = Umac::PadComputationsForTest();
  ASSERT_EQ(umac.Final(n, 8), 0);
  n[7] = 1;
  ASSERT_EQ(umac.Final(n, 8), 0);
  EXPECT_EQ(Umac::PadComputationsForTest(), before);
  n[7] = 4;
  ASSERT_EQ(umac.Final(n, 8), 0);
  EXPECT_EQ(Umac::PadComputationsForTest(), before + 1);
}

}  // namespace
}  // namespace velmora::crypto
