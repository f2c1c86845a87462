// The cipher entry points of the crypto modules held to the platform's own rules (not compared with
// OpenSSL, which backs them): lengths and buffer sizes, the chaining value left in the caller's IV, the
// properties each mode takes, GCM chained through the caller's records, XTS data units, handle life. GCM's
// GHASH is the module's own code, so there OpenSSL's AES-GCM is the oracle, on each GHASH path.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/crypto/cipher_modules.h"
#include "platform/crypto/openssl_ptr.h"
#include "platform/win_codes.h"

namespace velmora::platform {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 31 * i + (i >> 3));
  return b;
}

NTSTATUS SetText(BCRYPT_HANDLE object, const char16_t* property, const std::u16string& value) {
  return BCryptSetProperty(object, property, reinterpret_cast<const uint8_t*>(value.c_str()),
                           static_cast<ULONG>(2 * (value.size() + 1)), 0);
}

NTSTATUS SetDword(BCRYPT_HANDLE object, const char16_t* property, DWORD value) {
  return BCryptSetProperty(object, property, reinterpret_cast<const uint8_t*>(&value), sizeof value, 0);
}

// Handles opens an algorithm, sets its chaining mode and step, and makes a key (from secret, else from a
// pattern of key_length bytes); everything closes with it.
struct Handles {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  Handles(const char16_t* name, const std::u16string& chaining, DWORD step, size_t key_length,
          const Bytes& secret_bytes = {}) {
    EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, name, nullptr, 0), kStatusSuccess);
    if (!chaining.empty()) {
      EXPECT_EQ(SetText(algorithm, u"ChainingMode", chaining), kStatusSuccess);
    }
    if (step != 0) {
      EXPECT_EQ(SetDword(algorithm, u"MessageBlockLength", step), kStatusSuccess);
    }
    const Bytes secret = secret_bytes.empty() ? Pattern(key_length, 7) : secret_bytes;
    EXPECT_EQ(BCryptGenerateSymmetricKey(algorithm, &key, nullptr, 0, secret.data(), static_cast<ULONG>(key_length), 0),
              kStatusSuccess);
  }
  ~Handles() {
    if (key != nullptr) {
      EXPECT_EQ(BCryptDestroyKey(key), kStatusSuccess);
    }
    EXPECT_EQ(BCryptCloseAlgorithmProvider(algorithm, 0), kStatusSuccess);
  }
  NTSTATUS Run(bool encrypt, const Bytes& in, Bytes* iv, Bytes* out, void* info = nullptr) const {
    ULONG got = 0;
    out->assign(in.size(), 0);
    return (encrypt ? BCryptEncrypt : BCryptDecrypt)(key, in.data(), static_cast<ULONG>(in.size()), info,
                                                     iv == nullptr ? nullptr : iv->data(),
                                                     iv == nullptr ? 0 : static_cast<ULONG>(iv->size()), out->data(),
                                                     static_cast<ULONG>(out->size()), &got, 0);
  }
};

// GcmRecord is the mode record of one GCM message with a 16-byte tag and MAC context.
BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO GcmRecord(Bytes& nonce, Bytes& aad, uint8_t* tag, uint8_t* mac) {
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info{};
  info.cbSize = sizeof info;
  info.dwInfoVersion = 1;
  info.pbNonce = nonce.data();
  info.cbNonce = static_cast<ULONG>(nonce.size());
  info.pbAuthData = aad.data();
  info.cbAuthData = static_cast<ULONG>(aad.size());
  info.pbTag = tag;
  info.cbTag = 16;
  info.pbMacContext = mac;
  info.cbMacContext = 16;
  return info;
}

class CipherModules : public ::testing::Test {
 protected:
  void TearDown() override {
    test::SetXtsAesMissing(false);
    test::SetLargeKeyObjects(false);
    test::SetFullBlockCfbRefused(false);
    test::ForceGcmGhashPath(test::GhashPath::kWide);
    EXPECT_EQ(test::LiveCipherHandles(), 0);
  }
};

TEST_F(CipherModules, LengthsAndSizesFollowTheMode) {
  struct Row {
    const char16_t* algorithm;
    const char16_t* chaining;
    DWORD step;
    size_t key, in, iv, room;
    NTSTATUS expected;
  } rows[] = {
      {u"AES", u"ChainingModeCBC", 0, 16, 32, 16, 32, kStatusSuccess},
      {u"AES", u"ChainingModeCBC", 0, 16, 20, 16, 32, kStatusInvalidBufferSize},
      {u"AES", u"ChainingModeCBC", 0, 16, 32, 8, 32, kStatusInvalidParameter},
      {u"AES", u"ChainingModeCBC", 0, 16, 32, 16, 31, kStatusBufferTooSmall},
      {u"AES", u"ChainingModeECB", 0, 32, 15, 0, 32, kStatusInvalidBufferSize},
      {u"3DES", u"ChainingModeECB", 0, 24, 24, 0, 24, kStatusSuccess},
      {u"3DES", u"ChainingModeCBC", 0, 24, 12, 8, 24, kStatusInvalidBufferSize},
      {u"AES", u"ChainingModeCFB", 0, 24, 5, 16, 5, kStatusSuccess},  // one byte per step by default
      {u"AES", u"ChainingModeCFB", 16, 24, 5, 16, 5, kStatusInvalidBufferSize},
      {u"3DES", u"ChainingModeCFB", 8, 24, 16, 8, 16, kStatusSuccess},
      {u"XTS-AES", u"", 32, 32, 40, 8, 40, kStatusInvalidBufferSize},  // last unit of 8 bytes
      {u"XTS-AES", u"", 32, 32, 48, 8, 48, kStatusSuccess},            // last unit of 16 bytes
      {u"XTS-AES", u"", 32, 64, 15, 8, 15, kStatusInvalidBufferSize},
      {u"XTS-AES", u"", 32, 32, 32, 16, 32, kStatusInvalidParameter},  // the IV is the 8-byte unit number
      {u"XTS-AES", u"", 0, 32, 32, 8, 32, kStatusInvalidParameter},    // no data-unit length set
  };
  for (const Row& row : rows) {
    Handles h(row.algorithm, row.chaining, row.step, row.key);
    Bytes in = Pattern(row.in, 1);
    Bytes iv = Pattern(row.iv, 2);
    Bytes out(row.room, 0);
    ULONG got = 0;
    EXPECT_EQ(BCryptEncrypt(h.key, in.data(), static_cast<ULONG>(in.size()), nullptr, row.iv ? iv.data() : nullptr,
                            static_cast<ULONG>(row.iv), out.data(), static_cast<ULONG>(out.size()), &got, 0),
              row.expected)
        << "row " << (&row - rows);
    if (row.expected == kStatusSuccess) {
      EXPECT_EQ(got, row.in);
      // A null output asks for the size only.
      got = 0;
      EXPECT_EQ(BCryptDecrypt(h.key, in.data(), static_cast<ULONG>(in.size()), nullptr, row.iv ? iv.data() : nullptr,
                              static_cast<ULONG>(row.iv), nullptr, 0, &got, 0),
                kStatusSuccess);
      EXPECT_EQ(got, row.in);
    }
  }
  // The block padding flag is not served.
  Handles h(u"AES", u"ChainingModeECB", 0, 16);
  Bytes in = Pattern(16, 1);
  Bytes out(32);
  ULONG got = 0;
  EXPECT_EQ(BCryptEncrypt(h.key, in.data(), 16, nullptr, nullptr, 0, out.data(), 32, &got, 1), kStatusInvalidParameter);
}

// CBC and CFB leave the chaining value in the caller's IV, so a message in two calls equals one call;
// CFB-8 shifts the ciphertext into it one byte per step; ECB leaves it alone.
TEST_F(CipherModules, ChainingValueStaysInTheCallersIv) {
  struct Row {
    const char16_t* chaining;
    DWORD step;
    size_t first;  // bytes of the first call
  } rows[] = {{u"ChainingModeCBC", 0, 16}, {u"ChainingModeCFB", 16, 32}, {u"ChainingModeCFB", 1, 5},
              {u"ChainingModeECB", 0, 16}};
  for (const Row& row : rows) {
    Handles h(u"AES", row.chaining, row.step, 16);
    const Bytes message = Pattern(48, 9);
    const Bytes start = Pattern(16, 4);
    Bytes iv = start;
    Bytes whole;
    ASSERT_EQ(h.Run(true, message, &iv, &whole), kStatusSuccess);
    iv = start;
    Bytes first;
    Bytes second;
    ASSERT_EQ(h.Run(true, Bytes(message.begin(), message.begin() + static_cast<long>(row.first)), &iv, &first),
              kStatusSuccess);
    Bytes expected_iv = start;
    if (row.chaining != std::u16string(u"ChainingModeECB")) {
      // The last 16 bytes of IV || ciphertext.
      Bytes joined = start;
      joined.insert(joined.end(), first.begin(), first.end());
      expected_iv.assign(joined.end() - 16, joined.end());
    }
    EXPECT_EQ(iv, expected_iv) << row.first;
    ASSERT_EQ(h.Run(true, Bytes(message.begin() + static_cast<long>(row.first), message.end()), &iv, &second),
              kStatusSuccess);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, whole) << row.first;
    // Decryption chains the same way, in place.
    iv = start;
    Bytes back = whole;
    ULONG got = 0;
    ASSERT_EQ(BCryptDecrypt(h.key, back.data(), 48, nullptr, iv.data(), 16, back.data(), 48, &got, 0), kStatusSuccess);
    EXPECT_EQ(back, message);
  }
}

TEST_F(CipherModules, PropertiesFollowTheMode) {
  BCRYPT_ALG_HANDLE aes = nullptr;
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&aes, u"aes", u"Microsoft Primitive Provider", 0), kStatusSuccess);
  for (const char16_t* chaining : {u"ChainingModeCBC", u"ChainingModeECB", u"ChainingModeGCM"}) {
    ASSERT_EQ(SetText(aes, u"ChainingMode", chaining), kStatusSuccess);
    EXPECT_EQ(SetDword(aes, u"MessageBlockLength", 16), kStatusNotSupported);
  }
  EXPECT_EQ(SetText(aes, u"ChainingMode", u"ChainingModeOFB"), kStatusNotSupported);
  ASSERT_EQ(SetText(aes, u"ChainingMode", u"ChainingModeCFB"), kStatusSuccess);
  EXPECT_EQ(SetDword(aes, u"MessageBlockLength", 1), kStatusSuccess);
  EXPECT_EQ(SetDword(aes, u"MessageBlockLength", 16), kStatusSuccess);
  EXPECT_EQ(SetDword(aes, u"MessageBlockLength", 7), kStatusInvalidParameter);
  test::SetFullBlockCfbRefused(true);
  EXPECT_EQ(SetDword(aes, u"MessageBlockLength", 16), kStatusNotSupported);
  EXPECT_EQ(SetDword(aes, u"MessageBlockLength", 1), kStatusSuccess);

  DWORD length = 0;
  ULONG got = 0;
  ASSERT_EQ(BCryptGetProperty(aes, u"ObjectLength", reinterpret_cast<uint8_t*>(&length), 4, &got, 0), kStatusSuccess);
  EXPECT_EQ(got, 4u);
  EXPECT_LE(length, 1024u);
  EXPECT_EQ(BCryptGetProperty(aes, u"ObjectLength", reinterpret_cast<uint8_t*>(&length), 2, &got, 0),
            kStatusBufferTooSmall);
  EXPECT_EQ(BCryptGetProperty(aes, u"BlockLength", reinterpret_cast<uint8_t*>(&length), 4, &got, 0), kStatusNotSupported);
  test::SetLargeKeyObjects(true);
  ASSERT_EQ(BCryptGetProperty(aes, u"ObjectLength", reinterpret_cast<uint8_t*>(&length), 4, &got, 0), kStatusSuccess);
  EXPECT_GT(length, 1024u);

  // Key blobs: magic, version 1, length, key; the key object must hold "ObjectLength" bytes.
  Bytes blob = {0x4B, 0x44, 0x42, 0x4D, 1, 0, 0, 0, 16, 0, 0, 0};
  const Bytes key = Pattern(16, 3);
  blob.insert(blob.end(), key.begin(), key.end());
  Bytes object(length);
  BCRYPT_KEY_HANDLE handle = nullptr;
  EXPECT_EQ(BCryptImportKey(aes, nullptr, u"KeyDataBlob", &handle, object.data(), length - 1, blob.data(), 28, 0),
            kStatusBufferTooSmall);
  EXPECT_EQ(BCryptImportKey(aes, nullptr, u"KeyDataBlob", &handle, object.data(), length, blob.data(), 27, 0),
            kStatusInvalidParameter);
  EXPECT_EQ(BCryptImportKey(aes, nullptr, u"OpaqueKeyBlob", &handle, object.data(), length, blob.data(), 28, 0),
            kStatusInvalidParameter);
  ASSERT_EQ(BCryptImportKey(aes, nullptr, u"KeyDataBlob", &handle, object.data(), length, blob.data(), 28, 0),
            kStatusSuccess);
  EXPECT_EQ(SetDword(handle, u"MessageBlockLength", 16), kStatusNotSupported);
  EXPECT_EQ(BCryptDestroyKey(handle), kStatusSuccess);
  EXPECT_EQ(BCryptDestroyKey(handle), kStatusInvalidHandle);
  EXPECT_EQ(BCryptCloseAlgorithmProvider(aes, 0), kStatusSuccess);
  EXPECT_EQ(BCryptCloseAlgorithmProvider(aes, 0), kStatusInvalidHandle);

  BCRYPT_ALG_HANDLE other = nullptr;
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&other, u"AES", u"Other Provider", 0), kStatusNotFound);
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&other, u"RC4", nullptr, 0), kStatusNotFound);
  test::SetXtsAesMissing(true);
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&other, u"XTS-AES", nullptr, 0), kStatusNotFound);
}

// GCM in chained calls keeps its state in the caller's MAC context, IV and record and ends with the tag
// of the whole message; a wrong tag gives STATUS_AUTH_TAG_MISMATCH and a zeroed output.
TEST_F(CipherModules, GcmChainsThroughTheCallersRecord) {
  Handles h(u"AES", u"ChainingModeGCM", 0, 16);
  Bytes nonce = Pattern(12, 5);
  Bytes aad = Pattern(20, 6);
  const Bytes message = Pattern(45, 8);
  auto record = [&](uint8_t* tag, uint8_t* mac) { return GcmRecord(nonce, aad, tag, mac); };
  Bytes tag(16);
  Bytes mac(16);
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO one = record(tag.data(), mac.data());
  Bytes whole;
  ASSERT_EQ(h.Run(true, message, nullptr, &whole, &one), kStatusSuccess);

  Bytes chained_tag(16);
  Bytes chained_mac(16);
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO chained = record(chained_tag.data(), chained_mac.data());
  chained.dwFlags = kBcryptAuthModeChainCalls;
  Bytes iv(16, 0);
  Bytes piece;
  Bytes joined;
  EXPECT_EQ(h.Run(true, Bytes(message.begin(), message.begin() + 20), &iv, &piece, &chained), kStatusInvalidBufferSize);
  ASSERT_EQ(h.Run(true, Bytes(message.begin(), message.begin() + 32), &iv, &piece, &chained), kStatusSuccess);
  EXPECT_NE(chained.dwFlags & kBcryptAuthModeInProgress, 0u);
  EXPECT_NE(chained_mac, Bytes(16, 0));
  joined = piece;
  chained.dwFlags &= ~kBcryptAuthModeChainCalls;
  ASSERT_EQ(h.Run(true, Bytes(message.begin() + 32, message.end()), &iv, &piece, &chained), kStatusSuccess);
  joined.insert(joined.end(), piece.begin(), piece.end());
  EXPECT_EQ(joined, whole);
  EXPECT_EQ(chained_tag, tag);

  Bytes mac2(16);
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO check = record(tag.data(), mac2.data());
  Bytes back;
  ASSERT_EQ(h.Run(false, whole, nullptr, &back, &check), kStatusSuccess);
  EXPECT_EQ(back, message);
  tag[3] ^= 0x40;
  check = record(tag.data(), mac2.data());
  EXPECT_EQ(h.Run(false, whole, nullptr, &back, &check), static_cast<NTSTATUS>(0xC000A002u));
  EXPECT_EQ(back, Bytes(message.size(), 0));
  // Only 12-byte nonces and 12..16-byte tags; GCM always needs its record.
  check = record(tag.data(), mac2.data());
  check.cbNonce = 16;
  EXPECT_EQ(h.Run(false, whole, nullptr, &back, &check), kStatusInvalidParameter);
  check = record(tag.data(), mac2.data());
  check.cbTag = 8;
  EXPECT_EQ(h.Run(false, whole, nullptr, &back, &check), kStatusInvalidParameter);
  EXPECT_EQ(h.Run(false, whole, nullptr, &back), kStatusInvalidParameter);
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (uint8_t& byte : b) byte = static_cast<uint8_t>(rng());
  return b;
}

// EvpSeal is OpenSSL's AES-GCM of message under a 16- or 32-byte key, with a 16-byte tag.
bool EvpSeal(const Bytes& key, const Bytes& nonce, const Bytes& aad, const Bytes& message, Bytes* sealed,
             Bytes* tag) {
  const ossl::Ptr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free> context(EVP_CIPHER_CTX_new());
  sealed->assign(message.size() + 16, 0);
  tag->assign(16, 0);
  int n = 0;
  int last = 0;
  const bool ok =
      context != nullptr &&
      EVP_EncryptInit_ex(context.get(), key.size() == 16 ? EVP_aes_128_gcm() : EVP_aes_256_gcm(), nullptr,
                         key.data(), nonce.data()) == 1 &&
      (aad.empty() || EVP_EncryptUpdate(context.get(), nullptr, &n, aad.data(), static_cast<int>(aad.size())) == 1) &&
      (message.empty() ||
       EVP_EncryptUpdate(context.get(), sealed->data(), &n, message.data(), static_cast<int>(message.size())) == 1) &&
      EVP_EncryptFinal_ex(context.get(), sealed->data() + n, &last) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, 16, tag->data()) == 1;
  sealed->resize(message.size());
  return ok;
}

// OddBlockCalls cuts total bytes into chained calls of odd block counts up to 99 blocks, so that calls
// end inside keystream batches and eight-block folds, and a last call with the rest.
std::vector<size_t> OddBlockCalls(std::mt19937& rng, size_t total) {
  std::vector<size_t> calls;
  for (size_t n = 16 * (2 * (rng() % 50) + 1); n < total; n = 16 * (2 * (rng() % 50) + 1)) {
    calls.push_back(n);
    total -= n;
  }
  calls.push_back(total);
  return calls;
}

// GcmInCalls runs in through the key's GCM in calls of the given sizes, all but the last chained: the
// status of the last call made, the output in *out; the tag is written when sealing, checked when opening.
NTSTATUS GcmInCalls(BCRYPT_KEY_HANDLE key, bool encrypt, Bytes nonce, Bytes aad, const Bytes& in,
                    const std::vector<size_t>& calls, Bytes* out, Bytes* tag) {
  Bytes mac(16);
  Bytes iv(16);
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = GcmRecord(nonce, aad, tag->data(), mac.data());
  info.dwFlags = kBcryptAuthModeChainCalls;
  out->assign(in.size() + 1, 0);  // never null: a null output asks for the size only
  NTSTATUS status = kStatusSuccess;
  size_t at = 0;
  for (size_t i = 0; i < calls.size() && status == kStatusSuccess; ++i) {
    if (i + 1 == calls.size()) info.dwFlags &= ~kBcryptAuthModeChainCalls;
    const auto size = static_cast<ULONG>(calls[i]);
    ULONG got = 0;
    status = (encrypt ? BCryptEncrypt : BCryptDecrypt)(key, in.data() + at, size, &info, iv.data(), 16,
                                                      out->data() + at, size, &got, 0);
    at += size;
  }
  out->resize(in.size());
  return status;
}

// GCM on each GHASH path (one bit at a time, PCLMULQDQ, VPCLMULQDQ two blocks to an instruction) seals and
// opens as OpenSSL's AES-GCM, in one call and in chained calls: messages on both sides of an eight-block
// fold and of the 1 KiB keystream batch, AAD empty, partial, whole blocks and past a fold.
class GcmEachGhashPath : public CipherModules, public ::testing::WithParamInterface<test::GhashPath> {};

TEST_P(GcmEachGhashPath, MatchesOpenSsl) {
  if (!test::ForceGcmGhashPath(GetParam())) {
    GTEST_SKIP() << "this processor lacks "
                 << (GetParam() == test::GhashPath::kWide ? "VPCLMULQDQ or AVX2" : "PCLMULQDQ or SSSE3");
  }
  constexpr uint32_t kSeed = 0x6C3A91E5u;
  std::printf("GcmEachGhashPath seed 0x%08X\n", kSeed);
  std::mt19937 rng(kSeed);
  for (const size_t key_length : {16, 32}) {
    for (const size_t length : {0, 1, 15, 16, 17, 127, 128, 129, 255, 1023, 1024, 1025, 2047, 4096 + 13}) {
      const Bytes secret = RandomBytes(rng, key_length);
      Handles h(u"AES", u"ChainingModeGCM", 0, key_length, secret);
      for (const size_t aad_length : {0, 1, 16, 17, 100, 129}) {
        const Bytes nonce = RandomBytes(rng, 12);
        const Bytes aad = RandomBytes(rng, aad_length);
        const Bytes message = RandomBytes(rng, length);
        Bytes expected;
        Bytes expected_tag;
        ASSERT_TRUE(EvpSeal(secret, nonce, aad, message, &expected, &expected_tag));
        for (const std::vector<size_t>& calls : {std::vector<size_t>{length}, OddBlockCalls(rng, length)}) {
          SCOPED_TRACE(::testing::Message() << "key " << key_length << ", message " << length << ", AAD "
                                            << aad_length << ", " << calls.size() << " calls");
          Bytes sealed;
          Bytes tag(16);
          ASSERT_EQ(GcmInCalls(h.key, true, nonce, aad, message, calls, &sealed, &tag), kStatusSuccess);
          EXPECT_EQ(sealed, expected);
          EXPECT_EQ(tag, expected_tag);
          Bytes opened;
          EXPECT_EQ(GcmInCalls(h.key, false, nonce, aad, expected, calls, &opened, &expected_tag), kStatusSuccess);
          EXPECT_EQ(opened, message);
        }
      }
    }
  }
}

std::string PathName(const ::testing::TestParamInfo<test::GhashPath>& info) {
  const char* const names[] = {"Wide", "Clmul", "Portable"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Paths, GcmEachGhashPath,
                         ::testing::Values(test::GhashPath::kPortable, test::GhashPath::kClmul, test::GhashPath::kWide),
                         PathName);

// XTS data units are numbered from the IV: a call over two units equals two calls, the second with the
// next number; the last unit of a call may be shorter.
TEST_F(CipherModules, XtsUnitsAreNumberedFromTheIv) {
  Handles h(u"XTS-AES", u"", 0, 32);
  ASSERT_EQ(SetDword(h.key, u"MessageBlockLength", 48), kStatusSuccess);
  EXPECT_EQ(SetDword(h.key, u"MessageBlockLength", 40), kStatusInvalidParameter);
  const Bytes message = Pattern(48 + 40, 3);
  Bytes iv = {7, 1, 0, 0, 0, 0, 0, 0};
  Bytes whole;
  ASSERT_EQ(h.Run(true, message, &iv, &whole), kStatusSuccess);
  EXPECT_EQ(iv, Bytes({7, 1, 0, 0, 0, 0, 0, 0}));  // not advanced by the call
  Bytes first;
  Bytes second;
  ASSERT_EQ(h.Run(true, Bytes(message.begin(), message.begin() + 48), &iv, &first), kStatusSuccess);
  iv[0] = 8;
  ASSERT_EQ(h.Run(true, Bytes(message.begin() + 48, message.end()), &iv, &second), kStatusSuccess);
  first.insert(first.end(), second.begin(), second.end());
  EXPECT_EQ(first, whole);
  iv[0] = 7;
  Bytes back;
  ASSERT_EQ(h.Run(false, whole, &iv, &back), kStatusSuccess);
  EXPECT_EQ(back, message);
  // Keys with equal halves are refused.
  BCRYPT_KEY_HANDLE same = nullptr;
  const Bytes doubled(32, 0x11);
  EXPECT_EQ(BCryptGenerateSymmetricKey(h.algorithm, &same, nullptr, 0, doubled.data(), 32, 0), kStatusInvalidParameter);
  const Bytes odd = Pattern(48, 1);
  EXPECT_EQ(BCryptGenerateSymmetricKey(h.algorithm, &same, nullptr, 0, odd.data(), 48, 0), kStatusInvalidParameter);
}

}  // namespace
}  // namespace velmora::platform
