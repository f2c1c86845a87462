// Signing and verifying data with a KeyRecord by its algorithm, and the
// message-level ECDSA wrappers of the EC engine. Each runs through a temporary crypto component in the
// default provider mode. One thread at a time per record and engine.
#pragma once

#include <cstdint>

#include "asn1/algorithm_identifier.h"
#include "core/buffer.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/objects/key_record.h"

namespace velmora::crypto {

// kKeyAlgorithmRefused: a certificate issuer whose key is not RSA, DSA or EC.
inline constexpr int kKeyAlgorithmRefused = 508;

// SignWithKeyRecord appends to out the signature of data under key: RSA PKCS#1 v1.5 with the DigestInfo
// of digest_name, raw DSA r || s, or raw ECDSA r || s, each over the named digest of the data; EdDSA
// records sign the data itself. A record of no known type gives 0 and leaves out alone. 0 or the first
// failing code (digest, selection or signing).
[[nodiscard]] int SignWithKeyRecord(const uint8_t* data, int32_t length, const char* digest_name,
                                    const KeyRecord& key, core::BufferCore& out);

// VerifyWithKeyRecord checks signature over data under key, with the digest the signature algorithm
// names: 0 when it verifies, -1 when it does not (or the record's type is not known), another code when
// a step fails. RSASSA-PSS identifiers verify with the digest and salt length of their parameters (RFC
// 4055 defaults when absent); parameters with another mask than MGF1 over that same digest, a trailer
// field other than 1, or a non-RSA key give -1. DSA uses SHA-224 or SHA-256 for dsa-with-SHA224 and
// dsa-with-SHA256 and SHA-1 for any other OID.
[[nodiscard]] int VerifyWithKeyRecord(const KeyRecord& key, const core::BufferCore& signature,
                                      const core::BufferCore& data, const asn1::AlgorithmIdentifier& algorithm);

// EccSignMessage appends the engine's signature of the digest (HashAlgorithmId digest_id) of the
// message; EccVerifyMessage sets valid to 1 or 0 for a signature over it. 0 or the first failing code.
[[nodiscard]] int EccSignMessage(EccEngine& engine, const uint8_t* message, int32_t length, int32_t digest_id,
                                 core::BufferCore& out);
[[nodiscard]] int EccVerifyMessage(EccEngine& engine, const uint8_t* message, int32_t length,
                                   const uint8_t* signature, int32_t signature_length, int32_t digest_id,
                                   int32_t& valid);

// DsaDigestName returns the digest name of a DSA signature OID (not null): "SHA224" or "SHA256" for the
// NIST DSA OIDs, "SHA1" for any other text. A constant text; any thread.
const char* DsaDigestName(const char* oid);

}  // namespace velmora::crypto
