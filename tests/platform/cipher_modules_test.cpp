// The cipher entry points of the crypto modules held to the platform's own rules (not compared with
// OpenSSL, which backs them): lengths and buffer sizes, the chaining value left in the caller's IV, the
// properties each mode takes, GCM chained through the caller's records, XTS data units, handle life.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/crypto/cipher_modules.h"
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

// Handles opens an algorithm, sets its chaining mode and step, and makes a key; everything closes with it.
struct Handles {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  Handles(const char16_t* name, const std::u16string& chaining, DWORD step, size_t key_length) {
    EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, name, nullptr, 0), kStatusSuccess);
    if (!chaining.empty()) {
      EXPECT_EQ(SetText(algorithm, u"ChainingMode", chaining), kStatusSuccess);
    }
    if (step != 0) {
      EXPECT_EQ(SetDword(algorithm, u"MessageBlockLength", step), kStatusSuccess);
    }
    const Bytes secret = Pattern(key_length, 7);
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

class CipherModules : public ::testing::Test {
 protected:
  void TearDown() override {
    test::SetXtsAesMissing(false);
    test::SetLargeKeyObjects(false);
    test::SetFullBlockCfbRefused(false);
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
  auto record = [&](uint8_t* tag, uint8_t* mac) {
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info{};
    info.cbSize = sizeof info;
    info.dwInfoVersion = 1;
    info.pbNonce = nonce.data();
    info.cbNonce = 12;
    info.pbAuthData = aad.data();
    info.cbAuthData = 20;
    info.pbTag = tag;
    info.cbTag = 16;
    info.pbMacContext = mac;
    info.cbMacContext = 16;
    return info;
  };
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
