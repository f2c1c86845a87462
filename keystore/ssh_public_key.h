// SSH public keys (RFC 4253 6.6, RFC 5656 3.1, RFC 8709 4): the public key blob of each key type, the
// reader of a blob or a one-line "type base64 comment" text, the writers of the one-line text and of the
// "SSH2 PUBLIC KEY" file (RFC 4716), and the key fingerprint. The private key file formats build on the
// blob field readers and writers here. One thread at a time per key record.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/byte_stream.h"
#include "crypto/objects/key_record.h"

namespace velmora::keystore {

// kBadSshKey: a public key that cannot be read, or a key record without an SSH form.
inline constexpr int kBadSshKey = 280;
// kNoSshName: an EC or EdDSA key type without an SSH name.
inline constexpr int kNoSshName = 1424;
// kUnknownDigest: a fingerprint digest name other than "MD5", "SHA1" and "SHA256".
inline constexpr int kUnknownDigest = 2001;

// SshKeyTypeName returns the SSH name of key's type ("ssh-rsa", "ssh-dss", "ecdsa-sha2-nistp256/384/521",
// "ssh-ed25519", "ssh-ed448"), or null when it has none. Static text.
const char* SshKeyTypeName(const crypto::KeyRecord& key);

// ReadSshPublicKeyFields reads the public fields that follow the key type name in a blob or a private key
// record into key (type, numbers as the bytes stand, EC curve and point, EdDSA octets): 0; 280 for an
// unknown name or curve identifier, a point that does not decode, EdDSA octets of the wrong length, or a
// field that is cut. Fields read before a failure stay in key.
[[nodiscard]] int ReadSshPublicKeyFields(core::ByteStream& stream, const core::BufferCore& type_name,
                                         crypto::KeyRecord& key);

// ReadSshPublicKeyBlob reads a public key given as its blob or as a one-line text (its second field the
// base64 of the blob) into key: 0 or 280.
[[nodiscard]] int ReadSshPublicKeyBlob(const void* data, int32_t length, crypto::KeyRecord& key);

// AppendSshMpint appends the SSH mpint of the unsigned big-endian number: minimal, with one zero byte in
// front when the top bit is set (RFC 4251 5), whatever leading zeros the stored bytes carry. 0 or 200.
[[nodiscard]] int AppendSshMpint(core::ByteStream& stream, const core::BufferCore& number);

// AppendSshPublicKeyBlob appends the public key blob of key (its public part, computed when missing) to
// stream: 0; 280 for a record type without an SSH form; 1424 for an EC or EdDSA key type without an SSH
// name; the key layer's code.
[[nodiscard]] int AppendSshPublicKeyBlob(crypto::KeyRecord& key, core::ByteStream& stream);

// WriteSsh2PublicKey sets out to the public key as an "SSH2 PUBLIC KEY" file (armoured: four dashes,
// lines of line_length characters, a "Comment" header when comment is not empty) or as the one-line text
// "type base64 comment" (a blank ends it when the comment is empty). 0, 280, 1424 or the code of the
// operation that failed (out then empty).
[[nodiscard]] int WriteSsh2PublicKey(crypto::KeyRecord& key, bool armoured, uint32_t line_length, const char* comment,
                                     core::BufferCore& out);

// SshKeyFingerprint sets out to the digest of key's public key blob, lower-case hex pairs joined by
// colons, for digest_name "MD5", "SHA1" or "SHA256". 0 (out empty for a record without a key); 280 for a
// key type without an SSH name; 2001 for another digest name; the digest's code.
[[nodiscard]] int SshKeyFingerprint(crypto::KeyRecord& key, core::BufferCore& out, const char* digest_name);

}  // namespace velmora::keystore
