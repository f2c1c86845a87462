// The key objects and the component's selections: the internal RSA and DSA keys forward each slot to
// their engines (results equal the engine's own, arguments in the engine's order), keep their own copy
// of the key apart from the engine's, refuse sizes outside the key-size rule before touching the
// engine, and ResetAlgorithm empties only the engine's copy. Keys come from
// tests/data/crypto/pubkey/key_class_keys.txt.
#include <gtest/gtest.h>

#include <string>

#include "crypto/pubkey/keys/key_providers.h"
#include "crypto/symmetric/hash_objects.h"
#include "tests/crypto/symmetric/vector_file.h"

namespace velmora::crypto {
namespace {

namespace ts = testing_support;

std::string Str(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }

void Set(core::BufferCore& b, const std::string& bytes) {
  ASSERT_EQ(b.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
}

class KeyClasses : public ::testing::Test {
 protected:
  void SetUp() override {
    auto entries = ts::ReadVectors(std::string(VELMORABLE_SOURCE_DIR) + "/tests/data/crypto/pubkey/key_class_keys.txt",
                                   {"Algorithm", "Modulus", "Exponent", "D", "P", "Q", "G", "Y", "X"});
    ASSERT_EQ(entries.size(), 2u);
    auto& rsa = entries[0];
    ASSERT_EQ(rsa.Get("Algorithm"), "RSA");
    Set(rsa_.Modulus, rsa.Bytes("Modulus"));
    Set(rsa_.Exponent, rsa.Bytes("Exponent"));
    Set(rsa_.D, rsa.Bytes("D"));
    Set(rsa_.P, rsa.Bytes("P"));
    Set(rsa_.Q, rsa.Bytes("Q"));
    auto& dsa = entries[1];
    ASSERT_EQ(dsa.Get("Algorithm"), "DSA");
    Set(dsa_.P, dsa.Bytes("P"));
    Set(dsa_.Q, dsa.Bytes("Q"));
    Set(dsa_.G, dsa.Bytes("G"));
    Set(dsa_.Y, dsa.Bytes("Y"));
    Set(dsa_.X, dsa.Bytes("X"));
  }

  RsaKeyParams rsa_;
  DsaKeyParams dsa_;
};

TEST_F(KeyClasses, InternalRsaKeyForwardsToItsEngine) {
  component::CryptoComponent component;
  ASSERT_EQ(SelectRsaProvider(component, rsa_, kProviderDefault), 0);
  EXPECT_EQ(component.AlgorithmId(), kEngineRsa);
  EXPECT_EQ(component.ProviderMode(), kProviderInternal);
  auto* key = dynamic_cast<InternalRsaKey*>(HeldRsaKey(component));
  ASSERT_NE(key, nullptr);
  RsaEngine& engine = key->Engine();

  // Signing: the key's slot and the engine's give the same deterministic v1.5 signature; Verify takes
  // the digest name fifth and hands it on third.
  const std::string digest(32, '\x5a');
  const auto* d = reinterpret_cast<const uint8_t*>(digest.data());
  core::Buffer by_key, by_engine;
  ASSERT_EQ(PlatformRsaSign(component, d, 32, "SHA256", by_key, 0, 0), 0);
  ASSERT_EQ(engine.Sign(d, 32, "SHA256", by_engine, 0, 0), 0);
  EXPECT_EQ(Str(by_key), Str(by_engine));
  int32_t valid = 0;
  ASSERT_EQ(PlatformRsaVerify(component, d, 32, by_key.Bytes(), by_key.Length(), "SHA256", valid, 0, 0, 1), 0);
  EXPECT_EQ(valid, 1);
  std::string other = digest;
  other[31] ^= 1;
  ASSERT_EQ(key->Verify(reinterpret_cast<const uint8_t*>(other.data()), 32, by_key.Bytes(), by_key.Length(), "SHA256",
                        valid, 0, 0, 1), 0);
  EXPECT_EQ(valid, 0);

  // Encrypt and Decrypt reach the padding slots: v1.5 and OAEP round trips.
  for (int32_t oaep : {0, 1}) {
    core::Buffer sealed, opened;
    ASSERT_EQ(key->Encrypt(d, 16, sealed, oaep, nullptr, 0, "SHA256", "SHA1"), 0);
    ASSERT_EQ(key->Decrypt(sealed.Bytes(), sealed.Length(), opened, oaep, nullptr, 0, "SHA256", "SHA1"), 0);
    EXPECT_EQ(Str(opened), digest.substr(0, 16));
  }

  // CompletePrivateKey works on the caller's set.
  RsaKeyParams partial;
  ASSERT_EQ(partial.CopyFrom(rsa_), 0);
  ASSERT_EQ(key->CompletePrivateKey(partial), 0);
  EXPECT_GT(partial.DP.Length(), 0);
  EXPECT_GT(partial.InverseQ.Length(), 0);

  // A refused size changes nothing; the engine keeps its key size.
  RsaKeyParams generated;
  EXPECT_EQ(key->GenerateKey(1004, generated), kKeySizeRefused);
  EXPECT_EQ(key->GenerateKey(376, generated), kKeySizeRefused);
  EXPECT_EQ(engine.KeyBits, 1024);
  EXPECT_EQ(generated.Modulus.Length(), 0);

  // The own copy is apart from the engine's: ResetAlgorithm empties only the engine's.
  const RsaKeyParams* own = key->GetKeyParams();
  EXPECT_NE(static_cast<const void*>(own), static_cast<const void*>(&engine.Params));
  EXPECT_EQ(Str(own->Modulus), Str(rsa_.Modulus));
  ASSERT_EQ(ResetAlgorithm(component), 0);
  EXPECT_EQ(engine.Params.Modulus.Length(), 0);
  EXPECT_EQ(engine.Params.D.Length(), 0);
  EXPECT_EQ(Str(key->GetKeyParams()->Modulus), Str(rsa_.Modulus));
  by_key.Clear();
  EXPECT_NE(PlatformRsaSign(component, d, 32, "SHA256", by_key, 0, 0), 0);

  // Selecting again with the same id and requested mode keeps the object and reloads it.
  ASSERT_EQ(SelectRsaProvider(component, rsa_, kProviderInternal), 0);
  InternalRsaKey* first = dynamic_cast<InternalRsaKey*>(HeldRsaKey(component));
  ASSERT_EQ(SelectRsaProvider(component, rsa_, kProviderInternal), 0);
  EXPECT_EQ(HeldRsaKey(component), first);
  EXPECT_EQ(first->Engine().Params.Modulus.Length(), rsa_.Modulus.Length());
}

TEST_F(KeyClasses, InternalDsaKeySelectionSigningAndReset) {
  component::CryptoComponent component;
  ASSERT_EQ(SelectDsaProvider(component, dsa_, kProviderInternal), 0);
  auto* key = dynamic_cast<InternalDsaKey*>(HeldDsaKey(component));
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->Engine().KeySize, 1024);

  // Raw and DER signatures from the component's signing entry both verify through VerifyRaw.
  const std::string digest(20, '\x33');
  const auto* d = reinterpret_cast<const uint8_t*>(digest.data());
  for (int32_t der : {0, 1}) {
    core::Buffer signature;
    ASSERT_EQ(DsaSignWithFipsCheck(component, d, 20, signature, der), 0);
    EXPECT_EQ(signature.Length() == 40, der == 0);
    int32_t valid = 0;
    ASSERT_EQ(VerifyRaw(component, d, 20, signature.Bytes(), signature.Length(), valid), 0);
    EXPECT_EQ(valid, 1);
    signature.Data()[signature.Length() - 1] ^= 1;
    ASSERT_EQ(VerifyRaw(component, d, 20, signature.Bytes(), signature.Length(), valid), 0);
    EXPECT_EQ(valid, 0);
  }

  DsaKeyParams generated;
  EXPECT_EQ(key->GenerateKey(1000, generated), kKeySizeRefused);
  EXPECT_EQ(key->Engine().KeySize, 1024);

  ASSERT_EQ(ResetAlgorithm(component), 0);
  EXPECT_EQ(key->Engine().Params.P.Length(), 0);
  EXPECT_EQ(key->Engine().Params.X.Length(), 0);
  EXPECT_EQ(Str(key->GetKeyParams()->X), Str(dsa_.X));

  // The engine decides the result; the own copy is taken anyway.
  DsaKeyParams no_key;
  ASSERT_EQ(no_key.CopyFrom(dsa_), 0);
  ASSERT_EQ(no_key.Y.Clear(), 0);
  ASSERT_EQ(no_key.X.Clear(), 0);
  EXPECT_EQ(SelectDsaProvider(component, no_key, kProviderInternal), kDsaMissingParams);
  EXPECT_EQ(key->GetKeyParams()->X.Length(), 0);
}

TEST_F(KeyClasses, PlatformRequestsAndOtherFamilies) {
  component::CryptoComponent component;
  EXPECT_EQ(SelectRsaProvider(component, rsa_, kProviderPlatform), -1);
  EXPECT_EQ(SelectDsaProvider(component, dsa_, kProviderPlatform), -1);
  EcKeyParams ec;
  EXPECT_EQ(SelectEccProvider(component, ec, kProviderPlatform), -1);
  EXPECT_EQ(component.Object(), nullptr);

  // Front operations asked of a component without a key of their family.
  ASSERT_EQ(SelectDsaProvider(component, dsa_, kProviderInternal), 0);
  core::Buffer out;
  int32_t valid = 1;
  const uint8_t digest[20] = {};
  EXPECT_EQ(PlatformRsaSign(component, digest, 20, "SHA1", out, 0, 0), -1);
  EXPECT_EQ(PlatformRsaVerify(component, digest, 20, digest, 20, "SHA1", valid, 0, 0, 1), -1);
  EXPECT_EQ(valid, 0);
  EXPECT_EQ(VerifyHashRaw(component, digest, 20, digest, 20, valid), -1);
  // Selecting another family replaces the object.
  ASSERT_EQ(SelectRsaProvider(component, rsa_, kProviderInternal), 0);
  EXPECT_EQ(HeldDsaKey(component), nullptr);
  EXPECT_EQ(VerifyRaw(component, digest, 20, digest, 20, valid), -1);
}

}  // namespace
}  // namespace velmora::crypto
