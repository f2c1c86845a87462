// Key creation by provider mode (0 internal, 1 platform, 2 default) and by algorithm name. The platform
// provider is not available here: mode 1 gives -1.
#pragma once

#include <cstdint>

#include "crypto/keys/key_params.h"
#include "crypto/keys/provider_mode.h"
#include "crypto/objects/key_record.h"

namespace velmora::crypto {

// CngCreateRsaKey, CngCreateDsaKey and CngCreateEccKey generate a key of bits bits (of key_type) into
// out with the internal engines: 0, -1 for the platform mode, 1206 for a size the kind refuses, or the
// engine's code. CompleteRsaPrivateKey derives missing CRT values the same way.
[[nodiscard]] int CngCreateRsaKey(int32_t bits, RsaKeyParams& out, int32_t provider_mode = kProviderDefault);
[[nodiscard]] int CngCreateDsaKey(int32_t bits, DsaKeyParams& out, int32_t provider_mode = kProviderDefault);
[[nodiscard]] int CngCreateEccKey(int32_t key_type, EcKeyParams& out, int32_t provider_mode = kProviderDefault);
[[nodiscard]] int CompleteRsaPrivateKey(RsaKeyParams& params, int32_t provider_mode = kProviderDefault);

// GenerateKeyByAlgorithmName: "RSA", "DSA", "ECDSA_..." or "Ed25519"/"Ed448" key material into out.
[[nodiscard]] int GenerateKeyByAlgorithmName(const char* name, int32_t bits, KeyRecord& out);

}  // namespace velmora::crypto
