// The "bcrypt" stand-in's key-pair imports against mutated copies of the blobs it exported itself: every
// change of shape, and a seed or public value that no longer fits, is refused without making a key.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/crypto/cipher_modules.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/keypair_modules.h"
#include "platform/win_codes.h"

namespace velmora::platform {
namespace {

using Blob = std::vector<uint8_t>;

Blob Export(BCRYPT_KEY_HANDLE key, const char16_t* type) {
  ULONG size = 0;
  EXPECT_EQ(BCryptExportKey(key, nullptr, type, nullptr, 0, &size, 0), kStatusSuccess);
  Blob blob(size);
  EXPECT_EQ(BCryptExportKey(key, nullptr, type, blob.data(), size, &size, 0), kStatusSuccess);
  return blob;
}

void AddToField(Blob& blob, size_t at, int32_t delta) {
  ULONG value;
  std::memcpy(&value, &blob[at], 4);
  value += static_cast<ULONG>(delta);
  std::memcpy(&blob[at], &value, 4);
}

struct Source {
  BCRYPT_ALG_HANDLE algorithm;
  const char16_t* type;
  Blob blob;
  std::vector<std::pair<const char*, size_t>> fields;  // header fields that hold lengths
  size_t seed_at;   // 0: none
  size_t public_at;  // a private Diffie-Hellman blob's public value; 0: none
};

TEST(KeyPairModules, MutatedBlobsAreRefusedWithoutAKey) {
  BCRYPT_ALG_HANDLE dsa = nullptr, dh = nullptr;
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&dsa, u"DSA", u"Microsoft Primitive Provider", 0), kStatusSuccess);
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&dh, u"DH", nullptr, 0), kStatusSuccess);
  std::vector<Source> sources;
  Blob group;  // the 1024-bit key's P and G serve as a Diffie-Hellman group
  for (const ULONG bits : {1024u, 1088u}) {
    BCRYPT_KEY_HANDLE key = nullptr;
    ASSERT_EQ(BCryptGenerateKeyPair(dsa, &key, bits, 0), kStatusSuccess);
    ASSERT_EQ(BCryptFinalizeKeyPair(key, 0), kStatusSuccess);
    const bool v2 = bits > 1024;
    const size_t seed_at = v2 ? kDsaBlobV2HeaderSize : 12;
    std::vector<std::pair<const char*, size_t>> fields = {{"key length", 4}};
    if (v2) fields.insert(fields.end(), {{"seed length", 16}, {"group size", 20}});
    for (const char16_t* type : {u"DSAPRIVATEBLOB", u"DSAPUBLICBLOB"}) {
      sources.push_back({dsa, type, Export(key, type), fields, seed_at, 0});
    }
    if (!v2) group = sources.back().blob;
    EXPECT_EQ(BCryptDestroyKey(key), kStatusSuccess);
  }
  {
    const ULONG length = 128;
    Blob parameters(12);
    const ULONG header[3] = {12 + 2 * length, kDhParametersMagic, length};
    std::memcpy(parameters.data(), header, 12);
    parameters.insert(parameters.end(), group.begin() + kDsaBlobHeaderSize,
                      group.begin() + kDsaBlobHeaderSize + 2 * length);  // P, then G
    BCRYPT_KEY_HANDLE key = nullptr;
    ASSERT_EQ(BCryptGenerateKeyPair(dh, &key, length * 8, 0), kStatusSuccess);
    ASSERT_EQ(BCryptSetProperty(key, u"DHParameters", parameters.data(), static_cast<ULONG>(parameters.size()), 0),
              kStatusSuccess);
    ASSERT_EQ(BCryptFinalizeKeyPair(key, 0), kStatusSuccess);
    sources.push_back({dh, u"DHPRIVATEBLOB", Export(key, u"DHPRIVATEBLOB"), {{"key length", 4}}, 0, 8 + 2 * length});
    sources.push_back({dh, u"DHPUBLICBLOB", Export(key, u"DHPUBLICBLOB"), {{"key length", 4}}, 0, 0});
    EXPECT_EQ(BCryptDestroyKey(key), kStatusSuccess);
  }
  const int live = test::LiveCryptoHandles();

  for (const Source& source : sources) {
    auto import = [&](const Blob& blob, BCRYPT_KEY_HANDLE* key) {
      return BCryptImportKeyPair(source.algorithm, nullptr, source.type, key, blob.data(),
                                 static_cast<ULONG>(blob.size()), 0);
    };
    BCRYPT_KEY_HANDLE key = nullptr;
    ASSERT_EQ(import(source.blob, &key), kStatusSuccess);
    EXPECT_EQ(BCryptDestroyKey(key), kStatusSuccess);

    std::vector<std::pair<std::string, Blob>> mutants;
    Blob b = source.blob;
    b[0] ^= 0x01;
    mutants.emplace_back("magic", b);
    b = source.blob;
    b.pop_back();
    mutants.emplace_back("cut by one byte", b);
    b = source.blob;
    b.push_back(0);
    mutants.emplace_back("grown by one byte", b);
    for (const auto& [name, at] : source.fields) {
      for (const int32_t delta : {-8, -1, 1, 8}) {
        b = source.blob;
        AddToField(b, at, delta);
        mutants.emplace_back(std::string(name) + " " + std::to_string(delta), b);
      }
    }
    if (source.seed_at != 0) {
      b = source.blob;
      b[source.seed_at + 5] ^= 0x10;
      mutants.emplace_back("seed", b);
      b = source.blob;
      b[source.seed_at - 1] ^= 0x01;  // the counter's last byte
      mutants.emplace_back("counter", b);
    }
    if (source.public_at != 0) {
      b = source.blob;
      b[source.public_at + 127] ^= 0x01;
      mutants.emplace_back("public value", b);
    }
    for (const auto& [name, mutant] : mutants) {
      key = nullptr;
      EXPECT_EQ(import(mutant, &key), kStatusInvalidParameter) << name;
      EXPECT_EQ(key, nullptr) << name;
      EXPECT_EQ(test::LiveCryptoHandles(), live) << name;
    }
  }
  EXPECT_EQ(BCryptCloseAlgorithmProvider(dsa, 0), kStatusSuccess);
  EXPECT_EQ(BCryptCloseAlgorithmProvider(dh, 0), kStatusSuccess);
  EXPECT_EQ(test::LiveCryptoHandles(), 0);
}

}  // namespace
}  // namespace velmora::platform
