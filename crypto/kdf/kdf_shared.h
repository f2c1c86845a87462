// Key derivation from shared secrets and seeds: the single-step concatenation KDF (NIST SP 800-56A),
// the ANSI X9.63 KDF, the TLS P_hash expansion with the TLS 1.0/1.1 PRF built on it, and MGF1
// (PKCS #1). Digests are internal HashCtx digests; HMACs are InternalHmac objects.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/mac/hmac.h"

namespace velmora::crypto {

constexpr int kMgf1BadArguments = 1113;

// ConcatKdf hashes BE32(counter) || Z || OtherInfo for counter 1..reps, reps = ceil(key_length / hLen)
// and at least 1, into out (replaced). out holds reps x hLen bytes, of which the caller takes the
// key_length it needs. 0; 2001 for an unknown digest name; 200.
[[nodiscard]] int ConcatKdf(const uint8_t* z, int32_t z_length, const char* digest_name, int32_t key_length,
                            const uint8_t* other_info, int32_t other_info_length, core::BufferCore& out);

// X963Kdf is the ANSI X9.63 KDF over the HashAlgorithmId digest_id: out (replaced) receives exactly
// key_length bytes of Hash(Z || BE32(counter) || SharedInfo), the counter starting at 1 when
// counter_from_one is set and at 0 otherwise. 0; 2001 for an unknown id; 200.
[[nodiscard]] int X963Kdf(const core::BufferCore& z, const core::BufferCore& shared_info, int32_t digest_id,
                          int32_t key_length, int32_t counter_from_one, core::BufferCore& out);
// X963KdfVariant is the second entry point of X963Kdf, with the same behaviour.
[[nodiscard]] int X963KdfVariant(const core::BufferCore& z, const core::BufferCore& shared_info, int32_t digest_id,
                                 int32_t key_length, int32_t counter_from_one, core::BufferCore& out);

// HmacOnce authenticates first || second (either may be empty) with hmac's stored key and digest and
// copies the value to out (at least hmac.DigestLength() bytes); the object stays ready for the next
// message. 0 or the HMAC's code.
[[nodiscard]] int HmacOnce(InternalHmac& hmac, const void* first, int32_t first_length, const void* second,
                           int32_t second_length, uint8_t* out);

// TlsPHash is P_hash of RFC 2246 section 5 with the keyed hmac: HMAC(A(1) || seed) || HMAC(A(2) || seed)
// || ..., A(0) = seed, written into out (replaced) and cut to exactly length bytes. 0 or the first
// failing code.
[[nodiscard]] int TlsPHash(InternalHmac& hmac, const core::BufferCore& seed, int32_t length, core::BufferCore& out);
// PHashExpand is TlsPHash under the name the PRF uses.
[[nodiscard]] inline int PHashExpand(InternalHmac& hmac, const core::BufferCore& label_and_seed, int32_t length,
                                     core::BufferCore& out) {
  return TlsPHash(hmac, label_and_seed, length, out);
}

// TlsPrf is the TLS 1.0/1.1 PRF: P_MD5(S1, label || seed) ^ P_SHA-1(S2, label || seed) with the secret's
// two (overlapping for an odd length) halves; out holds exactly length bytes on success and is not
// written on failure. 0 or the first failing code.
[[nodiscard]] int TlsPrf(const core::BufferCore& secret, const uint8_t* label, int32_t label_length,
                         const uint8_t* seed, int32_t seed_length, int32_t length, core::BufferCore& out);
// TlsPrfCore is the split-secret computation of TlsPrf over the joined label and seed.
[[nodiscard]] int TlsPrfCore(const core::BufferCore& secret, const core::BufferCore& label_and_seed, int32_t length,
                             core::BufferCore& out);

// Mgf1ByHashName appends mask_length bytes of MGF1 (RFC 8017 appendix B.2.1) over the named digest to
// out, which is not cleared first. 0 (nothing appended for a mask length of 0); 1113 for a null seed or
// a negative mask length; 2001 for an unknown digest name; 200.
[[nodiscard]] int Mgf1ByHashName(const uint8_t* seed, int32_t seed_length, const char* digest_name,
                                 int32_t mask_length, core::BufferCore& out);

}  // namespace velmora::crypto
