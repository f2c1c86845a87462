#include "crypto/keys/key_params.h"

#include <initializer_list>
#include <cstring>
#include <string>

#include "core/hex.h"
#include "crypto/bn/big_int.h"
#include "crypto/bn/integer_bytes.h"

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

}  // namespace

int CheckKeySize(int32_t kind, int32_t bits) {
  bool ok;
  if (kind == kKeyKindRsa) {
    ok = bits >= 384 && bits <= 4096 && bits % 8 == 0;
  } else if (kind == 1 || kind == 2) {
    ok = bits >= 512 && bits <= 4096 && bits % 64 == 0;
  } else if (kind == 3) {
    ok = bits == 128;
  } else {
    ok = bits == 0;
  }
  return ok ? 0 : kKeySizeRefused;
}

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

}  // namespace velmora::crypto
