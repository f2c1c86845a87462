#include "crypto/objects/key_creation.h"

#include <cctype>
#include <cstdarg>
#include <string>

#include "component/component_base.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/dsa/dsa_engine.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/keys/curve_params.h"
#include "crypto/providers/cng_dsa_key.h"
#include "crypto/providers/cng_ecc_key.h"
#include "crypto/providers/cng_rsa_key.h"
#include "crypto/rsa/rsa_engine.h"

namespace velmora::crypto {

namespace {

constexpr int kEcNotOnPlatform = 1410;

// PlatformChosen: FIPS-compliant mode and a platform request both create on the platform; the default
// mode resolves to the internal provider.
bool PlatformChosen(int32_t provider_mode) {
  return component::UseFIPSCompliantAPI() != 0 || provider_mode == static_cast<int32_t>(kProviderPlatform);
}

// Refuse writes the printf-style text into error_text when one is given and returns code.
__attribute__((format(printf, 3, 4))) int Refuse(int code, core::BufferCore* error_text, const char* format, ...) {
  if (error_text == nullptr) return code;
  va_list args;
  va_start(args, format);
  (void)error_text->FormatV(format, args);
  va_end(args);
  return code;
}

}  // namespace

int CngCreateRsaKey(int32_t bits, RsaKeyParams& out, int32_t provider_mode, core::BufferCore* error_text) {
  if (component::UseFIPSCompliantAPI() != 0 && bits < 2048) {
    return Refuse(kNotAllowedInFips, error_text,
                  "Could not create RSA parameters: FIPS mode requires that the RSA modulus size must be 2048 bits "
                  "or more, but the size is only %d bits.",
                  static_cast<int>(bits));
  }
  if (PlatformChosen(provider_mode)) {
    CngRsaKey key;
    return key.GenerateKey(bits, out);
  }
  int status = CheckKeySize(kKeyKindRsa, bits);
  if (status != 0) return status;
  RsaEngine engine;
  engine.KeyBits = bits;
  return engine.GenerateKey(true, out, false);
}

int CngCreateDsaKey(int32_t bits, DsaKeyParams& out, int32_t provider_mode, core::BufferCore* error_text) {
  if (component::UseFIPSCompliantAPI() != 0 && bits < 2048) {
    return Refuse(kNotAllowedInFips, error_text,
                  "Could not create DSA parameters: FIPS mode requires that the DSA key size must be 2048 or 3072 "
                  "bits, but the size is %d bits.",
                  static_cast<int>(bits));
  }
  if (PlatformChosen(provider_mode)) {
    CngDsaKey key;
    return key.GenerateKey(bits, out);
  }
  int status = CheckKeySize(kKeyKindDsa, bits);
  if (status != 0) return status;
  DsaEngine engine;
  engine.KeySize = bits;
  return engine.GenerateKey(true, out, false);
}

int CngCreateEccKey(int32_t key_type, EcKeyParams& out, int32_t provider_mode, core::BufferCore* error_text) {
  if (PlatformChosen(provider_mode)) {
    // The platform creates the NIST prime curves only; the refusal names FIPS mode for a platform request
    // outside it too.
    if (key_type >= 3 && key_type <= 6) {
      return Refuse(kEcNotOnPlatform, error_text,
                    "Could not create EdDSA parameters: EdDSA is not supported in FIPS compliant mode.");
    }
    if (key_type < 0 || key_type >= 7) {
      return Refuse(kEcNotOnPlatform, error_text,
                    "Could not create ECDSA parameters: The curve %s is not supported in FIPS compliant mode.",
                    EcKeyTypeToName(key_type));
    }
    CngEccKey key;
    key.OwnParams().KeyType = key_type;
    return key.GenerateKey(true, out);
  }
  EccEngine engine;
  engine.Params.KeyType = key_type;
  return engine.GenerateKey(true, out);
}

int CompleteRsaPrivateKey(RsaKeyParams& params, int32_t provider_mode) {
  if (PlatformChosen(provider_mode)) {
    CngRsaKey key;
    return key.CompletePrivateKey(params);
  }
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
