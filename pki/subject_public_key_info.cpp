#include "pki/subject_public_key_info.h"

#include <cstring>

#include "asn1/asn1_element.h"
#include "asn1/der_read.h"
#include "crypto/keys/curve_params.h"

namespace velmora::pki {
namespace {

constexpr char kRsaEncryptionOid[] = "1.2.840.113549.1.1.1";
constexpr char kDsaOid[] = "1.2.840.10040.4.1";
constexpr char kEcPublicKeyOid[] = "1.2.840.10045.2.1";

int ParseOneLevel(const core::BufferCore& der, Asn1Element& node) {
  int rc = node.Assign(der);
  if (rc == core::kOk) rc = node.Parse(0, nullptr);
  return rc;
}

// ReadKeyBits reads the subjectPublicKey BIT STRING; an empty one is a malformed value like any other.
int ReadKeyBits(const Asn1Element& element, core::BufferCore& out) {
  const int rc = DerReadBitString(element, 0, out, nullptr, nullptr);
  return rc == core::kOutOfRange ? static_cast<int>(kDerBadInner) : rc;
}

// Child returns child index of a parsed node, or null.
const Asn1Element* Child(const Asn1Element& node, int32_t index) {
  const Asn1Element* child = node.firstChild();
  for (; child != nullptr && index > 0; --index) child = child->nextSibling();
  return child;
}

// The named curves whose explicit parameters stand for them, by curve table id (SEC 2 and FIPS 186).
struct ExplicitCurve {
  uint32_t curve_id;
  int32_t key_type;
};
constexpr ExplicitCurve kExplicitCurves[] = {{0, 0}, {1, 1}, {2, 2}, {7, 7}, {10, 8}, {12, 9}, {14, 10}};

// DecodeSpecifiedDomain reads SpecifiedECDomain (SEC 1 C.2) and finds the named curve it equals.
int DecodeSpecifiedDomain(const core::BufferCore& der, int32_t* key_type) {
  Asn1Element domain;
  int rc = ParseOneLevel(der, domain);
  if (rc != core::kOk) return rc;
  const Asn1Element* field_id = Child(domain, 1);
  const Asn1Element* curve_element = Child(domain, 2);
  const Asn1Element* base_element = Child(domain, 3);
  const Asn1Element* order_element = Child(domain, 4);
  if (order_element == nullptr) return kDerBadInner;
  core::Buffer field_type;
  core::Buffer p, a, b, seed, base, order;
  Asn1Element field;
  if ((rc = ParseOneLevel(*field_id, field)) != core::kOk) return rc;
  if (field.childCount() < 2) return kDerBadInner;
  if ((rc = DerReadOid(*Child(field, 0), 0, field_type, nullptr)) != core::kOk) return rc;
  if ((rc = DerReadUnsignedInteger(*Child(field, 1), 0, p)) != core::kOk) return rc;
  Asn1Element curve;
  if ((rc = ParseOneLevel(*curve_element, curve)) != core::kOk) return rc;
  if (curve.childCount() < 2) return kDerBadInner;
  if ((rc = DerReadOctets(*Child(curve, 0), 0, a, nullptr)) != core::kOk) return rc;
  if ((rc = DerReadOctets(*Child(curve, 1), 0, b, nullptr)) != core::kOk) return rc;
  if (curve.childCount() > 2 && (rc = ReadKeyBits(*Child(curve, 2), seed)) != core::kOk) {
    return rc;
  }
  if ((rc = DerReadOctets(*base_element, 0, base, nullptr)) != core::kOk) return rc;
  if ((rc = DerReadUnsignedInteger(*order_element, 0, order)) != core::kOk) return rc;
  uint32_t cofactor = 1;
  if (const Asn1Element* element = Child(domain, 5); element != nullptr) {
    if ((rc = DerReadSmallInteger(*element, 0, &cofactor, nullptr)) != core::kOk) return rc;
  }
  if (const Asn1Element* element = Child(domain, 6); element != nullptr) {
    AlgorithmIdentifier hash;
    if ((rc = hash.Decode(*element)) != core::kOk) return rc;
  }
  // Only an uncompressed base point (SEC 1 2.3.3) can be split into Gx and Gy.
  if (base.Length() < 2 || base.Bytes()[0] != 0x04) return kDerBadInner;
  const int32_t half = (base.Length() - 1) / 2;
  core::Buffer gx, gy;
  if ((rc = gx.SetData(half, base.Bytes() + 1)) != core::kOk) return rc;
  if ((rc = gy.SetData(half, base.Bytes() + 1 + half)) != core::kOk) return rc;
  crypto::CurveParams params;
  if ((rc = params.SetExplicit(p, a, b, gx, gy, seed, order, cofactor)) != core::kOk) return rc;
  const uint32_t curve_id = params.GetCurveId();
  for (const ExplicitCurve& known : kExplicitCurves) {
    if (known.curve_id == curve_id) {
      *key_type = known.key_type;
      return core::kOk;
    }
  }
  return kDerBadInner;
}

int DecodeRsaKey(const core::BufferCore& bits, crypto::KeyRecord& key) {
  Asn1Element rsa;
  int rc = ParseOneLevel(bits, rsa);
  if (rc != core::kOk) return rc;
  if (rsa.childCount() > 1) {
    if ((rc = DerReadOctets(*Child(rsa, 0), 0, key.RsaParams.Modulus, nullptr)) != core::kOk) return rc;
    if ((rc = DerReadOctets(*Child(rsa, 1), 0, key.RsaParams.Exponent, nullptr)) != core::kOk) return rc;
  }
  key.Type = crypto::kKeyRsa;
  return core::kOk;
}

int DecodeDsaKey(const Asn1Element* parameters, const core::BufferCore& bits, crypto::KeyRecord& key) {
  if (parameters == nullptr) return kDerBadOuter;
  Asn1Element dss;
  int rc = ParseOneLevel(*parameters, dss);
  if (rc != core::kOk) return rc;
  if (dss.childCount() < 3) return kDerBadOuter;
  crypto::DsaKeyParams& dsa = key.DsaParams;
  if ((rc = DerReadOctets(*Child(dss, 0), 0, dsa.P, nullptr)) != core::kOk) return rc;
  if ((rc = DerReadOctets(*Child(dss, 1), 0, dsa.Q, nullptr)) != core::kOk) return rc;
  if ((rc = DerReadOctets(*Child(dss, 2), 0, dsa.G, nullptr)) != core::kOk) return rc;
  if ((rc = DerReadUnsignedInteger(bits, 0, dsa.Y)) != core::kOk) return rc;
  key.Type = crypto::kKeyDsa;
  return core::kOk;
}

// DecodeEcKey reads the curve and point into a fresh record, so that a refused key leaves the target's.
int DecodeEcKey(const Asn1Element* parameters, const core::BufferCore& bits, crypto::KeyRecord& key) {
  crypto::EcKeyParams ec;
  int rc = parameters == nullptr ? static_cast<int>(kDerBadInner)
                                 : DecodeEcParameters(parameters->Bytes(), parameters->Length(), ec);
  if (rc == core::kOk) rc = ec.SetPublicPoint(bits);
  if (rc == core::kOk) rc = key.EcParams.X.Assign(ec.X);
  if (rc == core::kOk) rc = key.EcParams.Y.Assign(ec.Y);
  if (rc != core::kOk) return rc;
  key.EcParams.KeyType = ec.KeyType;
  key.EcParams.Curve = ec.Curve;
  key.Type = crypto::kKeyEc;
  return core::kOk;
}

int DecodeEdwardsKey(const core::BufferCore& oid, const core::BufferCore& bits, crypto::KeyRecord& key) {
  const int32_t type = crypto::EcKeyTypeFromOid(oid.Data());
  if (type < 0) return -1;
  int rc = key.EdParams.PublicKey.Assign(bits);
  if (rc != core::kOk) return rc;
  key.EdParams.KeyType = type;
  key.Type = crypto::kKeyEdwards;
  return core::kOk;
}

// AppendAlgorithm writes SEQUENCE { OID, parameters } with parameters already encoded (or none).
int AppendAlgorithm(DerWriter& out, const char* oid, const core::BufferCore* parameters) {
  int rc = out.BeginElement(0x30);
  if (rc == core::kOk) rc = out.AppendOid(oid, 0x06);
  if (rc == core::kOk && parameters != nullptr) rc = out.Append(*parameters);
  if (rc == core::kOk) rc = out.EndElement(0);
  return rc;
}

int EncodeRsa(crypto::KeyRecord& key, DerWriter& out) {
  crypto::RsaKeyParams rsa;
  int rc = key.GetRsaParams(rsa, true);
  DerWriter bits;
  if (rc == core::kOk) rc = bits.BeginElement(0x30);
  if (rc == core::kOk) rc = bits.AppendUnsignedInteger(rsa.Modulus.Data(), rsa.Modulus.Length());
  if (rc == core::kOk) rc = bits.AppendUnsignedInteger(rsa.Exponent.Data(), rsa.Exponent.Length());
  if (rc == core::kOk) rc = bits.EndElement(0);
  DerWriter null_parameters;
  null_parameters.AppendEmpty(0x05);
  if (rc == core::kOk) rc = AppendAlgorithm(out, kRsaEncryptionOid, &null_parameters);
  if (rc == core::kOk) rc = out.AppendBitString(bits.Data(), bits.Length(), 0x03);
  return rc;
}

int EncodeDsa(crypto::KeyRecord& key, DerWriter& out) {
  crypto::DsaKeyParams dsa;
  int rc = key.GetDsaParams(dsa, true);
  DerWriter parameters;
  DerWriter bits;
  if (rc == core::kOk) rc = parameters.BeginElement(0x30);
  if (rc == core::kOk) rc = parameters.AppendUnsignedInteger(dsa.P.Data(), dsa.P.Length());
  if (rc == core::kOk) rc = parameters.AppendUnsignedInteger(dsa.Q.Data(), dsa.Q.Length());
  if (rc == core::kOk) rc = parameters.AppendUnsignedInteger(dsa.G.Data(), dsa.G.Length());
  if (rc == core::kOk) rc = parameters.EndElement(0);
  if (rc == core::kOk) rc = bits.AppendUnsignedInteger(dsa.Y.Data(), dsa.Y.Length());
  if (rc == core::kOk) rc = AppendAlgorithm(out, kDsaOid, &parameters);
  if (rc == core::kOk) rc = out.AppendBitString(bits.Data(), bits.Length(), 0x03);
  return rc;
}

int EncodeEc(crypto::KeyRecord& key, DerWriter& out) {
  crypto::EcKeyParams ec;
  int rc = key.GetEcParams(ec, true);
  if (rc != core::kOk) return rc;
  const char* curve_oid = crypto::EcKeyTypeToOid(ec.KeyType);
  const int32_t size = crypto::EcKeyTypeByteLength(ec.KeyType);
  if (*curve_oid == '\0' || size < 0) return -1;
  // SEC 1 2.3.3: 04, then X and Y each as a field element of exactly the curve's byte length.
  core::Buffer point;
  if ((rc = point.AppendByte(0x04)) != core::kOk) return rc;
  for (core::BufferCore* coordinate : {&ec.X, &ec.Y}) {
    if ((rc = core::PadLeftWithZeros(*coordinate, size)) != core::kOk) return rc;
    if ((rc = point.Append(*coordinate)) != core::kOk) return rc;
  }
  DerWriter curve;
  if ((rc = curve.AppendOid(curve_oid, 0x06)) != core::kOk) return rc;
  if ((rc = AppendAlgorithm(out, kEcPublicKeyOid, &curve)) != core::kOk) return rc;
  return out.AppendBitString(point.Data(), point.Length(), 0x03);
}

int EncodeEdwards(crypto::KeyRecord& key, DerWriter& out) {
  // Only the signature keys are written; X25519 and X448 keys are not (RFC 8410 4 allows them, but no
  // caller here writes an agreement key into a certificate).
  if (key.EdParams.KeyType != 3 && key.EdParams.KeyType != 4) return -1;
  crypto::EcKeyParams ed;
  int rc = key.GetEcParams(ed, true);
  if (rc == core::kOk) rc = AppendAlgorithm(out, crypto::EcKeyTypeToOid(ed.KeyType), nullptr);
  if (rc == core::kOk) rc = out.AppendBitString(ed.PublicKey.Data(), ed.PublicKey.Length(), 0x03);
  return rc;
}

}  // namespace

int DecodePublicKeyFromSpki(const core::BufferCore& der, SubjectPublicKey& target) {
  Asn1Element spki;
  int rc = ParseOneLevel(der, spki);
  if (rc != core::kOk) return rc;
  if (spki.childCount() != 2) return kDerBadOuter;
  Asn1Element algorithm;
  if ((rc = ParseOneLevel(*spki.firstChild(), algorithm)) != core::kOk) return rc;
  if (algorithm.firstChild() == nullptr) return kDerBadOuter;
  if ((rc = DerReadOid(*algorithm.firstChild(), 0, target.algorithm.oid, nullptr)) != core::kOk) return rc;
  const char* family = crypto::KeyAlgorithmFromOid(target.algorithm.oid.Data());
  if (std::strcmp(family, "Unknown") == 0) return core::kOk;
  core::Buffer bits;
  if ((rc = ReadKeyBits(*spki.firstChild()->nextSibling(), bits)) != core::kOk) return rc;
  const Asn1Element* parameters = algorithm.firstChild()->nextSibling();
  crypto::KeyRecord& key = target.key;
  if (std::strcmp(family, "RSA") == 0) return DecodeRsaKey(bits, key);
  if (std::strcmp(family, "DSA") == 0) return DecodeDsaKey(parameters, bits, key);
  if (std::strcmp(family, "IdEcPublicKey") == 0) return DecodeEcKey(parameters, bits, key);
  return DecodeEdwardsKey(target.algorithm.oid, bits, key);
}

int DecodeEcParameters(const uint8_t* bytes, int32_t length, crypto::EcKeyParams& params) {
  if (bytes == nullptr || length < 1) return kDerBadInner;
  core::Buffer der;
  int rc = der.SetData(length, bytes);
  if (rc != core::kOk) return rc;
  int32_t type = -1;
  if (bytes[0] == 0x06) {
    core::Buffer oid;
    if ((rc = DerReadOid(der, 0, oid, nullptr)) != core::kOk) return rc;
    type = crypto::EcKeyTypeFromOid(oid.Data());
    // The Edwards and Montgomery curves have OIDs of their own but are no ECParameters (RFC 8410 3).
    if (type < 0 || (type >= 3 && type <= 6)) return -1;
  } else if (bytes[0] == 0x30) {
    if ((rc = DecodeSpecifiedDomain(der, &type)) != core::kOk) return rc;
  } else {
    // implicitlyCA (NULL) and anything else name no curve: reading a point on whatever curve the record
    // held before would accept a key on the wrong curve.
    return kDerBadInner;
  }
  params.KeyType = type;
  params.Curve = nullptr;
  return core::kOk;
}

int EncodeSubjectPublicKeyInfo(crypto::KeyRecord& key, DerWriter& writer) {
  DerWriter out;
  int rc = out.BeginElement(0x30);
  if (rc != core::kOk) return rc;
  switch (key.Type) {
    case crypto::kKeyRsa:
      rc = EncodeRsa(key, out);
      break;
    case crypto::kKeyDsa:
      rc = EncodeDsa(key, out);
      break;
    case crypto::kKeyEc:
      rc = EncodeEc(key, out);
      break;
    case crypto::kKeyEdwards:
      rc = EncodeEdwards(key, out);
      break;
    default:
      break;
  }
  if (rc == core::kOk) rc = out.EndElement(0);
  if (rc == core::kOk) rc = writer.Append(out);
  return rc;
}

int ParseSubjectPublicKeyInfo(component::ComponentBase& component, const core::BufferCore& der,
                              core::BufferCore& out) {
  out.Clear();
  Asn1Element spki;
  int rc = ParseOneLevel(der, spki);
  if (rc != core::kOk) return rc;
  if (spki.childCount() != 2) return component.SetErrorText(kDerBadInner, "Invalid SubjectPublicKeyInfo ASN.1 structure");
  return ReadKeyBits(*spki.firstChild()->nextSibling(), out);
}

int SubjectPublicKey::CopyFrom(const SubjectPublicKey& source) {
  int rc = algorithm.CopyFrom(source.algorithm);
  if (rc == core::kOk) rc = key.CopyFrom(source.key);
  return rc;
}

}  // namespace velmora::pki
