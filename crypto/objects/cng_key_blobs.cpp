#include "crypto/objects/cng_key_blobs.h"

#include <cstring>
#include <initializer_list>

#include "crypto/ec/ec_key_checks.h"
#include "crypto/objects/key_creation.h"
#include "crypto/providers/cng_ecc_key.h"

namespace velmora::crypto {

namespace {

constexpr int kNoPrivateKey = 290;
constexpr int kNoBlobForKey = 1424;
constexpr int kUnreadableKey = 280;
constexpr int32_t kRsaHeaderSize = 24;

uint32_t ReadLe32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

int AppendLe32(core::BufferCore& out, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return out.Append(bytes, 4);
}

int RsaBlob(const RsaKeyParams& params, core::BufferCore& out) {
  if (params.P.IsEmpty() || params.Q.IsEmpty() || params.Modulus.IsEmpty() || params.Exponent.IsEmpty()) {
    return kNoPrivateKey;
  }
  RsaKeyParams padded;
  if (const int status = padded.CopyFrom(params); status != 0) return status;
  if (const int status = padded.PadToFixedLength(); status != 0) return status;
  int status = out.Append("RSA2", 4);
  if (status == 0) status = AppendLe32(out, static_cast<uint32_t>(padded.Modulus.Length()) * 8);
  for (const core::BufferCore* part : std::initializer_list<const core::BufferCore*>{&padded.Exponent, &padded.Modulus, &padded.P, &padded.Q}) {
    if (status == 0) status = AppendLe32(out, static_cast<uint32_t>(part->Length()));
  }
  for (const core::BufferCore* part : std::initializer_list<const core::BufferCore*>{&padded.Exponent, &padded.Modulus, &padded.P, &padded.Q}) {
    if (status == 0) status = out.Append(*part);
  }
  return status;
}

}  // namespace

int KeyRecordToCngPrivateBlob(KeyRecord& key, core::BufferCore& out) {
  if (key.Type == kKeyRsa) return RsaBlob(key.RsaParams, out);
  if (key.Type != kKeyEc || key.EcParams.KeyType < 0 || key.EcParams.KeyType > 2) return kNoBlobForKey;
  if (key.EcParams.D.IsEmpty()) return kNoPrivateKey;
  const int status = BuildCngEccKeyBlob(key.EcParams, true, false, out);
  return status == 1410 ? kNoBlobForKey : status;
}

int CngBlobToKeyRecord(KeyRecord& key, const uint8_t* blob, int32_t length) {
  if (blob == nullptr || length < 2) return 0;
  if (length >= 3 && std::memcmp(blob, "RSA", 3) == 0) {
    if (length < kRsaHeaderSize) return kUnreadableKey;
    const uint64_t exponent = ReadLe32(blob + 8), modulus = ReadLe32(blob + 12), p = ReadLe32(blob + 16),
                   q = ReadLe32(blob + 20);
    if (kRsaHeaderSize + exponent + modulus + p + q > static_cast<uint64_t>(length)) return kUnreadableKey;
    RsaKeyParams& params = key.RsaParams;
    key.Type = kKeyRsa;
    if (const int status = params.Clear(); status != 0) return status;
    const uint8_t* at = blob + kRsaHeaderSize;
    int status = params.Exponent.SetData(static_cast<int32_t>(exponent), at);
    at += exponent;
    if (status == 0) status = params.Modulus.SetData(static_cast<int32_t>(modulus), at);
    at += modulus;
    if (status == 0 && p > 0) status = params.P.SetData(static_cast<int32_t>(p), at);
    at += p;
    if (status == 0 && q > 0) status = params.Q.SetData(static_cast<int32_t>(q), at);
    if (status == 0) status = params.PadToFixedLength();
    if (status == 0 && p > 0 && q > 0) status = CompleteRsaPrivateKey(params, kProviderPlatform);
    return status;
  }
  if (std::memcmp(blob, "EC", 2) == 0) {
    key.Type = kKeyEc;
    return ImportBcryptEccBlob(key.EcParams, blob, length);
  }
  return 0;
}

}  // namespace velmora::crypto
