// The results the platform key objects give of their own, beside the platform's statuses.
#pragma once

namespace velmora::crypto {

// kCngNotLoaded: the platform function the operation needs is not loaded.
inline constexpr int kCngNotLoaded = -1;
// kCngNoKey: the object holds no key handle.
inline constexpr int kCngNoKey = -2;
// kCngPrivateExportOfHeldKey: a held key's private part cannot be transferred out.
inline constexpr int kCngPrivateExportOfHeldKey = -3;
// kCngNotSupported (NTE_NOT_SUPPORTED): what Sign answers, without a platform call, for a digest whose
// DigestInfo the platform cannot build.
inline constexpr int kCngNotSupported = static_cast<int>(0x80090029u);

// kCngEcNoSignature: an EC verification without a signature.
inline constexpr int kCngEcNoSignature = 1405;
// kCngEcBadBlob: an ECC key blob of a field length other than 32, 48 or 66 bytes.
inline constexpr int kCngEcBadBlob = 1409;

}  // namespace velmora::crypto
