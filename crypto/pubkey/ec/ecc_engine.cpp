#include "crypto/pubkey/ec/ecc_engine.h"

#include "crypto/pubkey/rsa/rsa_engine.h"

namespace velmora::crypto {

EccEngine::~EccEngine() { ReleaseNativeKey(Random); }

int EccEngine::Sign(const uint8_t*, int32_t, core::BufferCore&) { return kEngineNotAvailable; }

int EccEngine::Verify(const uint8_t*, int32_t, const uint8_t*, int32_t, int32_t& valid) {
  valid = 0;
  return kEngineNotAvailable;
}

// Agree, GenerateKey and SetKeyParams are defined with the EC key operations (ec_key_ops.cpp).

}  // namespace velmora::crypto
