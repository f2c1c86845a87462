// The platform's names for digests, key-derivation functions and ECDSA curves, as its key and
// key-derivation functions take them (UTF-16, NUL-terminated). Constant texts; any thread.
#pragma once

#include <cstdint>

#include "crypto/keys/key_params.h"

namespace velmora::crypto {

// CngHashNameByIdW: 0 and 7 "SHA1", 1 and 8 "SHA256", 2 and 9 "SHA384", 3 and 10 "SHA512", 4 "MD2",
// 5 "MD4", 6 and 11 "MD5", any other id "".
const char16_t* CngHashNameByIdW(int32_t id);
// CngKdfNameW: 0 "HASH", 1 "HMAC", 2 "TLS_PRF", 99 "TRUNCATE", any other id "".
const char16_t* CngKdfNameW(int32_t id);
// CngHashNameW: the platform name of a digest name, without regard to case: null or "" give "SHA1";
// "SHA1", "SHA256", "SHA384", "SHA512", "MD2", "MD4" and "MD5" give themselves; any other name (and "RAW",
// no digest) gives null.
const char16_t* CngHashNameW(const char* name);
// IsPlatformHashName: 1 for null, "", "SHA1", "SHA256", "SHA384", "SHA512" and "RAW" (any case), else 0.
int IsPlatformHashName(const char* name);
// CngEcdsaCurveNameW: "ECDSA_P256", "ECDSA_P384", "ECDSA_P521" for EC key types 0, 1, 2; "" otherwise.
const char16_t* CngEcdsaCurveNameW(const EcKeyParams& params);

}  // namespace velmora::crypto
