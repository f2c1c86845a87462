// Key creation by provider mode (0 internal, 1 platform, 2 default: internal) and by algorithm name. In
// FIPS-compliant mode the platform creates every key, after the FIPS size and curve rules.
#pragma once

#include <cstdint>

#include "core/buffer.h"

#include "crypto/keys/key_params.h"
#include "crypto/keys/provider_mode.h"
#include "crypto/objects/key_record.h"

namespace velmora::crypto {

// CngCreateRsaKey, CngCreateDsaKey and CngCreateEccKey generate a key of bits bits (of key_type) into
// out: with the internal engines unless FIPS mode is on or provider_mode is 1, then through a temporary
// platform key. 0; 1206 for a size the internal engine refuses; -1 while a platform function is not
// loaded; the engine's or the platform's code. The refusals, each with its text written into error_text
// when that is not null: 9999 in FIPS mode for an RSA modulus or DSA key below 2048 bits; 1410 for a
// platform request (FIPS mode or mode 1) of an Edwards or Montgomery key (types 3 to 6) or of a curve
// beyond P-521 (types 7 and up, the text naming the curve).
[[nodiscard]] int CngCreateRsaKey(int32_t bits, RsaKeyParams& out, int32_t provider_mode = kProviderDefault,
                                  core::BufferCore* error_text = nullptr);
[[nodiscard]] int CngCreateDsaKey(int32_t bits, DsaKeyParams& out, int32_t provider_mode = kProviderDefault,
                                  core::BufferCore* error_text = nullptr);
[[nodiscard]] int CngCreateEccKey(int32_t key_type, EcKeyParams& out, int32_t provider_mode = kProviderDefault,
                                  core::BufferCore* error_text = nullptr);
// CompleteRsaPrivateKey fills the CRT values of params: through a temporary platform key in FIPS mode or
// with provider_mode 1, else by computing them (RsaKeyParams::CompleteCrt). 0 or the first failing code.
[[nodiscard]] int CompleteRsaPrivateKey(RsaKeyParams& params, int32_t provider_mode = kProviderDefault);

// GenerateKeyByAlgorithmName: "RSA", "DSA", "ECDSA_..." or "Ed25519"/"Ed448" key material into out.
[[nodiscard]] int GenerateKeyByAlgorithmName(const char* name, int32_t bits, KeyRecord& out);

}  // namespace velmora::crypto
