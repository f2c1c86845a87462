// The chain of a component's own certificate checked against certificates the caller gives: through the
// platform's chain engine when none are given, else with the library's own issuer chain over a pool made
// of the given certificates. Every certificate of the chain comes back as a loaded component.
#pragma once

#include <cstdint>

#include "crypto/objects/crypto_component.h"

namespace velmora::keystore {

// Status bits, as the platform chain's error status has them: a chain certificate outside its validity
// window; a chain that does not end in a trusted certificate.
inline constexpr uint32_t kChainNotTimeValid = 0x01;
inline constexpr uint32_t kChainUntrustedRoot = 0x20;
// Options: clear kChainNotTimeValid; clear kChainUntrustedRoot when the last chain certificate's issuer
// text equals its subject text.
inline constexpr uint32_t kChainIgnoreValidity = 0x01;
inline constexpr uint32_t kChainAcceptSelfIssued = 0x10;

// CheckChainAgainstThumbprints builds the chain of the component's selected certificate, fills out with
// one loaded component per chain certificate (end certificate first) and writes the trust status to
// *status (optional). Each text may be null or empty:
//   certificates  certificate data in any loader format (never a file name): candidates for the chain;
//   trusted       ";"-separated certificate data items or file names: candidates, and the trusted set;
//                 an item that fails to load ends the check with the loader's code and text;
//   more_trusted  the same, but items that fail to load are skipped;
//   excluded      ","-separated SHA-256 thumbprints (lower-case hex as pki::Thumbprint writes it): the
//                 first equal to the last certificate of `certificates` drops that one from the pool.
// With certificates and trusted both empty the platform builds the chain and its error status is the
// status; a platform chain of one certificate that is not issued by itself (name and signature) is
// built by the own builder instead. The own builder's status is kChainUntrustedRoot unless a chain
// certificate equals one of the trusted set in subject, issuer and serial texts and in its
// SubjectPublicKeyInfo bytes, plus kChainNotTimeValid for a certificate outside its window; an untrusted
// chain is then completed from the platform's chain of its last certificate when that one is clean.
// Returns 0, the loader's code, 272 without a certificate, 200, or the code of a failing chain or load
// (the component's last-error text says which); out and *status keep what was written before a failure.
// One thread at a time per component.
[[nodiscard]] int CheckChainAgainstThumbprints(component::CertKeyComponent& component,
                                               component::ChainValidatorArray& out, uint32_t* status,
                                               uint32_t options, const char* certificates, const char* trusted,
                                               const char* more_trusted, const char* excluded);

}  // namespace velmora::keystore
