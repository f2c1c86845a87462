#include "pki/key_der.h"

#include <cstring>

#include "asn1/der_codes.h"
#include "asn1/der_header.h"
#include "asn1/der_writer.h"
#include "crypto/keys/curve_params.h"
#include "crypto/objects/ec_key_ops.h"
#include "pki/pem_armour.h"
#include "pki/pkcs_der.h"
#include "pki/subject_public_key_info.h"

namespace velmora::pki {

using internal::DerSpan;

namespace {

constexpr const char* kOidRsa = "1.2.840.113549.1.1.1";
constexpr const char* kOidDsa = "1.2.840.10040.4.1";
constexpr const char* kOidEcPublicKey = "1.2.840.10045.2.1";
constexpr int32_t kMaxItems = 12;

bool Present(const core::BufferCore& value) { return value.Length() > 0; }

int AppendIfPresent(DerWriter& der, const core::BufferCore& value) {
  return Present(value) ? der.AppendUnsignedInteger(value.Bytes(), value.Length()) : 0;
}

// Finish closes the outer SEQUENCE around what der holds and hands it out as DER or PEM.
int Finish(DerWriter& der, bool pem, const char* label, core::BufferCore& out) {
  int rc = DerWrapInTag(der, 0x30);
  if (rc != 0) return rc;
  return pem ? PemEncode(der.Bytes(), der.Length(), label, out) : out.Assign(der);
}

int RsaBody(const crypto::RsaKeyParams& p, bool is_private, DerWriter& der) {
  int rc = is_private ? der.AppendSmallInteger(0, 0x02) : 0;
  const core::BufferCore* fields[] = {&p.Modulus, &p.Exponent, &p.D, &p.P, &p.Q, &p.DP, &p.DQ, &p.InverseQ};
  const int count = is_private ? 8 : 2;
  for (int i = 0; rc == 0 && i < count; ++i) rc = AppendIfPresent(der, *fields[i]);
  return rc;
}

bool RsaIsPrivate(const crypto::RsaKeyParams& p) { return Present(p.D) || (Present(p.P) && Present(p.Q)); }

int DsaComputeY(crypto::DsaKeyParams& p) {
  if (!Present(p.X) || Present(p.Y)) return 0;
  return p.ComputePublicKey();
}

// AlgorithmWithOid appends SEQUENCE { OID, parameters } where parameters is the encoding given (may be
// empty).
int AppendAlgorithm(DerWriter& der, const char* oid, const void* parameters, int32_t length) {
  int rc = der.BeginElement(0x30);
  if (rc == 0) rc = der.AppendOid(oid, 0x06);
  if (rc == 0 && length > 0) rc = der.Append(parameters, length);
  return rc == 0 ? der.EndElement(0) : rc;
}

int AppendDsaAlgorithm(DerWriter& der, const crypto::DsaKeyParams& p) {
  DerWriter params;
  int rc = AppendIfPresent(params, p.P);
  if (rc == 0) rc = AppendIfPresent(params, p.Q);
  if (rc == 0) rc = AppendIfPresent(params, p.G);
  if (rc == 0) rc = DerWrapInTag(params, 0x30);
  return rc == 0 ? AppendAlgorithm(der, kOidDsa, params.Bytes(), params.Length()) : rc;
}

// AppendPoint appends 04 || X || Y, each padded to the curve's byte length, as the content of a BIT
// STRING of tag.
int AppendPoint(DerWriter& der, const crypto::EcKeyParams& p, uint8_t tag) {
  const int32_t size = crypto::EcKeyTypeByteLength(p.KeyType);
  if (size < p.X.Length() || size < p.Y.Length()) return kDerEncodeFailed;
  core::Buffer point;
  int rc = point.AppendByte(4);
  if (rc == 0) rc = point.AppendRepeatedByte(size - p.X.Length(), 0);
  if (rc == 0) rc = point.Append(p.X);
  if (rc == 0) rc = point.AppendRepeatedByte(size - p.Y.Length(), 0);
  if (rc == 0) rc = point.Append(p.Y);
  return rc == 0 ? der.AppendBitString(point.Bytes(), point.Length(), tag) : rc;
}

// Copy sets out to the content of span.
int Take(const DerSpan& span, core::BufferCore& out) { return out.SetData(span.Length(), span.Content()); }

// TakeUnsigned is Take without one leading zero byte.
int TakeUnsigned(const DerSpan& span, core::BufferCore& out) {
  if (span.tag != 0x02) return kDerBadInner;
  const bool zero = span.Length() > 1 && span.Content()[0] == 0;
  return out.SetData(span.Length() - (zero ? 1 : 0), span.Content() + (zero ? 1 : 0));
}

bool TopItems(const uint8_t* bytes, int32_t length, DerSpan* items, int32_t* count) {
  DerSpan top;
  return internal::ReadTop(bytes, length, &top) && top.tag == 0x30 && internal::Children(top, items, kMaxItems, count);
}

// ReadSec1 reads an ECPrivateKey SEQUENCE; the [0] parameters set the key type when with_parameters.
int ReadSec1(const DerSpan& sequence, crypto::EcKeyParams& params, bool with_parameters) {
  DerSpan items[4];
  int32_t count = 0;
  if (sequence.tag != 0x30 || !internal::Children(sequence, items, 4, &count) || count < 2) return kDerBadInner;
  if (items[1].tag != 0x04) return kDerBadInner;
  int rc = Take(items[1], params.D);
  for (int32_t i = 2; rc == 0 && i < count; ++i) {
    if (items[i].tag == 0xA0 && with_parameters) {
      rc = DecodeEcParameters(items[i].Content(), items[i].Length(), params);
    } else if (items[i].tag == 0xA1) {
      DerSpan bits;
      if (!internal::ReadElement(items[i].bytes, items[i].content, items[i].content_end, &bits) ||
          bits.tag != 0x03 || bits.Length() < 2 || bits.Content()[0] != 0) {
        return kDerBadInner;
      }
      core::Buffer point;
      rc = point.SetData(bits.Length() - 1, bits.Content() + 1);
      if (rc == 0) rc = params.SetPublicPoint(point);
    }
  }
  return rc;
}

// TakeOctetString sets out to the content of the OCTET STRING encoded inside an OCTET STRING.
int TakeInner(const DerSpan& outer, uint8_t tag, DerSpan* inner) {
  if (outer.tag != 0x04 || !internal::ReadElement(outer.bytes, outer.content, outer.content_end, inner) ||
      inner->end != outer.content_end || inner->tag != tag) {
    return kDerBadInner;
  }
  return 0;
}

int ReadOkp(const DerSpan* items, int32_t count, const char* oid, crypto::KeyRecord& key) {
  crypto::EcKeyParams& params = key.EdParams;
  params.KeyType = crypto::EcKeyTypeFromOid(oid);
  DerSpan inner;
  int rc = TakeInner(items[2], 0x04, &inner);
  if (rc == 0) rc = Take(inner, params.PrivateKey);
  for (int32_t i = 3; rc == 0 && i < count; ++i) {
    if (items[i].tag == 0xA0) {
      rc = internal::ReadBagAttributes(items[i], key.AttributeNames, key.AttributeValues);
    } else if (items[i].tag == 0x81) {
      // Our earlier writer put the raw key here; RFC 5958 puts a BIT STRING (unused-bits byte first).
      const int32_t size = crypto::EcKeyTypeByteLength(params.KeyType);
      const bool bit_string = items[i].Length() == size + 1 && items[i].Content()[0] == 0;
      rc = params.PublicKey.SetData(items[i].Length() - (bit_string ? 1 : 0), items[i].Content() + (bit_string ? 1 : 0));
    }
  }
  // Keys of another length than the type's are refused before anything is computed from them.
  const int32_t size = crypto::EcKeyTypeByteLength(params.KeyType);
  if (rc == 0 && (params.PrivateKey.Length() != size || (Present(params.PublicKey) && params.PublicKey.Length() != size))) {
    rc = kDerBadInner;
  }
  if (rc == 0 && !Present(params.PublicKey)) rc = crypto::EnsureEcPublicKey(params);
  if (rc == 0) key.Type = crypto::kKeyEdwards;
  return rc;
}

}  // namespace

int EncodeRsaKeyDer(const crypto::RsaKeyParams& params, bool pem, core::BufferCore& out) {
  const bool is_private = RsaIsPrivate(params);
  DerWriter der;
  const int rc = RsaBody(params, is_private, der);
  return rc == 0 ? Finish(der, pem, is_private ? "RSA PRIVATE KEY" : "RSA PUBLIC KEY", out) : rc;
}

int EncodeDsaKeyDer(crypto::DsaKeyParams& params, bool pem, core::BufferCore& out) {
  const bool is_private = Present(params.X);
  int rc = DsaComputeY(params);
  DerWriter der;
  if (rc == 0 && is_private) rc = der.AppendSmallInteger(0, 0x02);
  const core::BufferCore* fields[] = {&params.P, &params.Q, &params.G, &params.Y, &params.X};
  for (int i = 0; rc == 0 && i < (is_private ? 5 : 4); ++i) rc = AppendIfPresent(der, *fields[i]);
  return rc == 0 ? Finish(der, pem, is_private ? "DSA PRIVATE KEY" : "DSA PUBLIC KEY", out) : rc;
}

int EncodeRsaKeyInfo(const crypto::RsaKeyParams& params, bool pem, core::BufferCore& out) {
  const bool is_private = RsaIsPrivate(params);
  DerWriter body, der;
  int rc = RsaBody(params, is_private, body);
  if (rc == 0) rc = DerWrapInTag(body, 0x30);
  if (rc == 0 && is_private) rc = der.AppendSmallInteger(0, 0x02);
  static constexpr uint8_t kNull[] = {0x05, 0x00};
  if (rc == 0) rc = AppendAlgorithm(der, kOidRsa, kNull, 2);
  if (rc == 0) {
    rc = is_private ? der.AppendTlv(body.Bytes(), body.Length(), 0x04) : der.AppendBitString(body.Bytes(), body.Length(), 0x03);
  }
  return rc == 0 ? Finish(der, pem, is_private ? "PRIVATE KEY" : "PUBLIC KEY", out) : rc;
}

int EncodeDsaKeyInfo(crypto::DsaKeyParams& params, bool pem, core::BufferCore& out) {
  const bool is_private = Present(params.X);
  int rc = is_private ? 0 : DsaComputeY(params);
  DerWriter value, der;
  if (rc == 0) rc = value.AppendUnsignedInteger(is_private ? params.X.Bytes() : params.Y.Bytes(),
                                                is_private ? params.X.Length() : params.Y.Length());
  if (rc == 0 && is_private) rc = der.AppendSmallInteger(0, 0x02);
  if (rc == 0) rc = AppendDsaAlgorithm(der, params);
  if (rc == 0) {
    rc = is_private ? der.AppendTlv(value.Bytes(), value.Length(), 0x04)
                    : der.AppendBitString(value.Bytes(), value.Length(), 0x03);
  }
  return rc == 0 ? Finish(der, pem, is_private ? "PRIVATE KEY" : "PUBLIC KEY", out) : rc;
}

int EncodeEcKeyInfo(const crypto::EcKeyParams& params, bool pem, core::BufferCore& out, bool public_only) {
  const char* curve = crypto::EcKeyTypeToOid(params.KeyType);
  if (curve == nullptr || *curve == '\0' || params.UsesRawKeys()) return -1;
  const bool is_private = Present(params.D) && !public_only;
  DerWriter curve_oid, der;
  int rc = curve_oid.AppendOid(curve, 0x06);
  if (rc == 0 && is_private) rc = der.AppendSmallInteger(0, 0x02);
  if (rc == 0) rc = AppendAlgorithm(der, kOidEcPublicKey, curve_oid.Bytes(), curve_oid.Length());
  if (rc != 0) return rc;
  if (is_private) {
    DerWriter sec1;
    rc = sec1.AppendSmallInteger(1, 0x02);
    if (rc == 0) rc = sec1.AppendTlv(params.D.Bytes(), params.D.Length(), 0x04);
    if (rc == 0 && Present(params.X) && Present(params.Y)) {
      rc = sec1.BeginElement(0xA1);
      if (rc == 0) rc = AppendPoint(sec1, params, 0x03);
      if (rc == 0) rc = sec1.EndElement(0);
    }
    if (rc == 0) rc = DerWrapInTag(sec1, 0x30);
    if (rc == 0) rc = der.AppendTlv(sec1.Bytes(), sec1.Length(), 0x04);
  } else {
    rc = AppendPoint(der, params, 0x03);
  }
  return rc == 0 ? Finish(der, pem, is_private ? "PRIVATE KEY" : "PUBLIC KEY", out) : rc;
}

int EncodeOkpKeyInfo(const crypto::EcKeyParams& params, bool pem, core::BufferCore& out, bool public_only) {
  if (!params.UsesRawKeys()) return -1;
  const bool is_private = Present(params.PrivateKey) && !public_only;
  DerWriter der;
  int rc = is_private ? der.AppendSmallInteger(0, 0x02) : 0;
  if (rc == 0) rc = AppendAlgorithm(der, crypto::EcKeyTypeToOid(params.KeyType), nullptr, 0);
  if (rc == 0 && is_private) {
    DerWriter inner;
    rc = inner.AppendTlv(params.PrivateKey.Bytes(), params.PrivateKey.Length(), 0x04);
    if (rc == 0) rc = der.AppendTlv(inner.Bytes(), inner.Length(), 0x04);
  } else if (rc == 0) {
    rc = der.AppendBitString(params.PublicKey.Bytes(), params.PublicKey.Length(), 0x03);
  }
  return rc == 0 ? Finish(der, pem, is_private ? "PRIVATE KEY" : "PUBLIC KEY", out) : rc;
}

int ReadRsaPrivateKeyDer(const uint8_t* bytes, int32_t length, crypto::RsaKeyParams& params) {
  DerSpan items[kMaxItems];
  int32_t count = 0;
  if (!TopItems(bytes, length, items, &count)) return kDerBadInner;
  if (count < 9) return kDerBadOuter;
  core::BufferCore* fields[] = {&params.Modulus, &params.Exponent, &params.D,  &params.P,
                                &params.Q,       &params.DP,       &params.DQ, &params.InverseQ};
  int rc = 0;
  for (int i = 0; rc == 0 && i < 8; ++i) {
    rc = i == 1 ? (items[2].tag == 0x02 ? Take(items[2], params.Exponent) : kDerBadInner)
                : TakeUnsigned(items[i + 1], *fields[i]);
  }
  return rc;
}

int ReadDsaPrivateKeyDer(const uint8_t* bytes, int32_t length, crypto::DsaKeyParams& params) {
  DerSpan items[kMaxItems];
  int32_t count = 0;
  if (!TopItems(bytes, length, items, &count)) return kDerBadInner;
  if (count < 3) return kDerBadOuter;
  int rc = 0;
  int32_t next = 0;
  if (items[1].tag == 0x30) {
    DerSpan algorithm[2], pqg[3];
    int32_t n = 0;
    if (!internal::Children(items[1], algorithm, 2, &n) || n != 2 || algorithm[1].tag != 0x30 ||
        !internal::Children(algorithm[1], pqg, 3, &n) || n != 3) {
      return kDerBadInner;
    }
    for (const DerSpan& value : pqg) {
      if (value.tag != 0x02) return kDerBadInner;
    }
    rc = Take(pqg[0], params.P);
    if (rc == 0) rc = Take(pqg[1], params.Q);
    if (rc == 0) rc = Take(pqg[2], params.G);
    next = 2;
  } else {
    if (count < 5) return kDerBadOuter;
    for (int32_t i = 1; i <= 3; ++i) {
      if (items[i].tag != 0x02) return kDerBadInner;
    }
    rc = Take(items[1], params.P);
    if (rc == 0) rc = Take(items[2], params.Q);
    if (rc == 0) rc = Take(items[3], params.G);
    next = 4;
  }
  if (rc != 0) return rc;
  if (items[next].tag == 0x04) {
    DerSpan x;
    if ((rc = TakeInner(items[next], 0x02, &x)) != 0) return rc;
    rc = Take(x, params.X);
    if (rc == 0) rc = params.Y.SetData(0, nullptr);
    return rc == 0 ? params.ComputePublicKey() : rc;
  }
  if (next + 1 >= count) return kDerBadOuter;
  if (items[next].tag != 0x02 || items[next + 1].tag != 0x02) return kDerBadInner;
  rc = Take(items[next], params.Y);
  return rc == 0 ? Take(items[next + 1], params.X) : rc;
}

int ReadEcPrivateKeyDer(const uint8_t* bytes, int32_t length, crypto::EcKeyParams& params) {
  DerSpan items[kMaxItems];
  int32_t count = 0;
  if (!TopItems(bytes, length, items, &count)) return kDerBadInner;
  if (count < 2) return kDerBadOuter;
  if (items[1].tag != 0x30) {
    DerSpan top;
    (void)internal::ReadTop(bytes, length, &top);
    return ReadSec1(top, params, true);
  }
  DerSpan algorithm[2], sec1;
  int32_t n = 0;
  if (count < 3 || !internal::Children(items[1], algorithm, 2, &n) || n != 2) return kDerBadInner;
  int rc = DecodeEcParameters(algorithm[1].Encoding(), algorithm[1].EncodingLength(), params);
  if (rc == 0) rc = TakeInner(items[2], 0x30, &sec1);
  return rc == 0 ? ReadSec1(sec1, params, false) : rc;
}

int ReadPkcs8PrivateKeyInfo(const uint8_t* bytes, int32_t length, Pkcs8KeyInfo& out) {
  DerSpan items[kMaxItems];
  int32_t count = 0;
  if (bytes == nullptr || !TopItems(bytes, length, items, &count)) return kDerBadOuter;
  if (count < 3) return kDerBadOuter;
  int64_t version = 0;
  DerSpan algorithm[2];
  int32_t n = 0;
  if (!internal::SmallInteger(items[0], &version) || items[1].tag != 0x30 ||
      !internal::Children(items[1], algorithm, 2, &n) || n < 1) {
    return kDerBadInner;
  }
  out.version = static_cast<int32_t>(version);
  int rc = internal::OidText(algorithm[0], out.algorithm);
  if (rc != 0) return rc;
  crypto::KeyRecord& key = out.key;
  const char* oid = out.algorithm.Data();
  if (std::strcmp(oid, kOidRsa) == 0) {
    DerSpan rsa[kMaxItems];
    if (items[2].tag != 0x04 || !TopItems(items[2].Content(), items[2].Length(), rsa, &n)) return kDerBadInner;
    if (n < 9) return kDerBadOuter;
    core::BufferCore* fields[] = {&key.RsaParams.Modulus, &key.RsaParams.Exponent, &key.RsaParams.D,
                                  &key.RsaParams.P,       &key.RsaParams.Q,        &key.RsaParams.DP,
                                  &key.RsaParams.DQ,      &key.RsaParams.InverseQ};
    for (int i = 0; rc == 0 && i < 8; ++i) rc = rsa[i + 1].tag == 0x02 ? Take(rsa[i + 1], *fields[i]) : kDerBadInner;
    if (rc == 0) rc = key.RsaParams.RecomputeCrt();
    if (rc == 0 && count > 3) rc = internal::ReadBagAttributes(items[3], key.AttributeNames, key.AttributeValues);
    if (rc == 0) key.Type = crypto::kKeyRsa;
    return rc;
  }
  if (std::strcmp(oid, kOidDsa) == 0) {
    DerSpan pqg[3], x;
    if (n != 2 || algorithm[1].tag != 0x30 || !internal::Children(algorithm[1], pqg, 3, &n) || n != 3) {
      return kDerBadInner;
    }
    crypto::DsaKeyParams& p = key.DsaParams;
    for (const DerSpan& value : pqg) {
      if (value.tag != 0x02) return kDerBadInner;
    }
    rc = TakeInner(items[2], 0x02, &x);
    if (rc == 0) rc = Take(pqg[0], p.P);
    if (rc == 0) rc = Take(pqg[1], p.Q);
    if (rc == 0) rc = Take(pqg[2], p.G);
    if (rc == 0) rc = Take(x, p.X);
    if (rc == 0) rc = p.ComputePublicKey();
    if (rc == 0) key.Type = crypto::kKeyDsa;
    return rc;
  }
  if (std::strcmp(oid, kOidEcPublicKey) == 0) {
    DerSpan sec1;
    if (n != 2) return kDerBadInner;
    rc = DecodeEcParameters(algorithm[1].Encoding(), algorithm[1].EncodingLength(), key.EcParams);
    if (rc == 0) rc = TakeInner(items[2], 0x30, &sec1);
    if (rc == 0) rc = ReadSec1(sec1, key.EcParams, false);
    if (rc == 0 && !key.EcParams.HasPublicKey()) rc = crypto::EnsureEcPublicKey(key.EcParams);
    if (rc == 0) key.Type = crypto::kKeyEc;
    return rc;
  }
  if (crypto::EcKeyTypeFromOid(oid) >= 3 && crypto::EcKeyTypeFromOid(oid) <= 6) {
    return ReadOkp(items, count, oid, key);
  }
  return kDerBadInner;
}

}  // namespace velmora::pki
