// AES-GCM, AES-OCB, ChaCha20, Poly1305, ChaCha20-Poly1305, Salsa20/XSalsa20 and AES-XTS of the cipher
// object: the published vectors, differential runs against OpenSSL (EVP ciphers and EVP_MAC), nettle
// and libsodium on random inputs split at random points (printed seed, VELMORA_CIPHER_SEED replaces
// it), and the refusals and failure paths.
#include <openssl/evp.h>

#include <cstdlib>
#include <iostream>
#include <random>

#include <gtest/gtest.h>

#include "crypto/objects/crypto_component.h"
#include "crypto/cipher/aead.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/cipher/internal_cipher.h"
#include "crypto/objects/cipher_selection.h"
#include "tests/crypto/cipher/cipher_test_util.h"
#include "tests/vector_file.h"

#ifndef VELMORA_HAVE_NETTLE
#define VELMORA_HAVE_NETTLE 0
#endif
#ifndef VELMORA_HAVE_SODIUM
#define VELMORA_HAVE_SODIUM 0
#endif
#if VELMORA_HAVE_NETTLE
#include <nettle/gcm.h>
#include <nettle/salsa20.h>
#include <nettle/xts.h>
#endif
#if VELMORA_HAVE_SODIUM
#include <sodium.h>
#endif

namespace velmora::crypto {
namespace {

using testing_support::ReadVectors;
using testing_support::VectorPath;

uint32_t Seed() {
  const char* text = getenv("VELMORA_CIPHER_SEED");
  const uint32_t seed = text != nullptr ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : 20261207u;
  std::cout << "aead seed " << seed << "\n";
  return seed;
}

std::string EvpName(size_t key_bytes, const char* mode) {
  return "AES-" + std::to_string(key_bytes * 8) + "-" + mode;
}

size_t Pick(std::mt19937& rng, size_t low, size_t high) { return low + rng() % (high - low + 1); }

// RandomPieces splits length into up to three update pieces at random points (the rest goes final).
std::vector<size_t> RandomPieces(std::mt19937& rng, size_t length) {
  std::vector<size_t> pieces;
  size_t left = length;
  for (int i = 0, n = static_cast<int>(rng() % 4); i < n && left > 0; ++i) {
    pieces.push_back(Pick(rng, 0, left));
    left -= pieces.back();
  }
  return pieces;
}

struct Aead {
  int32_t algorithm = kCipherAesGcm;
  std::string key, iv, aad;
  int32_t tag_bytes = 16;
};

// RunAead runs one message through a fresh object in update pieces and a final call; decryption takes
// the tag from the end of data (the update pieces stop before it). Encryption output ends with the tag.
CipherRun RunAead(const Aead& a, const std::string& data, bool decrypt, std::vector<size_t> pieces = {}) {
  if (decrypt) {
    size_t room = data.size() > static_cast<size_t>(a.tag_bytes) ? data.size() - static_cast<size_t>(a.tag_bytes) : 0;
    for (size_t& piece : pieces) {
      piece = piece < room ? piece : room;
      room -= piece;
    }
  }
  InternalCipher cipher;
  CipherRun run;
  run.rc = cipher.Init(a.algorithm, U8(a.key), static_cast<int32_t>(a.key.size()), U8(a.iv),
                       static_cast<int32_t>(a.iv.size()), decrypt ? 1 : 0, 0, 0, nullptr);
  if (run.rc == 0) {
    run.rc = cipher.ReInitAead(U8(a.iv), static_cast<int32_t>(a.iv.size()), a.tag_bytes, U8(a.aad),
                               static_cast<int32_t>(a.aad.size()), 0);
  }
  if (run.rc != 0) return run;
  core::Buffer out;
  bool finished = false;  // the final call was made: its output is kept even when it fails
  run.rc = FeedInPieces(data, pieces, [&](const uint8_t* in, int32_t* length, int final) {
    finished = final != 0;
    return decrypt ? cipher.DecryptAead(in, 0, length, out, final) : cipher.EncryptAead(in, 0, length, out, final);
  });
  if (finished) run.out = Str(out);
  return run;
}

// EvpAead runs an OpenSSL AEAD (GCM, OCB, ChaCha20-Poly1305) and returns ciphertext and tag (encryption)
// or the plaintext (decryption, tag at the end of data); *ok false when OpenSSL refuses or the tag fails.
std::string EvpAead(const char* name, const Aead& a, const std::string& data, bool encrypt, bool* ok) {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const size_t body = encrypt ? data.size() : data.size() - static_cast<size_t>(a.tag_bytes);
  std::string out(body + 32, '\0');
  std::string tag = encrypt ? std::string() : data.substr(body);
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  int n = 0, m = 0, ignored = 0;
  const bool ocb = std::string(name).find("OCB") != std::string::npos;
  bool good = cipher != nullptr && EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(a.iv.size()), nullptr) == 1;
  if (good && (ocb || !encrypt)) {
    good = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, a.tag_bytes, encrypt ? nullptr : tag.data()) == 1;
  }
  good = good && EVP_CipherInit_ex2(ctx, nullptr, U8(a.key), U8(a.iv), -1, nullptr) == 1 &&
         (a.aad.empty() || EVP_CipherUpdate(ctx, nullptr, &ignored, U8(a.aad), static_cast<int>(a.aad.size())) == 1) &&
         EVP_CipherUpdate(ctx, o, &n, U8(data), static_cast<int>(body)) == 1 && EVP_CipherFinal_ex(ctx, o + n, &m) == 1;
  out.resize(static_cast<size_t>(n + m));
  if (good && encrypt) {
    tag.assign(static_cast<size_t>(a.tag_bytes), '\0');
    good = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, a.tag_bytes, tag.data()) == 1;
    out += tag;
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  *ok = good;
  return good ? out : std::string();
}

// ChaCha20 and Poly1305 on their portable words, or on AVX2 where present.
struct ChaChaPath {
  explicit ChaChaPath(bool portable) { SetPortableChaCha(portable); }
  ~ChaChaPath() { SetPortableChaCha(false); }
};

std::string Le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

// ---- published vectors -------------------------------------------------------------------------------------

TEST(AeadVectors, GcmOcbChaChaPolyAndXts) {
  for (internal::AesPath path : AesPaths()) {
    AesPathScope scope(path);
    ChaChaPath chacha(path == internal::AesPath::kPortable);
    for (auto& e : ReadVectors(VectorPath("gcm.txt"), {"Key", "Iv", "Aad", "Plaintext", "Ciphertext", "Tag", "Fail"})) {
      SCOPED_TRACE(e.Origin());
      const std::string tag = e.Bytes("Tag");
      const Aead a{kCipherAesGcm, e.Bytes("Key"), e.Bytes("Iv"), e.Bytes("Aad"), static_cast<int32_t>(tag.size())};
      const std::string plain = e.Bytes("Plaintext"), cipher = e.Bytes("Ciphertext");
      const CipherRun dec = RunAead(a, cipher + tag, true);
      if (e.Has("Fail")) {
        e.Get("Fail");
        EXPECT_EQ(dec.rc, kAuthenticationFailed);
        EXPECT_EQ(dec.out, "");
        continue;
      }
      EXPECT_EQ(ToHexString(RunAead(a, plain, false).out), ToHexString(cipher + tag));
      EXPECT_EQ(dec.rc, 0);
      EXPECT_EQ(dec.out, plain);
    }
    for (auto& e : ReadVectors(VectorPath("ocb.txt"), {"Key", "Nonce", "Aad", "Plaintext", "Ciphertext"})) {
      SCOPED_TRACE(e.Origin());
      const Aead a{kCipherAesOcb, e.Bytes("Key"), e.Bytes("Nonce"), e.Bytes("Aad"), 16};
      const std::string plain = e.Bytes("Plaintext"), cipher = e.Bytes("Ciphertext");
      EXPECT_EQ(ToHexString(RunAead(a, plain, false).out), ToHexString(cipher));
      EXPECT_EQ(RunAead(a, cipher, true).out, plain);
    }
  }
  for (auto& e : ReadVectors(VectorPath("chacha20.txt"),
                             {"Algorithm", "Key", "Nonce", "Counter", "Aad", "Plaintext", "Ciphertext", "Tag"})) {
    SCOPED_TRACE(e.Origin());
    const std::string algorithm = e.Get("Algorithm");
    const std::string plain = e.Bytes("Plaintext");
    if (algorithm == "poly1305") {
      Poly1305 poly;
      poly.SetKey(U8(e.Bytes("Key")));
      poly.Update(U8(plain), plain.size());
      uint8_t tag[16];
      poly.Finish(tag);
      EXPECT_EQ(ToHexString(std::string(reinterpret_cast<char*>(tag), 16)), ToHexString(e.Bytes("Tag")));
    } else if (algorithm == "chacha20") {
      const CipherConfig config{kCipherChaCha20, 0, 0, "ChaChaInitialCounter=" + e.Get("Counter")};
      EXPECT_EQ(ToHexString(RunCipher(config, e.Bytes("Key"), e.Bytes("Nonce"), plain, false).out),
                ToHexString(e.Bytes("Ciphertext")));
    } else {
      const Aead a{kCipherChaCha20Poly1305, e.Bytes("Key"), e.Bytes("Nonce"), e.Bytes("Aad"), 16};
      const std::string sealed = e.Bytes("Ciphertext") + e.Bytes("Tag");
      EXPECT_EQ(ToHexString(RunAead(a, plain, false).out), ToHexString(sealed));
      EXPECT_EQ(RunAead(a, sealed, true).out, plain);
    }
  }
  for (auto& e : ReadVectors(VectorPath("xts.txt"), {"Direction", "UnitBits", "Key", "Unit", "Plaintext", "Ciphertext"})) {
    SCOPED_TRACE(e.Origin());
    const bool decrypt = e.Get("Direction") == "decrypt";
    const CipherConfig config{kCipherAes, kModeXts, 0,
                              "AESXTSDataUnitLength=" + std::to_string(std::stoi(e.Get("UnitBits")) / 8) +
                                  ",AESXTSInitialTweak=" + e.Get("Unit")};
    const std::string plain = e.Bytes("Plaintext"), cipher = e.Bytes("Ciphertext");
    EXPECT_EQ(RunCipher(config, e.Bytes("Key"), "", decrypt ? cipher : plain, decrypt).out, decrypt ? plain : cipher);
  }
}

// ---- differential runs -------------------------------------------------------------------------------------

TEST(AeadOracle, GcmEqualsOpenSslBothWaysOnBothPaths) {
  std::mt19937 rng(Seed());
  const int cases = getenv("VELMORA_CIPHER_CASES") != nullptr ? atoi(getenv("VELMORA_CIPHER_CASES")) : 1000;
  for (int i = 0; i < cases; ++i) {
    AesPathScope scope(AesPaths()[static_cast<size_t>(i) % AesPaths().size()]);
    const size_t key_bytes = 16 + 8 * Pick(rng, 0, 2);
    Aead a{kCipherAesGcm, RandomBytes(rng, key_bytes), RandomBytes(rng, Pick(rng, 1, 64)),
           RandomBytes(rng, Pick(rng, 0, 100)), static_cast<int32_t>(Pick(rng, 12, 16))};
    const size_t lengths[] = {0, 1, 15, 16, 17, Pick(rng, 0, 300)};
    const std::string plain = RandomBytes(rng, lengths[i % 6]);
    SCOPED_TRACE(i);
    bool ok = false;
    const std::string expected = EvpAead(EvpName(key_bytes, "GCM").c_str(), a, plain, true, &ok);
    ASSERT_TRUE(ok);
    const CipherRun enc = RunAead(a, plain, false, RandomPieces(rng, plain.size()));
    ASSERT_EQ(enc.rc, 0);
    ASSERT_EQ(ToHexString(enc.out), ToHexString(expected));
    EXPECT_EQ(EvpAead(EvpName(key_bytes, "GCM").c_str(), a, enc.out, false, &ok), plain);
    const CipherRun dec = RunAead(a, expected, true, RandomPieces(rng, expected.size()));
    EXPECT_EQ(dec.rc, 0);
    EXPECT_EQ(dec.out, plain);
  }
}

TEST(AeadOracle, OcbEqualsOpenSsl) {
  std::mt19937 rng(Seed());
  for (int i = 0; i < 300; ++i) {
    AesPathScope scope(AesPaths()[static_cast<size_t>(i) % AesPaths().size()]);
    const size_t key_bytes = 16 + 8 * Pick(rng, 0, 2);
    Aead a{kCipherAesOcb, RandomBytes(rng, key_bytes), RandomBytes(rng, Pick(rng, 1, 15)),
           RandomBytes(rng, Pick(rng, 0, 100)), static_cast<int32_t>(Pick(rng, 8, 16))};
    const size_t lengths[] = {0, 1, 15, 16, 17, Pick(rng, 0, 600)};
    const std::string plain = RandomBytes(rng, lengths[i % 6]);
    SCOPED_TRACE(i);
    bool ok = false;
    const std::string expected = EvpAead(EvpName(key_bytes, "OCB").c_str(), a, plain, true, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ToHexString(RunAead(a, plain, false, RandomPieces(rng, plain.size())).out), ToHexString(expected));
    const CipherRun dec = RunAead(a, expected, true, RandomPieces(rng, expected.size()));
    EXPECT_EQ(dec.rc, 0);
    EXPECT_EQ(dec.out, plain);
  }
}

TEST(AeadOracle, ChaCha20AndChaCha20Poly1305EqualOpenSsl) {
  std::mt19937 rng(Seed());
  for (int i = 0; i < 300; ++i) {
    const std::string key = RandomBytes(rng, 32);
    const bool short_nonce = i % 2 == 1;
    const std::string nonce = RandomBytes(rng, short_nonce ? 8 : 12);
    const uint64_t counters[] = {0, 1, 0xFFFFFFFFull, rng()};
    const uint64_t counter = counters[i % 4];
    // Every third message is long enough for the eight-block and four-lane paths.
    ChaChaPath paths((i / 4) % 2 == 1);
    const std::string plain = RandomBytes(rng, Pick(rng, 0, i % 3 == 0 ? 2000 : 400));
    SCOPED_TRACE(i);
    // OpenSSL's 16-byte IV is word 12 to word 15 as our set-up lays them out.
    const std::string words = short_nonce ? Le32(static_cast<uint32_t>(counter >> 32)) + Le32(static_cast<uint32_t>(counter)) + nonce
                                          : Le32(static_cast<uint32_t>(counter)) + nonce;
    bool ok = false;
    std::string expected = EvpCrypt("ChaCha20", key, words, plain, true, false, &ok);
    ASSERT_TRUE(ok);
    if (!short_nonce && counter == 0xFFFFFFFFull && plain.size() > 64) {
      // Word 12 wraps to 0 without a carry into word 13: the blocks after the first restart at
      // counter 0 with the same nonce words.
      expected = expected.substr(0, 64) + EvpCrypt("ChaCha20", key, Le32(0) + nonce, plain.substr(64), true, false, &ok);
    }
    const CipherConfig config{kCipherChaCha20, 0, 0, "ChaChaInitialCounter=" + std::to_string(counter)};
    EXPECT_EQ(ToHexString(RunCipher(config, key, nonce, plain, false, RandomPieces(rng, plain.size())).out),
              ToHexString(expected));
    // The AEAD: an 8-byte nonce is the 12-byte form with four zero bytes in front.
    Aead a{kCipherChaCha20Poly1305, key, nonce, RandomBytes(rng, Pick(rng, 0, 80)), 16};
    Aead evp = a;
    if (short_nonce) evp.iv = std::string(4, '\0') + nonce;
    const std::string sealed = EvpAead("ChaCha20-Poly1305", evp, plain, true, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ToHexString(RunAead(a, plain, false, RandomPieces(rng, plain.size())).out), ToHexString(sealed));
    const CipherRun dec = RunAead(a, sealed, true, RandomPieces(rng, sealed.size()));
    EXPECT_EQ(dec.rc, 0);
    EXPECT_EQ(dec.out, plain);
  }
}

TEST(AeadOracle, Poly1305EqualsEvpMac) {
  std::mt19937 rng(Seed());
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
  ASSERT_NE(mac, nullptr);
  for (int i = 0; i < 200; ++i) {
    const std::string key = RandomBytes(rng, 32);
    ChaChaPath paths(i % 2 == 1);
    const std::string message = RandomBytes(rng, Pick(rng, 0, i % 4 < 2 ? 300 : 3000));
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    unsigned char expected[16];
    size_t n = 0;
    ASSERT_EQ(EVP_MAC_init(ctx, U8(key), 32, nullptr), 1);
    ASSERT_EQ(EVP_MAC_update(ctx, U8(message), message.size()), 1);
    ASSERT_EQ(EVP_MAC_final(ctx, expected, &n, 16), 1);
    EVP_MAC_CTX_free(ctx);
    Poly1305 poly;
    poly.SetKey(U8(key));
    size_t at = 0;
    for (size_t piece : RandomPieces(rng, message.size())) {
      poly.Update(U8(message) + at, piece);
      at += piece;
    }
    poly.Update(U8(message) + at, message.size() - at);
    uint8_t tag[16];
    poly.Finish(tag);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(tag), 16), std::string(reinterpret_cast<char*>(expected), 16)) << i;
  }
  EVP_MAC_free(mac);
}

TEST(AeadOracle, Salsa20EqualsNettleAndXSalsa20EqualsLibsodium) {
  std::mt19937 rng(Seed());
#if VELMORA_HAVE_NETTLE
  for (int i = 0; i < 60; ++i) {
    const size_t key_bytes = i % 2 == 0 ? 16 : 32;
    const int rounds = i % 4 < 2 ? 20 : 12;
    const std::string key = RandomBytes(rng, key_bytes), nonce = RandomBytes(rng, 8);
    const std::string plain = RandomBytes(rng, Pick(rng, 0, 300));
    salsa20_ctx ctx;
    if (key_bytes == 16) salsa20_128_set_key(&ctx, U8(key));
    else salsa20_256_set_key(&ctx, U8(key));
    salsa20_set_nonce(&ctx, U8(nonce));
    std::string expected(plain.size(), '\0');
    (rounds == 20 ? salsa20_crypt : salsa20r12_crypt)(&ctx, plain.size(), reinterpret_cast<uint8_t*>(expected.data()),
                                                      U8(plain));
    const CipherConfig config{kCipherSalsa20, 0, 0, "Salsa20Algorithm=0,SalsaRounds=" + std::to_string(rounds)};
    EXPECT_EQ(RunCipher(config, key, nonce, plain, false, RandomPieces(rng, plain.size())).out, expected) << i;
  }
#else
  std::cout << "nettle is not available: Salsa20 comparison skipped\n";
#endif
#if VELMORA_HAVE_SODIUM
  ASSERT_GE(sodium_init(), 0);
  for (int i = 0; i < 80; ++i) {
    const int rounds = i % 4 == 0 ? 8 : i % 4 == 1 ? 12 : 20;
    const bool extended = i % 4 != 0 || i % 8 == 4;
    const std::string key = RandomBytes(rng, 32), nonce = RandomBytes(rng, extended ? 24 : 8);
    const std::string plain = RandomBytes(rng, Pick(rng, 0, 300));
    std::string expected(plain.size(), '\0');
    auto* e = reinterpret_cast<unsigned char*>(expected.data());
    unsigned char subkey[32];
    const unsigned char* k = U8(key);
    const unsigned char* n = U8(nonce);
    if (extended) {
      crypto_core_hsalsa20(subkey, n, k, nullptr);
      k = subkey;
      n += 16;
    }
    if (rounds == 20) crypto_stream_salsa20_xor(e, U8(plain), plain.size(), n, k);
    if (rounds == 12) crypto_stream_salsa2012_xor(e, U8(plain), plain.size(), n, k);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (rounds == 8) crypto_stream_salsa208_xor(e, U8(plain), plain.size(), n, k);
#pragma GCC diagnostic pop
    const CipherConfig config{kCipherSalsa20, 0, 0,
                              std::string("Salsa20Algorithm=") + (extended ? "1" : "0") + ",SalsaRounds=" + std::to_string(rounds)};
    EXPECT_EQ(RunCipher(config, key, nonce, plain, false, RandomPieces(rng, plain.size())).out, expected) << i;
    if (extended && rounds == 20) {
      std::string direct(plain.size(), '\0');
      crypto_stream_xsalsa20_xor(reinterpret_cast<unsigned char*>(direct.data()), U8(plain), plain.size(), U8(nonce), U8(key));
      EXPECT_EQ(direct, expected);
    }
  }
#else
  GTEST_SKIP() << "libsodium is not available: XSalsa20 comparison skipped";
#endif
}

TEST(AeadOracle, XtsEqualsOpenSslPerUnitAndNettleForStolenTails) {
  std::mt19937 rng(Seed());
  for (int i = 0; i < 60; ++i) {
    AesPathScope scope(AesPaths()[static_cast<size_t>(i) % AesPaths().size()]);
    std::string key = RandomBytes(rng, 32);
    const size_t unit = 16 * Pick(rng, 1, 256);
    const size_t units = Pick(rng, 1, 3);
    const uint64_t first = i % 3 == 0 ? 0 : (static_cast<uint64_t>(rng()) << 32 | rng());
    const std::string plain = RandomBytes(rng, unit * units);
    std::string expected;
    for (size_t u = 0; u < units; ++u) {
      const uint64_t number = first + u;
      std::string tweak(16, '\0');
      for (int b = 0; b < 8; ++b) tweak[static_cast<size_t>(b)] = static_cast<char>(number >> (8 * b));
      bool ok = false;
      expected += EvpCrypt("AES-128-XTS", key, tweak, plain.substr(u * unit, unit), true, false, &ok);
      ASSERT_TRUE(ok);
    }
    const CipherConfig config{kCipherAes, kModeXts, 0,
                              "AESXTSDataUnitLength=" + std::to_string(unit) + ",AESXTSInitialTweak=" + std::to_string(first)};
    // Pieces at block boundaries, so a unit is also split across calls.
    std::vector<size_t> pieces;
    for (size_t p : RandomPieces(rng, plain.size())) pieces.push_back(p - p % 16);
    SCOPED_TRACE(i);
    EXPECT_EQ(ToHexString(RunCipher(config, key, "", plain, false, pieces).out), ToHexString(expected));
    EXPECT_EQ(RunCipher(config, key, "", expected, true, pieces).out, plain);
    // The one-shot in-place forms, one unit at a time.
    if (units == 1) {
      InternalCipher cipher;
      ASSERT_EQ(cipher.Init(kCipherAes, U8(key), 32, nullptr, 0, 0, kModeXts, 0, config.options.c_str()), 0);
      std::string buffer = plain;
      ASSERT_EQ(XtsEncryptInPlace(cipher, reinterpret_cast<uint8_t*>(buffer.data()), static_cast<int32_t>(buffer.size()), first), 0);
      EXPECT_EQ(buffer, expected);
      ASSERT_EQ(XtsDecryptInPlace(cipher, reinterpret_cast<uint8_t*>(buffer.data()), static_cast<int32_t>(buffer.size()), first), 0);
      EXPECT_EQ(buffer, plain);
    }
  }
#if VELMORA_HAVE_NETTLE
  for (size_t length = 17; length <= 47; ++length) {
    const std::string key = RandomBytes(rng, 32), plain = RandomBytes(rng, length);
    xts_aes128_key ctx;
    xts_aes128_set_encrypt_key(&ctx, U8(key));
    const uint8_t tweak[16] = {5};
    std::string expected(length, '\0');
    xts_aes128_encrypt_message(&ctx, tweak, length, reinterpret_cast<uint8_t*>(expected.data()), U8(plain));
    const CipherConfig config{kCipherAes, kModeXts, 0, "AESXTSInitialTweak=5"};
    EXPECT_EQ(RunCipher(config, key, "", plain, false).out, expected) << length;
    EXPECT_EQ(RunCipher(config, key, "", expected, true).out, plain) << length;
  }
#else
  GTEST_SKIP() << "nettle is not available: XTS stealing comparison skipped";
#endif
}

// The key schedules and the bulk XTS forms on every AES path and both AES-NI encodings, over block counts around the
// eight-block batches, against OpenSSL's XTS for 128- and 256-bit keys (the starting tweak from its ECB
// under the second key) and against the tables for 192-bit keys, which OpenSSL's XTS lacks. Each
// path must also leave the same tweak for the next block.
TEST(AeadOracle, XtsBulkFormsEqualOpenSslOnEveryPath) {
  std::mt19937 rng(Seed());
  using Form = void (*)(const uint32_t*, int32_t, uint8_t*, const uint8_t*, uint8_t*, size_t, bool);
  std::vector<std::pair<const char*, Form>> forms = {{"bulk", AesXtsBlocks}};
  if (internal::CpuHasAesNi()) {
    forms.emplace_back("AES-NI", internal::AesXtsBlocksNi);
    forms.emplace_back("AES-NI SSE", internal::AesXtsBlocksNiSse);
  }
  for (int i = 0; i < 90; ++i) {
    const size_t key_bytes = 16 + 8 * static_cast<size_t>(i % 3);
    const bool encrypt = i % 2 == 0;
    const size_t blocks = i < 30 ? static_cast<size_t>(i) : Pick(rng, 0, 70);
    const std::string data_key = RandomBytes(rng, key_bytes), tweak_key = RandomBytes(rng, key_bytes);
    const std::string iv = RandomBytes(rng, 16), data = RandomBytes(rng, 16 * blocks);
    bool ok = false;
    const std::string tweak = EvpCrypt(EvpName(key_bytes, "ECB").c_str(), tweak_key, "", iv, true, false, &ok);
    ASSERT_TRUE(ok);
    std::string expected;
    if (key_bytes != 24 && blocks != 0) {
      expected = EvpCrypt(EvpName(key_bytes, "XTS").c_str(), data_key + tweak_key, iv, data, encrypt, false, &ok);
      ASSERT_TRUE(ok);
    }
    std::vector<uint32_t> schedule(kRoundKeyWords);
    const int32_t bits = static_cast<int32_t>(8 * key_bytes);
    const int32_t rounds = encrypt ? AesSetEncryptKey(schedule.data(), U8(data_key), bits)
                                   : AesSetDecryptKey(schedule.data(), U8(data_key), bits);
    // The tables give the key schedule, the 192-bit expectation and, for every size, the tweak left for
    // the next block.
    std::string reference_tweak = tweak, reference_out(data.size(), '\0');
    {
      AesPathScope scope(internal::AesPath::kPortable);
      std::vector<uint32_t> table_schedule(kRoundKeyWords);
      if (encrypt) {
        AesSetEncryptKey(table_schedule.data(), U8(data_key), bits);
      } else {
        AesSetDecryptKey(table_schedule.data(), U8(data_key), bits);
      }
      EXPECT_EQ(table_schedule, schedule) << i;
      AesXtsBlocks(schedule.data(), rounds, reinterpret_cast<uint8_t*>(reference_tweak.data()), U8(data),
                   reinterpret_cast<uint8_t*>(reference_out.data()), blocks, encrypt);
    }
    if (key_bytes == 24) expected = reference_out;
    for (internal::AesPath path : AesPaths()) {
      AesPathScope scope(path);
      for (const auto& [name, form] : forms) {
        SCOPED_TRACE(std::to_string(i) + " " + AesPathName(path) + " " + name);
        std::string out(data.size(), '\0'), next = tweak;
        form(schedule.data(), rounds, reinterpret_cast<uint8_t*>(next.data()), U8(data),
             reinterpret_cast<uint8_t*>(out.data()), blocks, encrypt);
        EXPECT_EQ(ToHexString(out), ToHexString(expected));
        EXPECT_EQ(ToHexString(next), ToHexString(reference_tweak));
      }
    }
  }
}

// ---- failure paths and refusals ---------------------------------------------------------------------------

TEST(AeadChecks, TamperedTagsBudgetAndShortNonces) {
  std::mt19937 rng(Seed());
  const std::string plain = RandomBytes(rng, 40);
  for (int32_t algorithm : {kCipherAesGcm, kCipherAesOcb, kCipherChaCha20Poly1305}) {
    Aead a{algorithm, RandomBytes(rng, 32), RandomBytes(rng, 12), "aad", algorithm == kCipherAesOcb ? 12 : 16};
    std::string sealed = RunAead(a, plain, false).out;
    for (size_t at : {sealed.size() - 1, sealed.size() - static_cast<size_t>(a.tag_bytes), size_t{0}}) {
      std::string bad = sealed;
      bad[at] = static_cast<char>(bad[at] ^ 0x01);
      const CipherRun run = RunAead(a, bad, true);
      EXPECT_EQ(run.rc, kAuthenticationFailed) << algorithm << " " << at;
      EXPECT_EQ(run.out, "");
    }
  }
  // GCM's default tag is 12 bytes; a 16-byte expectation against it fails.
  Aead gcm{kCipherAesGcm, RandomBytes(rng, 16), RandomBytes(rng, 12), "", 12};
  EXPECT_EQ(RunAead(gcm, plain, false).out.size(), plain.size() + 12);
  // The block budget: two counter blocks, then 2011 encrypting and 1001 decrypting.
  SetGcmBlockBudgetForTest(2);
  EXPECT_EQ(RunAead(gcm, plain.substr(0, 33), false).rc, kGcmBudgetExhausted);
  EXPECT_EQ(RunAead(gcm, plain.substr(0, 33) + std::string(12, '\0'), true).rc, kCounterBudgetExhausted);
  EXPECT_EQ(RunAead(gcm, plain.substr(0, 32), false, {5, 20}).rc, 0);
  SetGcmBlockBudgetForTest(kGcmBlockBudget);
  // An empty nonce would give every message under the key one keystream: it is refused and the object
  // stays without a key schedule. A one-byte nonce is the shortest taken.
  gcm.iv.clear();
  gcm.tag_bytes = 16;
  EXPECT_EQ(RunAead(gcm, plain, false).rc, kBadNonceSize);
  component::CryptoComponent component;
  ASSERT_EQ(SelectCipherProvider(component, kEngineCipherAesGcm, kProviderInternal), 0);
  CipherObject* refused = HeldCipher(component);
  EXPECT_EQ(refused->Init(kCipherAesGcm, U8(gcm.key), 16, nullptr, 0, 0, 0, 0, nullptr), kBadNonceSize);
  core::Buffer none;
  int32_t length = 16;
  EXPECT_NE(refused->EncryptAead(U8(plain), 0, &length, none, 1), 0);
  EXPECT_EQ(none.Length(), 0);
#if VELMORA_HAVE_NETTLE
  gcm.iv = "n";
  gcm_aes128_ctx ctx;
  gcm_aes128_set_key(&ctx, U8(gcm.key));
  gcm_aes128_set_iv(&ctx, 1, U8(gcm.iv));
  std::string expected(plain.size() + 16, '\0');
  auto* e = reinterpret_cast<uint8_t*>(expected.data());
  gcm_aes128_encrypt(&ctx, plain.size(), e, U8(plain));
  gcm_aes128_digest(&ctx, 16, e + plain.size());
  EXPECT_EQ(ToHexString(RunAead(gcm, plain, false).out), ToHexString(expected));
#endif
}

TEST(AeadChecks, StreamSplitsAndRefusals) {
  std::mt19937 rng(Seed());
  const std::string key = RandomBytes(rng, 32), plain = RandomBytes(rng, 64);
  const CipherConfig salsa{kCipherSalsa20, 0, 0, ""};
  const std::string nonce = RandomBytes(rng, 24);
  const std::string whole = RunCipher(salsa, key, nonce, plain, false).out;
  EXPECT_EQ(RunCipher(salsa, key, nonce, plain, false, {10}).out, whole);
  EXPECT_EQ(RunCipher(salsa, key, nonce, plain, false, {30}).out, whole);
  EXPECT_EQ(RunCipher(salsa, key, nonce.substr(0, 8), plain, false).rc, kBadNonceSize);
  EXPECT_EQ(RunCipher({kCipherSalsa20, 0, 0, "Salsa20Algorithm=0"}, key.substr(0, 16), nonce.substr(0, 8), plain, false).rc, 0);
  EXPECT_EQ(RunCipher({kCipherSalsa20, 0, 0, "SalsaRounds=10"}, key, nonce, plain, false).rc, kBadSalsaRounds);
  Salsa20State state;
  state.Clear();
  EXPECT_EQ(state.SetKeyAndNonce(U8(key), 24, U8(nonce), 24, 0), kBadStreamKeySize);
  ChaCha20State chacha;
  EXPECT_EQ(ChaCha20SetKey(chacha, U8(key), 16, U8(nonce), 12, 0), kBadStreamKeySize);
  EXPECT_EQ(ChaCha20SetKey(chacha, U8(key), 32, U8(nonce), 16, 0), kBadNonceSize);
  ASSERT_EQ(ChaCha20SetKey(chacha, U8(key), 32, U8(nonce), 8, 1), 0);
  EXPECT_EQ(chacha.words[12], 0u);
  EXPECT_EQ(chacha.words[13], 1u);
  // OCB nonces of 1..15 bytes only; XTS keys of 32 bytes and whole-block unit lengths only.
  EXPECT_NE(RunAead({kCipherAesOcb, key, "", "", 16}, plain, false).rc, 0);
  EXPECT_NE(RunAead({kCipherAesOcb, key, std::string(16, 'n'), "", 16}, plain, false).rc, 0);
  EXPECT_EQ(RunCipher({kCipherAes, kModeXts, 0, ""}, key.substr(0, 16), "", plain, false).rc, kBadKeySize);
  EXPECT_EQ(RunCipher({kCipherAes, kModeXts, 0, ""}, key.substr(0, 24), "", plain, false).rc, kBadKeySize);
  EXPECT_NE(RunCipher({kCipherAes, kModeXts, 0, "AESXTSDataUnitLength=8"}, key, "", plain, false).rc, 0);
  EXPECT_NE(RunCipher({kCipherAes, kModeXts, 0, "AESXTSDataUnitLength=24"}, key, "", plain, false).rc, 0);
  // XTS with 40 bytes: one block and a stolen tail on the final call, 2003 on an update call.
  EXPECT_EQ(RunCipher({kCipherAes, kModeXts, 0, ""}, key, "", plain.substr(0, 40), false).out.size(), 40u);
  EXPECT_EQ(RunCipher({kCipherAes, kModeXts, 0, ""}, key, "", plain.substr(0, 40), false, {40}).rc, kNotWholeBlocks);
  // Helpers of the OCB table.
  EXPECT_EQ(CountTrailingZeros64(8), 3);
  EXPECT_EQ(CountTrailingZeros64(0), 64);
  uint8_t block[16] = {0x80};
  EXPECT_EQ(Block128ShiftLeft(block, 0, block), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), std::string(16, '\0'));
}

}  // namespace
}  // namespace velmora::crypto
