// The key derivations the platform's secret handles offer, shared by the "bcrypt" Diffie-Hellman secrets
// (keypair_modules.cpp) and the "ncrypt" EC secrets (ksp_software.cpp). Z is the raw shared secret,
// big-endian at the field or prime length. The parameters are a BCryptBufferDesc of version 0 or null;
// empty buffers are ignored.
// - "TRUNCATE": Z itself, least significant byte first; parameters ignored.
// - "HASH": Hash(prepend || Z || append); the hash from buffer 0 ("SHA1", "SHA256", "SHA384", "SHA512",
//   "MD5"), SHA-1 without one.
// - "HMAC": HMAC(key, prepend || Z || append) with the HMAC key of buffer 3, or Z without one.
// - "TLS_PRF": 48 bytes of the TLS 1.0/1.1 PRF (MD5 and SHA-1) of Z with the label (buffer 4) and the
//   64-byte seed (buffer 5), both required.
// - "SP800_56A_CONCAT", where offered: one block of the single-step KDF of NIST SP 800-56A section 5.8.1,
//   Hash(BE32(1) || Z || OtherInfo), the digest's length, with OtherInfo = algorithm id (buffer 8) ||
//   party U info (9) || party V info (10) || supplementary public info (11) || supplementary private
//   info (12); the first three are required; the hash from buffer 0, SHA-1 without one.
// Outcomes, which each module turns into its own statuses: kDone; kBadParameters for a malformed list, a
// buffer type the derivation does not take, or a missing required buffer; kNotSupported for another
// derivation or hash name ("MD2" and "MD4" among them); kFailed when OpenSSL fails. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::platform {

enum class DeriveOutcome { kDone, kBadParameters, kNotSupported, kFailed };

// WipedBytes is key material that is wiped when released.
struct WipedBytes {
  std::vector<uint8_t> bytes;
  WipedBytes() = default;
  explicit WipedBytes(size_t size) : bytes(size, 0) {}
  WipedBytes(const WipedBytes&) = delete;
  WipedBytes& operator=(const WipedBytes&) = delete;
  ~WipedBytes();
};

// DeriveFromSecret replaces out with the derivation kdf names of z; offer_concat adds "SP800_56A_CONCAT".
DeriveOutcome DeriveFromSecret(const std::vector<uint8_t>& z, const char16_t* kdf, const void* parameters,
                               bool offer_concat, WipedBytes& out);

}  // namespace velmora::platform
