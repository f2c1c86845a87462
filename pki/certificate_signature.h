// The signature check of a certificate by its issuer's public key.
#pragma once

#include "crypto/objects/sign_by_key.h"
#include "pki/certificate.h"

namespace velmora::pki {

// VerifySignatureByAlgorithm checks certificate's signature with the issuer's public key, through
// crypto::VerifyWithKeyRecord (0 when it verifies, -1 when it does not, another code when a step fails),
// or 508 when the issuer's key is not RSA, DSA or EC. One thread at a time per pair of records.
[[nodiscard]] int VerifySignatureByAlgorithm(const Certificate& certificate, const Certificate& issuer);

}  // namespace velmora::pki
