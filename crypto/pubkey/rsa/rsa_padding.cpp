#include "crypto/pubkey/rsa/rsa_engine.h"

namespace velmora::crypto {

int RsaEngine::Pkcs1Decrypt(const uint8_t*, int32_t, core::BufferCore&) { return kEngineNotAvailable; }
int RsaEngine::Pkcs1Encrypt(const uint8_t*, int32_t, core::BufferCore&) { return kEngineNotAvailable; }
int RsaEngine::Verify(const uint8_t*, int32_t, const char*, const uint8_t*, int32_t, int32_t& valid, int32_t, int32_t,
                      int32_t) {
  valid = 0;
  return kEngineNotAvailable;
}
int RsaEngine::Sign(const uint8_t*, int32_t, const char*, core::BufferCore&, int32_t, int32_t) {
  return kEngineNotAvailable;
}
int RsaEngine::DecryptByPadding(const uint8_t*, int32_t, core::BufferCore&, int32_t, const uint8_t*, int32_t,
                                const char*, const char*) {
  return kEngineNotAvailable;
}
int RsaEngine::EncryptByPadding(const uint8_t*, int32_t, core::BufferCore&, int32_t, const uint8_t*, int32_t,
                                const char*, const char*) {
  return kEngineNotAvailable;
}

int AppendDigestInfoPrefix(const char*, core::BufferCore&) { return kEngineNotAvailable; }
int RsaDigestInfoLengthAdjust(core::BufferCore&) { return kEngineNotAvailable; }
int RsaVerifyPkcs1v15(RsaEngine&, const uint8_t*, int32_t, core::BufferCore&, const uint8_t*, int32_t, int32_t,
                      int32_t& valid) {
  valid = 0;
  return kEngineNotAvailable;
}
int RsaVerifyPss(RsaEngine&, const uint8_t*, int32_t, const char*, int32_t, const uint8_t*, int32_t, int32_t& valid) {
  valid = 0;
  return kEngineNotAvailable;
}
int RsaPkcs1v15Sign(RsaEngine&, const uint8_t*, int32_t, const core::BufferCore&, core::BufferCore&) {
  return kEngineNotAvailable;
}
int RsaPssSign(RsaEngine&, const uint8_t*, int32_t, const char*, int32_t, core::BufferCore&) {
  return kEngineNotAvailable;
}

}  // namespace velmora::crypto
