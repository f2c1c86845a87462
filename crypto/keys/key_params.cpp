#include "crypto/keys/key_record.h"

#include <cctype>
#include <initializer_list>
#include <cstring>
#include <string>

#include "core/hex.h"
#include "crypto/bn/big_int.h"
#include "crypto/objects/ec_key_ops.h"
#include "crypto/bn/integer_bytes.h"
#include "crypto/rsa/rsa_engine.h"

namespace velmora::crypto {
namespace {

bool Set(const core::BufferCore& b) { return b.Length() > 0; }

int ToInt(const core::BufferCore& b, BigInt& out) {
  return BigInt::FromBytes(reinterpret_cast<const uint8_t*>(b.Data()), b.Length(), 1, out);
}

int Empty(core::BufferCore& b) { return b.SetData(0, nullptr); }

// Assign copies each source in turn into its destination and stops at the first failure.
template <size_t N>
int AssignAll(core::BufferCore* const (&to)[N], const core::BufferCore* const (&from)[N]) {
  for (size_t i = 0; i < N; ++i) {
    const int status = to[i]->Assign(*from[i]);
    if (status != 0) return status;
  }
  return 0;
}

int CopyList(const core::StrList& from, core::StrList& to) {
  int status = to.Clear();
  for (int32_t i = 0; status == 0 && i < from.Count(); ++i) status = to.Add(from.Item(i), from.ItemLength(i));
  return status;
}

}  // namespace

// ---- RSA parameter set ----

int RsaKeyParams::CopyFrom(const RsaKeyParams& other) {
  if (&other == this) return 0;
  return AssignAll({&Exponent, &Modulus, &P, &Q, &DP, &DQ, &InverseQ, &D},
                   {&other.Exponent, &other.Modulus, &other.P, &other.Q, &other.DP, &other.DQ, &other.InverseQ,
                    &other.D});
}

int RsaKeyParams::Clear() {
  for (core::BufferCore* b : {static_cast<core::BufferCore*>(&Exponent), static_cast<core::BufferCore*>(&Modulus),
                              static_cast<core::BufferCore*>(&P), static_cast<core::BufferCore*>(&Q),
                              static_cast<core::BufferCore*>(&DP), static_cast<core::BufferCore*>(&DQ),
                              static_cast<core::BufferCore*>(&InverseQ), static_cast<core::BufferCore*>(&D)}) {
    const int status = Empty(*b);
    if (status != 0) return status;
  }
  return 0;
}

bool RsaKeyParams::HasPrivateKey() const { return Set(Modulus) && (Set(D) || (Set(P) && Set(Q))); }
bool RsaKeyParams::HasPublicKey() const { return Set(Exponent) && Set(Modulus); }

int32_t RsaKeyParams::ModulusByteLength() const {
  const auto* bytes = reinterpret_cast<const uint8_t*>(Modulus.Data());
  int32_t length = Modulus.Length();
  while (length > 0 && *bytes == 0) {
    ++bytes;
    --length;
  }
  return (length + 7) / 8 * 8;
}

int RsaKeyParams::CompleteCrt() {
  if (!Set(D) || !Set(P) || !Set(Q)) return 0;
  if (Set(DP) && Set(DQ) && Set(InverseQ)) return 0;
  BigInt d, p, q, t, r;
  int status;
  if ((status = ToInt(D, d)) != 0 || (status = ToInt(P, p)) != 0 || (status = ToInt(Q, q)) != 0) return status;
  if (!Set(DP)) {
    if ((status = BigInt::Subtract(p, BigIntOne(), t)) != 0 || (status = BigInt::Mod(d, t, r)) != 0 ||
        (status = r.ToBytes(DP)) != 0) {
      return status;
    }
  }
  if (!Set(DQ)) {
    if ((status = BigInt::Subtract(q, BigIntOne(), t)) != 0 || (status = BigInt::Mod(d, t, r)) != 0 ||
        (status = r.ToBytes(DQ)) != 0) {
      return status;
    }
  }
  if (!Set(InverseQ)) {
    if ((status = BigInt::ModInverse(q, p, r)) != 0 || (status = r.ToBytes(InverseQ)) != 0) return status;
  }
  return 0;
}

int RsaKeyParams::RecomputeCrt() {
  if (!Set(D) || !Set(P) || !Set(Q)) return 0;
  int status;
  if ((status = Empty(DP)) != 0 || (status = Empty(DQ)) != 0 || (status = Empty(InverseQ)) != 0) return status;
  return CompleteCrt();
}

int RsaKeyParams::PadToFixedLength() {
  const int32_t length = ModulusByteLength();
  int status;
  if ((status = FitBytesToWidth(length, Modulus)) != 0 || (status = FitBytesToWidth(length, D)) != 0) return status;
  for (core::BufferCore* b : {&P, &DP, &Q, &DQ, &InverseQ}) {
    if ((status = FitBytesToWidth(length / 2, *b)) != 0) return status;
  }
  return 0;
}

// ---- DSA parameter set ----

int DsaKeyParams::CopyFrom(const DsaKeyParams& other) {
  if (&other == this) return 0;
  const int status = AssignAll({&P, &Q, &G, &Y, &J, &X, &Seed},
                               {&other.P, &other.Q, &other.G, &other.Y, &other.J, &other.X, &other.Seed});
  if (status == 0) Counter = other.Counter;
  return status;
}

int DsaKeyParams::Clear() {
  for (core::BufferCore* b : {static_cast<core::BufferCore*>(&P), static_cast<core::BufferCore*>(&Q),
                              static_cast<core::BufferCore*>(&G), static_cast<core::BufferCore*>(&Y),
                              static_cast<core::BufferCore*>(&J), static_cast<core::BufferCore*>(&X),
                              static_cast<core::BufferCore*>(&Seed)}) {
    const int status = Empty(*b);
    if (status != 0) return status;
  }
  Counter = 0;
  return 0;
}

bool DsaKeyParams::HasPrivateKey() const { return Set(X) && Set(P) && Set(Q) && Set(G); }
bool DsaKeyParams::HasPublicKey() const { return Set(P) && Set(Q) && Set(G) && Set(Y); }

int DsaKeyParams::ComputePublicKey() {
  if (HasPublicKey() || !HasPrivateKey()) return 0;
  BigInt g, x, p, y;
  int status;
  if ((status = ToInt(G, g)) != 0 || (status = ToInt(X, x)) != 0 || (status = ToInt(P, p)) != 0 ||
      (status = BigInt::ModPow(g, x, p, y)) != 0) {
    return status;
  }
  status = y.ToBytes(Y);
  if (status == 0 && Y.Length() > 1 && Y.Data()[0] == 0) status = core::BufferConsumeFront(Y, 1);
  return status;
}

int32_t DsaPrimeByteLengthRounded(const DsaKeyParams& params) { return (params.P.Length() + 4) / 8 * 8; }

int DsaKeyParams::PadToFixedLength() {
  const int32_t modulus_bits = (8 * P.Length() + 8) / 64 * 64;
  int32_t subgroup_bits = 256;
  if (modulus_bits < 2048) {
    subgroup_bits = 160;
  } else if (modulus_bits < 3072) {
    subgroup_bits = Q.Length() >= 31 && Q.Length() <= 33 ? 256 : 224;
  }
  int status;
  if ((status = FitBytesToWidth(modulus_bits / 8, P)) != 0 || (status = FitBytesToWidth(modulus_bits / 8, G)) != 0 ||
      (status = FitBytesToWidth(subgroup_bits / 8, Q)) != 0 || (status = FitBytesToWidth(modulus_bits / 8, Y)) != 0) {
    return status;
  }
  return FitBytesToWidth(subgroup_bits / 8, X);
}

// ---- EC parameter set ----

int EcKeyParams::CopyFrom(const EcKeyParams& other, bool include_private) {
  if (&other == this) return 0;
  KeyType = other.KeyType;
  Curve = other.Curve;
  int status = AssignAll({&PublicKey, &X, &Y}, {&other.PublicKey, &other.X, &other.Y});
  if (status == 0 && include_private) status = AssignAll({&D, &PrivateKey}, {&other.D, &other.PrivateKey});
  return status;
}

int EcKeyParams::Clear() {
  KeyType = 0;
  Curve = nullptr;
  for (core::BufferCore* b : {static_cast<core::BufferCore*>(&D), static_cast<core::BufferCore*>(&X),
                              static_cast<core::BufferCore*>(&Y), static_cast<core::BufferCore*>(&PrivateKey),
                              static_cast<core::BufferCore*>(&PublicKey)}) {
    const int status = Empty(*b);
    if (status != 0) return status;
  }
  return 0;
}

bool EcKeyParams::HasPrivateKey() const { return UsesRawKeys() ? Set(PrivateKey) : Set(D); }
bool EcKeyParams::HasPublicKey() const { return UsesRawKeys() ? Set(PublicKey) : Set(X) && Set(Y); }

CurveParams* EcKeyParams::GetCurve() {
  const int32_t curve_id = EcKeyTypeToCurveId(KeyType);
  if (curve_id < 0) return nullptr;
  if (Curve != nullptr && Curve->GetCurveId() == static_cast<uint32_t>(curve_id)) return Curve;
  Curve = FindCurveParams(static_cast<uint32_t>(curve_id));
  return Curve;
}

int EcKeyParams::SetCurveOid(const char* oid) {
  KeyType = EcKeyTypeFromOid(oid);
  return KeyType < 0 ? -1 : 0;
}

// ---- KeyRecord ----

int KeyRecord::CopyFrom(const KeyRecord& source) {
  if (&source == this) return 0;
  Type = source.Type;
  int status;
  if ((status = RsaParams.CopyFrom(source.RsaParams)) != 0 || (status = DsaParams.CopyFrom(source.DsaParams)) != 0 ||
      (status = EcParams.CopyFrom(source.EcParams, true)) != 0 ||
      (status = EdParams.CopyFrom(source.EdParams, true)) != 0 ||
      (status = CopyList(source.AttributeNames, AttributeNames)) != 0) {
    return status;
  }
  return CopyList(source.AttributeValues, AttributeValues);
}

bool KeyRecord::Equals(KeyRecord& other) {
  if (Type != other.Type || Type < kKeyRsa || Type > kKeyEdwards) return false;
  auto same = [](const core::BufferCore& a, const core::BufferCore& b) { return a.Equals(b) != 0; };
  switch (Type) {
    case kKeyRsa: {
      if (RsaParams.PadToFixedLength() != 0 || other.RsaParams.PadToFixedLength() != 0) return false;
      const RsaKeyParams& a = RsaParams;
      const RsaKeyParams& b = other.RsaParams;
      return same(a.Exponent, b.Exponent) && same(a.Modulus, b.Modulus) && same(a.P, b.P) && same(a.Q, b.Q) &&
             same(a.DP, b.DP) && same(a.DQ, b.DQ) && same(a.InverseQ, b.InverseQ) && same(a.D, b.D);
    }
    case kKeyDsa: {
      const DsaKeyParams& a = DsaParams;
      const DsaKeyParams& b = other.DsaParams;
      return same(a.P, b.P) && same(a.Q, b.Q) && same(a.G, b.G) && same(a.Y, b.Y) && same(a.J, b.J) &&
             same(a.X, b.X) && same(a.Seed, b.Seed);
    }
    case kKeyEc:
      return EcParams.KeyType == other.EcParams.KeyType && same(EcParams.X, other.EcParams.X) &&
             same(EcParams.Y, other.EcParams.Y) && same(EcParams.D, other.EcParams.D);
    default:
      return EdParams.KeyType == other.EdParams.KeyType && same(EdParams.PublicKey, other.EdParams.PublicKey) &&
             same(EdParams.PrivateKey, other.EdParams.PrivateKey);
  }
}

int KeyRecord::AddAttribute(const char* name, const char* value) {
  const int status = AttributeNames.AddCString(name);
  return status != 0 ? status : AttributeValues.AddCString(value);
}

const char* KeyRecord::GetAttribute(const char* name) const {
  const int32_t index = AttributeNames.IndexOf(name, 0);
  return index < 0 ? "" : AttributeValues.Item(index);
}

int KeyRecord::SetAttribute(const char* name, const char* value) {
  const int32_t index = AttributeNames.IndexOf(name, 0);
  return index < 0 ? AddAttribute(name, value) : AttributeValues.SetAtString(index, value);
}

int KeyRecord::FlattenAttributes() {
  int status = FlatAttributes.Clear();
  for (int32_t i = 0; status == 0 && i < AttributeNames.Count(); ++i) {
    status = FlatAttributes.AddCString(AttributeNames.Item(i));
    if (status == 0) status = FlatAttributes.AddCString(AttributeValues.Item(i));
  }
  return status;
}

int KeyRecord::UnflattenAttributes() {
  int status;
  if ((status = AttributeNames.Clear()) != 0 || (status = AttributeValues.Clear()) != 0) return status;
  for (int32_t i = 0; i < FlatAttributes.Count(); i += 2) {
    if ((status = AttributeNames.AddCString(FlatAttributes.Item(i))) != 0 ||
        (status = AttributeValues.AddCString(FlatAttributes.Item(i + 1))) != 0) {
      return status;
    }
  }
  return FlatAttributes.Clear();
}

int KeyRecord::GetRsaParams(RsaKeyParams& out, bool public_only) {
  if (Type != kKeyRsa) return -1;
  int status = CompleteRsaPrivateKey(RsaParams, kProviderDefault);
  if (status == 0) status = out.CopyFrom(RsaParams);
  if (status == 0 && public_only) {
    for (core::BufferCore* b : {&out.P, &out.Q, &out.DP, &out.DQ, &out.InverseQ, &out.D}) {
      if ((status = Empty(*b)) != 0) break;
    }
  }
  return status;
}

int KeyRecord::GetDsaParams(DsaKeyParams& out, bool public_only) {
  if (Type != kKeyDsa) return -1;
  int status = DsaParams.ComputePublicKey();
  if (status == 0) status = out.CopyFrom(DsaParams);
  if (status == 0 && public_only) status = Empty(out.X);
  return status;
}

int KeyRecord::GetEcParams(EcKeyParams& out, bool public_only) {
  if (Type != kKeyEc && Type != kKeyEdwards) return -1;
  EcKeyParams& source = Type == kKeyEc ? EcParams : EdParams;
  int status = EnsureEcPublicKey(source);
  if (status == 0) status = out.CopyFrom(source, true);
  if (status == 0 && public_only) status = Empty(Type == kKeyEc ? out.D : out.PrivateKey);
  return status;
}

int KeyRecord::GetPublicKey(KeyRecord& out) {
  out.Type = Type;
  switch (Type) {
    case kKeyRsa:
      return GetRsaParams(out.RsaParams, true);
    case kKeyDsa:
      return GetDsaParams(out.DsaParams, true);
    case kKeyEc:
      return GetEcParams(out.EcParams, true);
    case kKeyEdwards:
      return GetEcParams(out.EdParams, true);
    default:
      return 0;
  }
}

int32_t KeyRecord::KeyBitLength() const {
  switch (Type) {
    case kKeyRsa:
      return 8 * RsaParams.ModulusByteLength();
    case kKeyDsa:
      return (DsaParams.P.Length() + 4) / 8 * 64;
    case kKeyEc:
      return EcParams.BitLength();
    case kKeyEdwards:
      return EdParams.BitLength();
    default:
      return 0;
  }
}

const char* KeyAlgorithmName(const KeyRecord* key) {
  if (key == nullptr) return "";
  switch (key->Type) {
    case kKeyRsa:
      return "RSA_RSA";
    case kKeyDsa:
      return "X957_DSA";
    case kKeyEc:
      return "IdEcPublicKey";
    case kKeyEdwards:
      return "EdDSA";
    default:
      return "";
  }
}

int32_t KeyBitLengthOf(const KeyRecord* key) { return key == nullptr ? 0 : key->KeyBitLength(); }

int KeyEntry::CopyFrom(const KeyEntry& other) {
  if (&other == this) return 0;
  Id = other.Id;
  const int status = Name.Assign(other.Name);
  return status != 0 ? status : Key.CopyFrom(other.Key);
}

// ---- Byte strings ----

int HexToPaddedBytes(const char* text, int32_t minimum_length, core::BufferCore& out) {
  std::string even = text == nullptr ? "" : text;
  if (even.size() % 2 != 0) even.insert(even.begin(), '0');
  int status = Empty(out);
  if (status == 0) status = core::HexDecodeAppend(out, even.c_str());
  if (status == 0 && minimum_length > out.Length()) status = core::PadLeftWithZeros(out, minimum_length);
  return status;
}

int AppendBytesReversed(core::BufferCore& out, const uint8_t* bytes, int32_t length, int32_t count, bool pad) {
  const int32_t total = pad ? count : (count < length ? count : length);
  for (int32_t i = 0; i < total; ++i) {
    const uint8_t byte = i < length ? bytes[length - 1 - i] : 0;
    const int status = out.AppendByte(byte);
    if (status != 0) return status;
  }
  return 0;
}

void ReleaseSharedBuffer(SharedBuffer*& holder) {
  if (holder != nullptr && --holder->References < 1) delete holder;
  holder = nullptr;
}

// ---- Key creation by name ----

int GenerateKeyByAlgorithmName(const char* name, int32_t bits, KeyRecord& out) {
  std::string upper = name == nullptr ? "" : name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "RSA") {
    const int status = CngCreateRsaKey(bits, out.RsaParams, kProviderDefault);
    if (status == 0) out.Type = kKeyRsa;
    return status;
  }
  if (upper == "DSA") {
    const int status = CngCreateDsaKey(bits, out.DsaParams, kProviderDefault);
    if (status == 0) out.Type = kKeyDsa;
    return status;
  }
  int32_t key_type = -1;
  int32_t record_type = kKeyEc;
  if (upper.rfind("ECDSA", 0) == 0) {
    static constexpr struct {
      const char* name;
      int32_t type;
    } kNames[] = {{"ECDSA_P256", 0}, {"ECDSA_P384", 1}, {"ECDSA_P521", 2}, {"ECDSA_SECP160K1", 7},
                  {"ECDSA_SECP192K1", 8}, {"ECDSA_SECP224K1", 9}, {"ECDSA_SECP256K1", 10}};
    for (const auto& entry : kNames) {
      if (upper == entry.name) key_type = entry.type;
    }
    if (upper.rfind("ECDSA_BRAINPOOLP", 0) == 0) {
      const int32_t type = EcCurveNameToKeyType(upper.c_str() + 6);
      if (type >= 11 && type <= 24) key_type = type;
    }
  } else if (upper.rfind("ED", 0) == 0) {
    record_type = kKeyEdwards;
    if (upper == "ED25519") key_type = 3;
    if (upper == "ED448") key_type = 4;
  }
  if (key_type < 0) return 2001;
  const int status = CngCreateEccKey(key_type, record_type == kKeyEc ? out.EcParams : out.EdParams, kProviderDefault);
  if (status == 0) out.Type = record_type;
  return status;
}

}  // namespace velmora::crypto
