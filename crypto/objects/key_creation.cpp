#include "crypto/objects/key_creation.h"

#include <cctype>
#include <string>

#include "crypto/dsa/dsa_engine.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/rsa/rsa_engine.h"

namespace velmora::crypto {

int CngCreateRsaKey(int32_t bits, RsaKeyParams& out, int32_t provider_mode) {
  if (provider_mode == static_cast<int32_t>(kProviderPlatform)) return -1;
  int status = CheckKeySize(kKeyKindRsa, bits);
  if (status != 0) return status;
  RsaEngine engine;
  engine.KeyBits = bits;
  return engine.GenerateKey(true, out, false);
}

int CngCreateDsaKey(int32_t bits, DsaKeyParams& out, int32_t provider_mode) {
  if (provider_mode == static_cast<int32_t>(kProviderPlatform)) return -1;
  int status = CheckKeySize(kKeyKindDsa, bits);
  if (status != 0) return status;
  DsaEngine engine;
  engine.KeySize = bits;
  return engine.GenerateKey(true, out, false);
}

int CngCreateEccKey(int32_t key_type, EcKeyParams& out, int32_t provider_mode) {
  if (provider_mode == static_cast<int32_t>(kProviderPlatform)) return -1;
  EccEngine engine;
  engine.Params.KeyType = key_type;
  return engine.GenerateKey(true, out);
}

int CompleteRsaPrivateKey(RsaKeyParams& params, int32_t provider_mode) {
  if (provider_mode == static_cast<int32_t>(kProviderPlatform)) return -1;
  return params.CompleteCrt();
}

int GenerateKeyByAlgorithmName(const char* name, int32_t bits, KeyRecord& out) {
  std::string upper = name == nullptr ? "" : name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "RSA") {
    const int status = CngCreateRsaKey(bits, out.RsaParams, kProviderDefault);
    if (status == 0) out.Type = kKeyRsa;
    return status;
  }
  if (upper == "DSA") {
    const int status = CngCreateDsaKey(bits, out.DsaParams, kProviderDefault);
    if (status == 0) out.Type = kKeyDsa;
    return status;
  }
  int32_t key_type = -1;
  int32_t record_type = kKeyEc;
  if (upper.rfind("ECDSA", 0) == 0) {
    static constexpr struct {
      const char* name;
      int32_t type;
    } kNames[] = {{"ECDSA_P256", 0}, {"ECDSA_P384", 1}, {"ECDSA_P521", 2}, {"ECDSA_SECP160K1", 7},
                  {"ECDSA_SECP192K1", 8}, {"ECDSA_SECP224K1", 9}, {"ECDSA_SECP256K1", 10}};
    for (const auto& entry : kNames) {
      if (upper == entry.name) key_type = entry.type;
    }
    if (upper.rfind("ECDSA_BRAINPOOLP", 0) == 0) {
      const int32_t type = EcCurveNameToKeyType(upper.c_str() + 6);
      if (type >= 11 && type <= 24) key_type = type;
    }
  } else if (upper.rfind("ED", 0) == 0) {
    record_type = kKeyEdwards;
    if (upper == "ED25519") key_type = 3;
    if (upper == "ED448") key_type = 4;
  }
  if (key_type < 0) return 2001;
  const int status = CngCreateEccKey(key_type, record_type == kKeyEc ? out.EcParams : out.EdParams, kProviderDefault);
  if (status == 0) out.Type = record_type;
  return status;
}

}  // namespace velmora::crypto
