// Key records as the platform's CNG private key blobs and back: the blob a key storage provider imports
// ("RSAPRIVATEBLOB", "ECCPRIVATEBLOB") and the record of a blob a provider exported. Any thread.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/objects/key_record.h"

namespace velmora::crypto {

// KeyRecordToCngPrivateBlob writes the private blob of an RSA key (BCRYPT_RSAKEY_BLOB "RSA2": bit length
// the padded modulus length times 8, the lengths of Exponent, Modulus, P and Q, then those numbers, padded
// first) or of a P-256, P-384 or P-521 signing key ("ECS2", "ECS4", "ECS6") into out. 0; 290 for a key
// without its private part; 1424 for any other key type; a Buffer code.
[[nodiscard]] int KeyRecordToCngPrivateBlob(KeyRecord& key, core::BufferCore& out);
// CngBlobToKeyRecord fills key from a blob that starts with "RSA" (Exponent, Modulus and, when their
// lengths are above 0, P and Q, padded and completed through the platform) or with "EC" (the EC key of
// the blob); any other blob leaves key alone. 0; 280 for an RSA blob shorter than its header says; the
// EC blob's or the completion's code.
[[nodiscard]] int CngBlobToKeyRecord(KeyRecord& key, const uint8_t* blob, int32_t length);

}  // namespace velmora::crypto
