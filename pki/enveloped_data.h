// PKCS #7 enveloped data (RFC 2315 section 10, RFC 5652 section 6): content encrypted under a content-
// encryption key, and that key encrypted for each recipient's RSA key. EnvelopedData::Decode reads the
// content of an envelopedData ContentInfo (Pkcs7ContentInfo::Decode calls it) with its key-transport
// recipients, RSAES-OAEP parameters included; DecryptEnvelopedData recovers the content with the first
// recipient's encrypted key and a private RSA key.
//
// Every operation returns 0, 447 for a missing element or too few elements, 446 for a malformed element,
// 200 when memory runs out, or a code of the readers and crypto layers below. What a decoder read before a
// failure stays in its record and lists. One thread at a time per record.
#pragma once

#include <cstdint>

#include "asn1/algorithm_identifier.h"
#include "core/buffer.h"
#include "core/ptr_array.h"
#include "crypto/keys/key_params.h"
#include "pki/cert_composites.h"

namespace velmora::pki {

// kRsaesOaepOid is the RSAES-OAEP key-encryption algorithm (RFC 8017 A.2.1).
inline constexpr char kRsaesOaepOid[] = "1.2.840.113549.1.1.7";
// kDesEde3CbcOid is the one content-encryption algorithm DecryptEnvelopedData decrypts.
inline constexpr char kDesEde3CbcOid[] = "1.2.840.113549.3.7";

// RecipientInfo: a key-transport recipient. Version 0 names the recipient's certificate by issuer text
// and serial number (magnitude bytes, one leading zero byte removed), version 2 by subject key identifier.
// The three OAEP fields hold the RSAES-OAEP parameters of an RSAES-OAEP key-encryption algorithm; for any
// other algorithm, and for members the parameters leave out, they keep SHA-1, SHA-1 and an empty label.
struct RecipientInfo {
  RecipientInfo();

  int32_t version = 0;
  core::Buffer serialNumber;
  core::Buffer issuer;
  core::Buffer subjectKeyIdentifier;
  AlgorithmIdentifier keyEncryptionAlgorithm;
  core::Buffer encryptedKey;
  AlgorithmIdentifier oaepHashAlgorithm;
  AlgorithmIdentifier mgf1HashAlgorithm;
  core::Buffer oaepLabel;

  // Decode fills recipient from the DER of one KeyTransRecipientInfo: 447 below four elements, 446 for a
  // malformed version, recipient identifier, OAEP parameters or encrypted key.
  [[nodiscard]] static int Decode(const uint8_t* der, int32_t length, RecipientInfo& recipient);
  // Clone returns a new deep copy of source; null when memory runs out.
  static RecordPtr<RecipientInfo> Clone(const RecipientInfo& source);
};

// EnvelopedData: contentEncryptionParameters is the content of the algorithm's parameters element (the
// IV of a CBC cipher); encryptedContent the content octets of the [0] element (joined when it comes in
// segments), empty when the element is absent.
struct EnvelopedData {
  int32_t version = 0;
  core::PtrArray<RecipientInfo> recipientInfos;
  core::Buffer contentType;
  core::Buffer contentEncryptionAlgorithm;
  core::Buffer contentEncryptionParameters;
  core::Buffer encryptedContent;

  // Decode fills target from an envelopedData content (exactly three elements, else 447); the recipients
  // are appended to the list in their order.
  [[nodiscard]] static int Decode(const core::BufferCore& content, EnvelopedData& target);
};

// DecryptEnvelopedData unwraps the content-encryption key of the first recipient with the private key
// (RSAES-OAEP with the recipient's hash, MGF1 hash and label for an RSAES-OAEP recipient, else PKCS #1
// v1.5) and decrypts the content with DES-EDE3-CBC, the parameters as IV, into out. A content algorithm
// other than DES-EDE3-CBC gives 2001. The RSA and cipher codes pass through (2003 not whole blocks, 2004
// bad padding); out is written only on success.
[[nodiscard]] int DecryptEnvelopedData(const crypto::RsaKeyParams& key, const EnvelopedData& data,
                                       core::BufferCore& out);

// CopyRecord makes target a deep copy of source (pki/cert_composites.h).
[[nodiscard]] int CopyRecord(RecipientInfo& target, const RecipientInfo& source);

}  // namespace velmora::pki
