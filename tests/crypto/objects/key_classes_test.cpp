// The key objects and the component's key selections: the internal RSA and DSA keys forward their
// slots to their engines (results equal the engine's own), keep their own copy of the key apart from
// the engine's working copy, and refuse sizes outside the key-size rule before touching the engine;
// ResetAlgorithm empties only the engine's copy. Keys: tests/data/crypto/pubkey/key_class_keys.txt.
#include <gtest/gtest.h>

#include <string>

#include "crypto/objects/key_providers.h"
#include "crypto/objects/hash_objects.h"
#include "tests/vector_file.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

namespace ts = testing_support;

class KeyClasses : public ::testing::Test {
 protected:
  void SetUp() override {
    auto keys = ts::ReadVectors(std::string(VELMORABLE_SOURCE_DIR) + "/tests/data/crypto/pubkey/key_class_keys.txt",
                                {"Algorithm", "Modulus", "Exponent", "D", "P", "Q", "G", "Y", "X"});
    ASSERT_EQ(keys.size(), 2u);
    ASSERT_EQ(keys[0].Get("Algorithm") + keys[1].Get("Algorithm"), "RSADSA");
    for (auto [field, name] : {std::pair<core::BufferCore*, const char*>{&rsa_.Modulus, "Modulus"},
                               {&rsa_.Exponent, "Exponent"}, {&rsa_.D, "D"}, {&rsa_.P, "P"}, {&rsa_.Q, "Q"}}) {
      const std::string bytes = keys[0].Bytes(name);
      ASSERT_EQ(field->SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
    }
    for (auto [field, name] : {std::pair<core::BufferCore*, const char*>{&dsa_.P, "P"}, {&dsa_.Q, "Q"},
                               {&dsa_.G, "G"}, {&dsa_.Y, "Y"}, {&dsa_.X, "X"}}) {
      const std::string bytes = keys[1].Bytes(name);
      ASSERT_EQ(field->SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
    }
  }

  RsaKeyParams rsa_;
  DsaKeyParams dsa_;
  const std::string digest_ = std::string(32, '\x5a');
  const uint8_t* d_ = reinterpret_cast<const uint8_t*>(digest_.data());
};

TEST_F(KeyClasses, InternalRsaKeyForwardsToItsEngine) {
  component::CryptoComponent component;
  ASSERT_EQ(SelectRsaProvider(component, rsa_, kProviderDefault), 0);
  EXPECT_EQ(component.ProviderMode(), kProviderInternal);
  auto* key = dynamic_cast<InternalRsaKey*>(HeldRsaKey(component));
  ASSERT_NE(key, nullptr);
  RsaEngine& engine = key->Engine();

  // The key's Sign gives the engine's deterministic v1.5 signature; its Verify hands the digest name
  // on in the engine's place.
  core::Buffer by_key, by_engine, sealed, opened;
  ASSERT_EQ(PlatformRsaSign(component, d_, 32, "SHA256", by_key, 0, 0), 0);
  ASSERT_EQ(engine.Sign(d_, 32, "SHA256", by_engine, 0, 0), 0);
  EXPECT_EQ(ts::Text(by_key), ts::Text(by_engine));
  int32_t valid = 0;
  ASSERT_EQ(PlatformRsaVerify(component, d_, 32, by_key.Bytes(), by_key.Length(), "SHA256", valid, 0, 0, 1), 0);
  EXPECT_EQ(valid, 1);
  ASSERT_EQ(key->Encrypt(d_, 16, sealed, 1, nullptr, 0, "SHA256", "SHA1"), 0);
  ASSERT_EQ(key->Decrypt(sealed.Bytes(), sealed.Length(), opened, 1, nullptr, 0, "SHA256", "SHA1"), 0);
  EXPECT_EQ(ts::Text(opened), digest_.substr(0, 16));
  RsaKeyParams partial;
  ASSERT_EQ(partial.CopyFrom(rsa_), 0);
  ASSERT_EQ(key->CompletePrivateKey(partial), 0);
  EXPECT_GT(partial.InverseQ.Length(), 0);

  EXPECT_EQ(key->GenerateKey(1004, partial), kKeySizeRefused);
  EXPECT_EQ(engine.KeyBits, 1024);

  // Selecting again with the same id and requested mode keeps the object.
  ASSERT_EQ(SelectRsaProvider(component, rsa_, kProviderInternal), 0);
  key = dynamic_cast<InternalRsaKey*>(HeldRsaKey(component));
  ASSERT_EQ(SelectRsaProvider(component, rsa_, kProviderInternal), 0);
  EXPECT_EQ(HeldRsaKey(component), key);
  ASSERT_EQ(ResetAlgorithm(component), 0);
  EXPECT_EQ(key->Engine().Params.Modulus.Length() + key->Engine().Params.D.Length(), 0);
  EXPECT_EQ(ts::Text(key->GetKeyParams()->D), ts::Text(rsa_.D));
}

TEST_F(KeyClasses, InternalDsaKeyAndTheFrontOperations) {
  component::CryptoComponent component;
  ASSERT_EQ(SelectDsaProvider(component, dsa_, kProviderInternal), 0);
  auto* key = dynamic_cast<InternalDsaKey*>(HeldDsaKey(component));
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->Engine().KeySize, 1024);

  // Raw and DER signatures from the signing entry both verify through VerifyRaw.
  for (int32_t der : {0, 1}) {
    core::Buffer signature;
    ASSERT_EQ(DsaSignWithFipsCheck(component, d_, 20, signature, der), 0);
    int32_t valid = 0;
    ASSERT_EQ(VerifyRaw(component, d_, 20, signature.Bytes(), signature.Length(), valid), 0);
    EXPECT_EQ(valid, 1);
    signature.Data()[signature.Length() - 1] ^= 1;
    ASSERT_EQ(VerifyRaw(component, d_, 20, signature.Bytes(), signature.Length(), valid), 0);
    EXPECT_EQ(valid, 0);
  }
  DsaKeyParams generated;
  EXPECT_EQ(key->GenerateKey(1000, generated), kKeySizeRefused);
  EXPECT_EQ(key->Engine().KeySize, 1024);
  ASSERT_EQ(ResetAlgorithm(component), 0);
  EXPECT_EQ(key->Engine().Params.P.Length() + key->Engine().Params.X.Length(), 0);
  EXPECT_EQ(ts::Text(key->GetKeyParams()->X), ts::Text(dsa_.X));

  // The engine decides the result; the own copy is taken anyway.
  ASSERT_EQ(generated.CopyFrom(dsa_), 0);
  ASSERT_EQ(generated.Y.Clear() + generated.X.Clear(), 0);
  EXPECT_EQ(SelectDsaProvider(component, generated, kProviderInternal), kDsaMissingParams);
  EXPECT_EQ(key->GetKeyParams()->X.Length(), 0);

  // Front operations asked of a component that holds another family's key.
  core::Buffer out;
  int32_t valid = 1;
  EXPECT_EQ(PlatformRsaSign(component, d_, 20, "SHA1", out, 0, 0), -1);
  EXPECT_EQ(VerifyHashRaw(component, d_, 20, d_, 20, valid), -1);
  EXPECT_EQ(valid, 0);
}

}  // namespace
}  // namespace velmora::crypto
