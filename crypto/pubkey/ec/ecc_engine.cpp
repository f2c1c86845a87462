#include "crypto/pubkey/ec/ecc_engine.h"

#include "crypto/pubkey/rsa/rsa_engine.h"

namespace velmora::crypto {

EccEngine::~EccEngine() { ReleaseNativeKey(Random); }

int EccEngine::Sign(const uint8_t*, int32_t, core::BufferCore&) { return kEngineNotAvailable; }

int EccEngine::Verify(const uint8_t*, int32_t, const uint8_t*, int32_t, int32_t& valid) {
  valid = 0;
  return kEngineNotAvailable;
}

int EccEngine::Agree(const EcKeyParams&, int32_t, const uint8_t*, int32_t, const uint8_t*, int32_t, const uint8_t*,
                     int32_t, core::BufferCore&) {
  return kEngineNotAvailable;
}

int EccEngine::GenerateKey(bool, EcKeyParams&) { return kEngineNotAvailable; }

int EccEngine::SetKeyParams(const EcKeyParams& params) {
  if (params.KeyType == -1) return kEcInvalidKey;
  return Params.CopyFrom(params, true);
}

}  // namespace velmora::crypto
