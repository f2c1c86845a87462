// DES, Triple DES, CAST-128, Blowfish, RC2 and RC4 through the cipher object against OpenSSL's EVP (legacy
// provider), Twofish against nettle, IDEA against libgcrypt, the published vectors, the TEA family
// against references written here from the round formulas, the DES password hash against Python's crypt
// module, and the refusals of bad TEA-family settings. Random cases come from a printed seed
// (VELMORA_CIPHER_SEED replaces it, VELMORA_CIPHER_CASES the case count per cipher).
#include <openssl/provider.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "core/byte_order.h"
#include "crypto/cipher/cast128.h"
#include "crypto/cipher/des.h"
#include "crypto/cipher/idea_rc.h"
#include "crypto/cipher/tea.h"
#include "tests/crypto/cipher/cipher_test_util.h"
#include "tests/vector_file.h"
#include "tests/test_support.h"

#ifndef VELMORA_HAVE_NETTLE
#define VELMORA_HAVE_NETTLE 0
#endif
#ifndef VELMORA_HAVE_GCRYPT
#define VELMORA_HAVE_GCRYPT 0
#endif
#if VELMORA_HAVE_NETTLE
#include <nettle/twofish.h>
#endif
#if VELMORA_HAVE_GCRYPT
#include <gcrypt.h>
#endif

namespace velmora::crypto {
namespace {

using testing_support::FromHex;

uint32_t Seed() {
  const char* text = getenv("VELMORA_CIPHER_SEED");
  const uint32_t seed = text != nullptr ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : 20261207u;
  std::cout << "block cipher seed " << seed << "\n";
  return seed;
}

int Cases(int fallback) {
  const char* text = getenv("VELMORA_CIPHER_CASES");
  return text != nullptr ? atoi(text) : fallback;
}

bool LegacyProviderLoaded() {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
  return legacy != nullptr && fallback != nullptr;
}

// Evp runs an OpenSSL cipher with the key length taken from key and, for RC2, the effective key bits.
std::string Evp(const std::string& name, const std::string& key, const std::string& iv, const std::string& data,
                bool encrypt, int rc2_bits, bool* ok) {
  *ok = false;
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name.c_str(), nullptr);
  if (cipher == nullptr) return "";
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(data.size() + 16, '\0');
  int n = 0, tail = 0;
  unsigned int bits = static_cast<unsigned int>(rc2_bits);
  OSSL_PARAM params[2] = {OSSL_PARAM_construct_uint(OSSL_CIPHER_PARAM_RC2_KEYBITS, &bits), OSSL_PARAM_END};
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  bool good = EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size())) == 1 &&
              (rc2_bits == 0 || EVP_CIPHER_CTX_set_params(ctx, params) == 1) &&
              EVP_CipherInit_ex2(ctx, nullptr, U8(key), iv.empty() ? nullptr : U8(iv), encrypt ? 1 : 0, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, o, &n, U8(data), static_cast<int>(data.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, o + n, &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  *ok = good;
  out.resize(good ? static_cast<size_t>(n + tail) : 0);
  return out;
}

std::vector<size_t> RandomPieces(std::mt19937& rng, size_t length) {
  std::vector<size_t> pieces;
  size_t left = length;
  while (left > 0 && rng() % 3 != 0) {
    const size_t piece = rng() % (left + 1);
    pieces.push_back(piece);
    left -= piece;
  }
  return pieces;
}

size_t RandomBlocks(std::mt19937& rng) {
  static constexpr size_t kChoices[] = {0, 1, 2, 3};
  return rng() % 2 == 0 ? kChoices[rng() % 4] : rng() % 17;
}

struct EvpCase {
  int32_t algorithm;
  const char* evp;
  std::vector<size_t> key_lengths;
  bool rc2_bits;
};

std::vector<size_t> Range(size_t from, size_t to) {
  std::vector<size_t> v;
  for (size_t i = from; i <= to; ++i) v.push_back(i);
  return v;
}

TEST(BlockCipherOracle, EcbAndCbcEqualOpenSslLegacy) {
  if (!LegacyProviderLoaded()) GTEST_SKIP() << "OpenSSL's legacy provider is not available: comparison skipped";
  std::mt19937 rng(Seed());
  const int cases = Cases(1000);
  const std::vector<EvpCase> ciphers = {
      {kCipherDes, "DES", {8}, false},          {kCipher3Des, "DES-EDE3", {24}, false},
      {kCipher3Des, "DES-EDE", {16}, false},    {kCipherCast5, "CAST5", Range(5, 16), false},
      {kCipherRc2, "RC2", Range(1, 16), true},  {kCipherBlowfish, "BF", Range(4, 56), false},
  };
  for (const EvpCase& c : ciphers) {
    for (int i = 0; i < cases; ++i) {
      const bool cbc = i % 2 == 1;
      const std::string key = RandomBytes(rng, c.key_lengths[rng() % c.key_lengths.size()]);
      const std::string iv = cbc ? RandomBytes(rng, 8) : "";
      const std::string plain = RandomBytes(rng, 8 * RandomBlocks(rng));
      const std::string name = std::string(c.evp) + (cbc ? "-CBC" : "-ECB");
      bool ok = false;
      const int rc2_bits = c.rc2_bits ? static_cast<int>(key.size() * 8) : 0;
      const std::string expected = Evp(name, key, iv, plain, true, rc2_bits, &ok);
      ASSERT_TRUE(ok) << name;
      const CipherConfig config{c.algorithm, cbc ? kModeCbc : kModeEcb, kPaddingNone, ""};
      const CipherRun enc = RunCipher(config, key, iv, plain, false, RandomPieces(rng, plain.size()));
      ASSERT_EQ(enc.rc, 0) << name << " key bytes " << key.size();
      ASSERT_EQ(ToHexString(enc.out), ToHexString(expected)) << name << " case " << i << " key " << ToHexString(key);
      const CipherRun dec = RunCipher(config, key, iv, expected, true, RandomPieces(rng, expected.size()));
      ASSERT_EQ(dec.rc, 0) << name;
      ASSERT_EQ(dec.out, plain) << name << " case " << i;
    }
  }
}

TEST(BlockCipherOracle, Rc4EqualsOpenSslOverSplitMessages) {
  if (!LegacyProviderLoaded()) GTEST_SKIP() << "OpenSSL's legacy provider is not available: comparison skipped";
  std::mt19937 rng(Seed());
  const int cases = Cases(1000);
  for (int i = 0; i < cases; ++i) {
    const std::string key = RandomBytes(rng, 1 + rng() % 256);
    const std::string plain = RandomBytes(rng, rng() % 300);
    bool ok = false;
    const std::string expected = Evp("RC4", key, "", plain, true, 0, &ok);
    ASSERT_TRUE(ok);
    const CipherConfig config{kCipherRc4, kModeCbc, kPaddingNone, ""};
    const CipherRun enc = RunCipher(config, key, "", plain, i % 2 == 1, RandomPieces(rng, plain.size()));
    ASSERT_EQ(enc.rc, 0);
    ASSERT_EQ(ToHexString(enc.out), ToHexString(expected)) << "key bytes " << key.size();
  }
}

TEST(BlockCipherOracle, CopiesContinueIndependently) {
  std::mt19937 rng(Seed());
  const std::string data = RandomBytes(rng, 96);
  for (int32_t algorithm : {kCipherRc4, kCipherTwofish, kCipherBlowfish, kCipher3Des, kCipherIdea}) {
    const std::string key = RandomBytes(rng, 16);
    const std::string iv = RandomBytes(rng, algorithm == kCipherTwofish ? 16 : 8);
    const CipherConfig config{algorithm, kModeCbc, kPaddingNone, ""};
    const std::string expected = RunCipher(config, key, iv, data, false).out;
    InternalCipher first, second;
    ASSERT_EQ(first.Init(algorithm, U8(key), 16, U8(iv), static_cast<int32_t>(iv.size()), 0, kModeCbc, 0, nullptr), 0);
    core::Buffer head, tail;
    int32_t length = 48;
    ASSERT_EQ(first.Encrypt(U8(data), 0, &length, head, 0), 0);
    ASSERT_EQ(second.CopyFrom(first), 0);
    length = 48;
    ASSERT_EQ(second.Encrypt(U8(data), 48, &length, tail, 1), 0);
    EXPECT_EQ(Str(head) + Str(tail), expected) << algorithm;
  }
}

TEST(BlockCipherOracle, TwofishEqualsNettleForEveryKeyLength) {
#if !VELMORA_HAVE_NETTLE
  GTEST_SKIP() << "nettle is not available: Twofish comparison skipped";
#else
  std::mt19937 rng(Seed());
  for (size_t key_bytes = 16; key_bytes <= 32; ++key_bytes) {
    for (int i = 0; i < 20; ++i) {
      const std::string key = RandomBytes(rng, key_bytes);
      const std::string plain = RandomBytes(rng, 16 * RandomBlocks(rng));
      twofish_ctx ctx;
      twofish_set_key(&ctx, key_bytes, U8(key));
      std::string expected(plain.size(), '\0');
      twofish_encrypt(&ctx, plain.size(), reinterpret_cast<uint8_t*>(expected.data()), U8(plain));
      const CipherConfig config{kCipherTwofish, kModeEcb, kPaddingNone, ""};
      const CipherRun enc = RunCipher(config, key, "", plain, false, RandomPieces(rng, plain.size()));
      ASSERT_EQ(enc.rc, 0);
      ASSERT_EQ(ToHexString(enc.out), ToHexString(expected)) << "key bytes " << key_bytes;
      EXPECT_EQ(RunCipher(config, key, "", expected, true).out, plain);
    }
  }
#endif
}

TEST(BlockCipherOracle, IdeaEqualsLibgcrypt) {
#if !VELMORA_HAVE_GCRYPT
  GTEST_SKIP() << "libgcrypt is not available: IDEA comparison skipped";
#else
  gcry_check_version(nullptr);
  gcry_cipher_hd_t handle = nullptr;
  if (gcry_cipher_open(&handle, GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_ECB, 0) != 0) {
    GTEST_SKIP() << "libgcrypt has no IDEA: comparison skipped";
  }
  std::mt19937 rng(Seed());
  for (int i = 0; i < 200; ++i) {
    const std::string key = RandomBytes(rng, 16);
    const std::string iv = RandomBytes(rng, 8);
    const std::string plain = RandomBytes(rng, 8 * RandomBlocks(rng));
    ASSERT_EQ(gcry_cipher_setkey(handle, key.data(), 16), 0u);
    std::string expected = plain;
    if (!plain.empty()) {
      ASSERT_EQ(gcry_cipher_encrypt(handle, expected.data(), expected.size(), nullptr, 0), 0u);
    }
    const CipherConfig config{kCipherIdea, kModeEcb, kPaddingNone, ""};
    const CipherRun enc = RunCipher(config, key, "", plain, false, RandomPieces(rng, plain.size()));
    ASSERT_EQ(enc.rc, 0);
    ASSERT_EQ(ToHexString(enc.out), ToHexString(expected));
    // CBC and CFB run the decryption and the forward schedule; both must invert.
    for (int32_t mode : {kModeCbc, kModeCfb, kModeOfb}) {
      const CipherConfig chained{kCipherIdea, mode, kPaddingNone, ""};
      const CipherRun there = RunCipher(chained, key, iv, plain, false);
      EXPECT_EQ(RunCipher(chained, key, iv, there.out, true).out, plain) << mode;
    }
  }
  gcry_cipher_close(handle);
#endif
}

int32_t AlgorithmNamed(const std::string& name) {
  return CipherEngineIdToInternalId(CipherNameToId(name.c_str()));
}

TEST(BlockCipherVectors, PublishedVectorsThroughTheCipherObject) {
  auto entries = testing_support::ReadVectors(testing_support::VectorPath("block_ciphers.txt"),
                                              {"Algorithm", "Key", "Options", "Offset", "Plaintext", "Ciphertext"});
  std::set<std::string> seen;
  for (auto& entry : entries) {
    const std::string algorithm = entry.Get("Algorithm");
    seen.insert(algorithm);
    const std::string key = entry.Bytes("Key");
    const std::string expected = entry.Bytes("Ciphertext");
    const std::string options = entry.GetOr("Options", "");
    const CipherConfig config{AlgorithmNamed(algorithm), kModeEcb, kPaddingNone, options};
    if (algorithm == "rc4") {
      const size_t offset = std::stoul(entry.Get("Offset"));
      const CipherRun run = RunCipher(config, key, "", std::string(offset + expected.size(), '\0'), false);
      ASSERT_EQ(run.rc, 0) << entry.Origin();
      EXPECT_EQ(ToHexString(run.out.substr(offset)), ToHexString(expected)) << entry.Origin();
      continue;
    }
    const std::string plain = entry.Bytes("Plaintext");
    const CipherRun run = RunCipher(config, key, "", plain, false);
    ASSERT_EQ(run.rc, 0) << entry.Origin();
    EXPECT_EQ(ToHexString(run.out), ToHexString(expected)) << entry.Origin();
    EXPECT_EQ(RunCipher(config, key, "", expected, true).out, plain) << entry.Origin();
  }
  EXPECT_EQ(seen.size(), 10u);  // every cipher but XXTEA, which has no published set
}

TEST(BlockCipherVectors, Cast128MaintenanceTestAndRoundCounts) {
  // RFC 2144 B.2: a and b each encrypt the other's halves a million times.
  std::string a = FromHex("0123456712345678234567893456789a");
  std::string b = a;
  uint32_t km[16], kr[16];
  int32_t rounds = 0;
  auto* pa = reinterpret_cast<uint8_t*>(a.data());
  auto* pb = reinterpret_cast<uint8_t*>(b.data());
  for (int i = 0; i < 1000000; ++i) {
    Cast128SetKey(pb, 16, km, kr, &rounds);
    Cast128EncryptBlock(km, kr, rounds, pa, pa);
    Cast128EncryptBlock(km, kr, rounds, pa + 8, pa + 8);
    Cast128SetKey(pa, 16, km, kr, &rounds);
    Cast128EncryptBlock(km, kr, rounds, pb, pb);
    Cast128EncryptBlock(km, kr, rounds, pb + 8, pb + 8);
  }
  EXPECT_EQ(ToHexString(a), "eea9d0a249fd3ba6b3436fb89d6dca92");
  EXPECT_EQ(ToHexString(b), "b2c95eb00c31ad7180ac05b8e83d696e");
  Cast128SetKey(pa, 10, km, kr, &rounds);
  EXPECT_EQ(rounds, 12);
  Cast128SetKey(pa, 11, km, kr, &rounds);
  EXPECT_EQ(rounds, 16);
}

TEST(BlockCipherVectors, Rc2PiTableIsAPermutationAndIdeaArithmetic) {
  std::set<uint8_t> values(kRc2PiTable, kRc2PiTable + 256);
  EXPECT_EQ(values.size(), 256u);
  EXPECT_EQ(IdeaMul(0, 0), 1);
  EXPECT_EQ(IdeaMul(0, 1), 0);
  EXPECT_EQ(IdeaMulInverse(0), 0);
  EXPECT_EQ(IdeaMulInverse(1), 1);
  for (uint32_t x = 2; x < 65536; x += 97) {
    const auto v = static_cast<uint16_t>(x);
    EXPECT_EQ(IdeaMul(v, IdeaMulInverse(v)), 1) << x;
  }
}

// ---- TEA family references, from the round formulas -----------------------------------------------------

void TeaReference(uint32_t* v, const uint32_t* k, int cycles) {
  uint32_t sum = 0;
  for (int i = 0; i < cycles; ++i) {
    sum += 0x9E3779B9;
    v[0] += ((v[1] << 4) + k[0]) ^ (v[1] + sum) ^ ((v[1] >> 5) + k[1]);
    v[1] += ((v[0] << 4) + k[2]) ^ (v[0] + sum) ^ ((v[0] >> 5) + k[3]);
  }
}

void XteaReference(uint32_t* v, const uint32_t* k, int cycles, bool published) {
  uint32_t sum = 0;
  auto mix = [published](uint32_t x) { return published ? (((x << 4) ^ (x >> 5)) + x) : ((x << 4) ^ ((x >> 5) + x)); };
  for (int i = 0; i < cycles; ++i) {
    v[0] += mix(v[1]) ^ (sum + k[sum & 3]);
    sum += 0x9E3779B9;
    v[1] += mix(v[0]) ^ (sum + k[(sum >> 11) & 3]);
  }
}

// The corrected block TEA of Wheeler and Needham.
void XxteaReference(std::vector<uint32_t>& v, const uint32_t* k) {
  const uint32_t n = static_cast<uint32_t>(v.size());
  uint32_t rounds = 6 + 52 / n, sum = 0, z = v[n - 1], y;
  do {
    sum += 0x9E3779B9;
    const uint32_t e = (sum >> 2) & 3;
    for (uint32_t p = 0; p < n; ++p) {
      y = v[(p + 1) % n];
      v[p] += (((z >> 5) ^ (y << 2)) + ((y >> 3) ^ (z << 4))) ^ ((sum ^ y) + (k[(p & 3) ^ e] ^ z));
      z = v[p];
    }
  } while (--rounds != 0);
}

std::vector<uint32_t> Words(const std::string& bytes) {
  std::vector<uint32_t> v(bytes.size() / 4);
  for (size_t i = 0; i < v.size(); ++i) v[i] = core::ReadUInt32BE(bytes.data() + 4 * i);
  return v;
}

std::string Bytes(const std::vector<uint32_t>& v) {
  std::string out(v.size() * 4, '\0');
  for (size_t i = 0; i < v.size(); ++i) core::PutUIntBigEndian(v[i], out.data(), static_cast<int32_t>(4 * i), 4);
  return out;
}

TEST(TeaFamily, DefaultsAndPublishedFormsEqualTheReferences) {
  std::mt19937 rng(Seed());
  for (int i = 0; i < 50; ++i) {
    const std::string key = RandomBytes(rng, 16);
    const std::vector<uint32_t> k = Words(key);
    const std::string plain = RandomBytes(rng, 8);
    struct Form {
      int32_t algorithm;
      const char* options;
      int cycles;
      bool published;
    };
    for (const Form& form : {Form{kCipherTea, "", 64, false}, Form{kCipherTea, "TeaRounds=32", 32, true},
                             Form{kCipherXtea, "", 64, false},
                             Form{kCipherXtea, "TeaRounds=32,XTEAAlgorithm=1", 32, true},
                             Form{kCipherXtea, "XTEAAlgorithm=1", 64, true}}) {
      std::vector<uint32_t> v = Words(plain);
      if (form.algorithm == kCipherTea) {
        TeaReference(v.data(), k.data(), form.cycles);
      } else {
        XteaReference(v.data(), k.data(), form.cycles, form.published);
      }
      const CipherConfig config{form.algorithm, kModeEcb, kPaddingNone, form.options};
      const CipherRun run = RunCipher(config, key, "", plain, false);
      ASSERT_EQ(run.rc, 0);
      EXPECT_EQ(ToHexString(run.out), ToHexString(Bytes(v))) << form.algorithm << " " << form.options;
      EXPECT_EQ(RunCipher(config, key, "", run.out, true).out, plain);
    }
  }
  for (size_t length = 8; length <= 40; length += 4) {
    const std::string key = RandomBytes(rng, 16);
    const std::string plain = RandomBytes(rng, length * 3);
    std::string expected;
    for (size_t at = 0; at < plain.size(); at += length) {
      std::vector<uint32_t> v = Words(plain.substr(at, length));
      XxteaReference(v, Words(key).data());
      expected += Bytes(v);
    }
    const std::string options = "BlockSize=" + std::to_string(length * 8);
    const CipherConfig config{kCipherXxtea, kModeEcb, kPaddingNone, options};
    const CipherRun run = RunCipher(config, key, "", plain, false, RandomPieces(rng, plain.size()));
    ASSERT_EQ(run.rc, 0) << length;
    EXPECT_EQ(ToHexString(run.out), ToHexString(expected)) << length;
    const CipherConfig cbc{kCipherXxtea, kModeCbc, kPaddingPkcs7, options};
    const std::string iv = RandomBytes(rng, length);
    const CipherRun there = RunCipher(cbc, key, iv, plain.substr(0, length + 3), false);
    EXPECT_EQ(RunCipher(cbc, key, iv, there.out, true).out, plain.substr(0, length + 3)) << length;
  }
}

TEST(TeaFamily, BadSettingsAreRefused) {
  const std::string key(16, '\x5a');
  uint32_t k[4] = {1, 2, 3, 4};
  uint8_t out[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  const uint8_t in[8] = {};
  EXPECT_NE(XxteaEncrypt(in, 4, out, k), 0);
  EXPECT_NE(XxteaDecrypt(in, 7, out, k), 0);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(out[7], 0xEE);
  {
    testing_support::FailingAllocations failing;
    EXPECT_EQ(XxteaEncrypt(in, 8, out, k), -1);
  }
  EXPECT_EQ(out[0], 0xEE);
  // A block whose pad length no longer fits the length byte, before anything is encrypted.
  for (int32_t padding : {kPaddingPkcs7, kPaddingZerosLength, kPaddingRandomLength}) {
    InternalCipher cipher;
    EXPECT_EQ(cipher.Init(kCipherXxtea, U8(key), 16, nullptr, 0, 0, kModeEcb, padding, "BlockSize=1024"),
              kBadBlockSize);
    EXPECT_EQ(cipher.Init(kCipherXxtea, U8(key), 16, nullptr, 0, 0, kModeEcb, padding, "BlockSize=992"), 0);
  }
  InternalCipher zero_padded;
  EXPECT_EQ(zero_padded.Init(kCipherXxtea, U8(key), 16, nullptr, 0, 0, kModeEcb, kPaddingZeros, "BlockSize=1024"), 0);
  for (const char* rounds : {"TeaRounds=0", "TeaRounds=-5"}) {
    for (int32_t algorithm : {kCipherTea, kCipherXtea}) {
      InternalCipher cipher;
      EXPECT_EQ(cipher.Init(algorithm, U8(key), 16, nullptr, 0, 0, kModeEcb, 0, rounds), kBadTeaRounds) << rounds;
    }
  }
  // A missing Twofish table or RC4 permutation (the fourth and fifth allocations of a new object) gives
  // 200 from the key set-up.
  for (int32_t successes : {3, 4}) {
    std::unique_ptr<InternalCipher> starved;
    {
      testing_support::FailingAllocations failing(successes, false);
      starved = std::make_unique<InternalCipher>();
    }
    const int32_t algorithm = successes == 3 ? kCipherTwofish : kCipherRc4;
    ASSERT_EQ(successes == 3 ? starved->BlockKeys().twofish_t : starved->BlockKeys().rc4_s, nullptr);
    EXPECT_EQ(starved->Init(algorithm, U8(key), 16, nullptr, 0, 0, kModeEcb, 0, nullptr), core::kOutOfMemory);
  }
  // A failed working copy gives 200 from the cipher call.
  InternalCipher cipher;
  ASSERT_EQ(cipher.Init(kCipherXxtea, U8(key), 16, nullptr, 0, 0, kModeEcb, 0, nullptr), 0);
  core::Buffer result;
  ASSERT_EQ(result.Resize(64), 0);
  ASSERT_EQ(result.Resize(0), 0);
  int32_t length = 8;
  {
    testing_support::FailingAllocations failing;
    EXPECT_EQ(cipher.Encrypt(in, 0, &length, result, 1), core::kOutOfMemory);
  }
  EXPECT_EQ(result.Length(), 0);
}

// ---- salted DES, block runs, password hash ------------------------------------------------------------------

TEST(SaltedDes, AgreesWithDesAndItsRuns) {
  std::mt19937 rng(Seed());
  for (int i = 0; i < 100; ++i) {
    const std::string key = RandomBytes(rng, 24);
    const std::string iv = RandomBytes(rng, 8);
    std::string block = RandomBytes(rng, 8);
    uint32_t schedule[kDesScheduleWords], flipped[kDesScheduleWords];
    DesSetKey(schedule, U8(key), 0);
    std::string parity = key;
    for (char& c : parity) c = static_cast<char>(c ^ 1);
    DesSetKey(flipped, U8(parity), 0);
    EXPECT_EQ(0, memcmp(schedule, flipped, sizeof schedule)) << "parity bits are not key bits";
    uint8_t once[8], twice[8], salted[8];
    DesCryptBlock(schedule, U8(block), once);
    DesCryptBlock(schedule, once, twice);
    SaltedDesSetKey(U8(key));
    SaltedDesCipher(U8(block), salted, 0, 1);
    EXPECT_EQ(0, memcmp(salted, once, 8));
    SaltedDesCipher(U8(block), salted, 0, 2);
    EXPECT_EQ(0, memcmp(salted, twice, 8));
    SaltedDesCipher(twice, salted, 0, -2);
    EXPECT_EQ(0, memcmp(salted, block.data(), 8));
    const uint32_t salt = rng() & 0xFFFFFF;
    SaltedDesCipher(U8(block), salted, salt, 3);
    SaltedDesCipher(salted, salted, salt, -3);
    EXPECT_EQ(0, memcmp(salted, block.data(), 8));

    // The runs over caller buffers against the cipher object.
    const std::string data = RandomBytes(rng, 8 * (1 + rng() % 5));
    const auto blocks = static_cast<int32_t>(data.size() / 8);
    std::string run = data;
    auto* p = reinterpret_cast<uint8_t*>(run.data());
    DesCbcEncrypt(p, blocks, U8(key), U8(iv));
    EXPECT_EQ(run, RunCipher({kCipherDes, kModeCbc, kPaddingNone, ""}, key.substr(0, 8), iv, data, false).out);
    DesCbcDecrypt(p, blocks, U8(key), U8(iv));
    EXPECT_EQ(run, data);
    DesEcbEncrypt(p, blocks, U8(key));
    EXPECT_EQ(run, RunCipher({kCipherDes, kModeEcb, kPaddingNone, ""}, key.substr(0, 8), "", data, false).out);
    DesEcbDecrypt(p, blocks, U8(key));
    EXPECT_EQ(run, data);
    for (int32_t key_length : {8, 16, 24}) {
      TripleDesCbcEncrypt(p, blocks, U8(key), key_length, U8(iv));
      const CipherConfig config{key_length == 8 ? kCipherDes : kCipher3Des, kModeCbc, kPaddingNone, ""};
      EXPECT_EQ(run, RunCipher(config, key.substr(0, static_cast<size_t>(key_length)), iv, data, false).out);
      TripleDesCbcDecrypt(p, blocks, U8(key), key_length, U8(iv));
      EXPECT_EQ(run, data) << key_length;
    }
  }
}

TEST(SaltedDes, PasswordHashEqualsPythonCrypt) {
  const char* alphabet = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  // An empty setting: its NUL is the only byte that may be read.
  const char empty[1] = {'\0'};
  const std::string from_empty = DesCryptPassword("secret", empty);
  EXPECT_EQ(from_empty.substr(0, 2), "..");
  EXPECT_EQ(from_empty, DesCryptPassword("secret", ".."));
  EXPECT_EQ(std::string(DesCryptPassword("secret", "x")).substr(0, 2), "x.");
  EXPECT_EQ(std::string(DesCryptPassword("12345678", "ab")), DesCryptPassword("123456789xyz", "ab"));

  std::string script = R"(import sys, warnings
warnings.simplefilter("ignore")
try:
    import crypt
except ImportError:
    sys.exit(3)
for line in sys.stdin:
    pw, salt = line.split()
    print(crypt.crypt(bytes.fromhex(pw).decode("latin-1"), salt))
)";
  std::mt19937 rng(Seed());
  std::vector<std::pair<std::string, std::string>> inputs;
  std::string input;
  for (int i = 0; i < 500; ++i) {
    std::string password;
    const size_t length = 1 + rng() % 12;
    for (size_t j = 0; j < length; ++j) password += static_cast<char>(1 + rng() % 126);
    const std::string salt = {alphabet[rng() % 64], alphabet[rng() % 64]};
    inputs.emplace_back(password, salt);
    input += ToHexString(password) + " " + salt + "\n";
  }
  std::string output;
  if (!testing_support::RunPython(script, "", input, &output, "/usr/bin/python3")) {
    GTEST_SKIP() << "Python's crypt module is not available: DES password hash comparison skipped";
  }
  const auto lines = testing_support::Lines(output);
  ASSERT_EQ(lines.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    ASSERT_FALSE(lines[i].empty());
    EXPECT_EQ(DesCryptPassword(inputs[i].first.c_str(), inputs[i].second.c_str()), lines[i][0])
        << ToHexString(inputs[i].first) << " " << inputs[i].second;
  }
}

}  // namespace
}  // namespace velmora::crypto
