#include "crypto/objects/key_record.h"

#include "crypto/keys/provider_mode.h"
#include "crypto/objects/ec_key_ops.h"
#include "crypto/objects/key_creation.h"

namespace velmora::crypto {
namespace {

int Empty(core::BufferCore& b) { return b.SetData(0, nullptr); }

int CopyList(const core::StrList& from, core::StrList& to) {
  int status = to.Clear();
  for (int32_t i = 0; status == 0 && i < from.Count(); ++i) status = to.Add(from.Item(i), from.ItemLength(i));
  return status;
}

}  // namespace

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

}  // namespace velmora::crypto
