#include "crypto/keys/curve_params.h"

#include <strings.h>

#include <cstring>

#include "core/hex.h"
#include "crypto/bn/fixed_big_int.h"

namespace velmora::crypto {
namespace {

struct CurveText {
  uint32_t id;
  uint32_t form;
  uint32_t field_id;
  uint32_t cofactor;
  const char* field;
  const char* a;
  const char* b;
  const char* gx;
  const char* gy;
  const char* order;
  const char* seed;
};

#include "crypto/keys/curve_table_data.inc"

const CurveText* FindText(uint32_t id) {
  for (const CurveText& text : kCurveTexts) {
    if (text.id == id) return &text;
  }
  return nullptr;
}

// FromHex: the text's bytes, left-padded with zeros to length (no padding for 0 or a longer text).
int FromHex(const char* text, int32_t length, core::BufferCore& out) {
  int status = out.SetData(0, nullptr);
  if (status == 0) status = core::HexDecodeAppend(out, text);
  if (status == 0 && length > out.Length()) status = core::PadLeftWithZeros(out, length);
  return status;
}

struct KeyType {
  const char* name;
  const char* oid;
  int32_t curve_id;
  int32_t bytes;
};

constexpr KeyType kKeyTypes[] = {
    {"secp256r1", "1.2.840.10045.3.1.7", 0, 32},        {"secp384r1", "1.3.132.0.34", 1, 48},
    {"secp521r1", "1.3.132.0.35", 2, 66},               {"ed25519", "1.3.101.112", 3, 32},
    {"ed448", "1.3.101.113", 4, 57},                    {"x25519", "1.3.101.110", 3, 32},
    {"x448", "1.3.101.111", 4, 56},                     {"secp160k1", "1.3.132.0.9", 7, 20},
    {"secp192k1", "1.3.132.0.31", 10, 24},              {"secp224k1", "1.3.132.0.32", 12, 28},
    {"secp256k1", "1.3.132.0.10", 14, 32},              {"brainpoolp160r1", "1.3.36.3.3.2.8.1.1.1", 64, 20},
    {"brainpoolp192r1", "1.3.36.3.3.2.8.1.1.3", 66, 24}, {"brainpoolp224r1", "1.3.36.3.3.2.8.1.1.5", 68, 28},
    {"brainpoolp256r1", "1.3.36.3.3.2.8.1.1.7", 70, 32}, {"brainpoolp320r1", "1.3.36.3.3.2.8.1.1.9", 72, 40},
    {"brainpoolp384r1", "1.3.36.3.3.2.8.1.1.11", 74, 48}, {"brainpoolp512r1", "1.3.36.3.3.2.8.1.1.13", 76, 64},
    {"brainpoolp160t1", "1.3.36.3.3.2.8.1.1.2", 65, 20}, {"brainpoolp192t1", "1.3.36.3.3.2.8.1.1.4", 67, 24},
    {"brainpoolp224t1", "1.3.36.3.3.2.8.1.1.6", 69, 28}, {"brainpoolp256t1", "1.3.36.3.3.2.8.1.1.8", 71, 32},
    {"brainpoolp320t1", "1.3.36.3.3.2.8.1.1.10", 73, 40}, {"brainpoolp384t1", "1.3.36.3.3.2.8.1.1.12", 75, 48},
    {"brainpoolp512t1", "1.3.36.3.3.2.8.1.1.14", 77, 64},
};
constexpr int32_t kKeyTypeCount = sizeof kKeyTypes / sizeof kKeyTypes[0];

constexpr uint32_t kTableIds[kCurveTableSize] = {0, 1, 2, 3, 4, 7, 10, 12, 14, 64, 65, 66,
                                                 67, 68, 69, 70, 71, 72, 73, 74, 75, 76, 77};

// The table is built once and never destroyed, so keys may keep pointers into it until exit.
CurveParams* Table() {
  static CurveParams* const table = [] {
    auto* entries = new CurveParams[kCurveTableSize];
    for (int32_t i = 0; i < kCurveTableSize; ++i) (void)entries[i].InitById(kTableIds[i]);
    return entries;
  }();
  return table;
}

}  // namespace

int CurveParams::SetField(const void* bytes, int32_t length) {
  const int status = Field.SetData(length, bytes);
  if (status != 0) return status;
  if (Field.Length() == 0) {
    std::memset(PolyExponents, 0, sizeof PolyExponents);
  } else if (CurveForm == kCurveFormBinary) {
    FixedBigInt f;
    if (FixedBigInt::FromBytes(reinterpret_cast<const uint8_t*>(Field.Data()), Field.Length(), f) == 0) {
      int32_t e[4];
      PolynomialTermExponents(f, &e[0], &e[1], &e[2], &e[3]);
      for (int i = 0; i < 4; ++i) PolyExponents[i] = static_cast<uint32_t>(e[i]);
    }
  }
  return 0;
}

int CurveParams::SetPolyExponent(int32_t index, uint32_t value) {
  if (index < 0 || index > 3) return kUnknownCurve;
  PolyExponents[index] = value;
  if (index == 0 && CurveForm == kCurveFormBinary) return RebuildBinaryPolynomial();
  return 0;
}

int CurveParams::RebuildBinaryPolynomial() {
  const uint32_t degree = PolyExponents[0];
  if (degree == 0) return Field.SetData(0, nullptr);
  // A degree no FixedBigInt could hold is not a field this code can work in.
  if (degree >= static_cast<uint32_t>(FixedBigInt::kMaxWords) * 32) return kFixedTooLong;
  const int32_t byte_length = static_cast<int32_t>((degree + 1 + 7) / 8);
  const int status = Field.SetData(byte_length, nullptr);
  if (status != 0) return status;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(Field.Data());
  std::memset(bytes, 0, static_cast<size_t>(byte_length));
  auto set_term = [&](uint32_t exponent) {
    bytes[byte_length - 1 - static_cast<int32_t>(exponent / 8)] |= static_cast<uint8_t>(1u << (exponent % 8));
  };
  set_term(degree);
  for (int i = 1; i < 4; ++i) {
    if (PolyExponents[i] > 0 && PolyExponents[i] < degree) set_term(PolyExponents[i]);
  }
  set_term(0);
  return 0;
}

int CurveParams::SetFieldById(uint32_t field_id) {
  if (field_id == kFieldGeneric) {
    FieldId = field_id;
    return 0;
  }
  if (field_id < kFieldP192 || field_id > kFieldSect571) return kUnknownCurve;
  CurveForm = field_id <= kFieldP521 ? kCurveFormPrime : kCurveFormBinary;
  for (const CurveText& text : kCurveTexts) {
    if (text.field_id != field_id) continue;
    core::Buffer field;
    int status = FromHex(text.field, 0, field);
    if (status == 0) status = SetField(field.Data(), field.Length());
    if (status != 0) return status;
    break;
  }
  FieldId = field_id;
  return 0;
}

int CurveParams::InitById(uint32_t curve_id) {
  if (curve_id == kCurveIdCustom) {
    FieldId = kFieldGeneric;
    CurveForm = kCurveFormCustom;
    const int status = SetField(nullptr, 0);
    if (status != 0) return status;
    CurveId = kCurveIdCustom;
    return 0;
  }
  const CurveText* text = FindText(curve_id);
  if (text == nullptr) return kUnknownCurve;
  CurveForm = text->form;
  int status = SetFieldById(text->field_id);
  if (status == 0 && text->field_id == kFieldGeneric) {
    core::Buffer field;
    status = FromHex(text->field, 0, field);
    if (status == 0) status = SetField(field.Data(), field.Length());
  }
  if (status != 0) return status;
  const int32_t size = CurveFieldByteLength(*this);
  if ((status = FromHex(text->a, size, A)) != 0 || (status = FromHex(text->b, size, B)) != 0 ||
      (status = FromHex(text->gx, size, Gx)) != 0 || (status = FromHex(text->gy, size, Gy)) != 0 ||
      (status = FromHex(text->order, 0, Order)) != 0 || (status = FromHex(text->seed, 0, Seed)) != 0) {
    return status;
  }
  Cofactor = text->cofactor;
  CurveId = curve_id;
  return 0;
}

int CurveParams::SetExplicit(const core::BufferCore& p, const core::BufferCore& a, const core::BufferCore& b,
                             const core::BufferCore& gx, const core::BufferCore& gy, const core::BufferCore& seed,
                             const core::BufferCore& order, uint32_t cofactor) {
  int status;
  if ((status = Field.Assign(p)) != 0 || (status = A.Assign(a)) != 0 || (status = B.Assign(b)) != 0 ||
      (status = Gx.Assign(gx)) != 0 || (status = Gy.Assign(gy)) != 0 || (status = Order.Assign(order)) != 0 ||
      (status = Seed.Assign(seed)) != 0) {
    return status;
  }
  Cofactor = cofactor;
  CurveId = GetCurveId();
  return 0;
}

uint32_t CurveParams::GetCurveId() {
  if (CurveId != kCurveIdUnset) return CurveId;
  CurveParams* table = Table();
  for (int32_t i = 0; i < kCurveTableSize; ++i) {
    const CurveParams& entry = table[i];
    if (Field.Equals(entry.Field) && A.Equals(entry.A) && B.Equals(entry.B) && Gx.Equals(entry.Gx) &&
        Gy.Equals(entry.Gy) && Order.Equals(entry.Order)) {
      if (CopyFrom(entry) != 0) break;
      return CurveId;
    }
  }
  CurveId = kCurveIdCustom;
  return CurveId;
}

int CurveParams::CopyFrom(const CurveParams& other) {
  if (&other == this) return 0;
  int status;
  if ((status = Field.Assign(other.Field)) != 0 || (status = A.Assign(other.A)) != 0 ||
      (status = B.Assign(other.B)) != 0 || (status = Gx.Assign(other.Gx)) != 0 ||
      (status = Gy.Assign(other.Gy)) != 0 || (status = Seed.Assign(other.Seed)) != 0 ||
      (status = Order.Assign(other.Order)) != 0) {
    return status;
  }
  Cofactor = other.Cofactor;
  std::memcpy(PolyExponents, other.PolyExponents, sizeof PolyExponents);
  FieldId = other.FieldId;
  CurveForm = other.CurveForm;
  CurveId = other.CurveId;
  return 0;
}

bool CurveParams::Equals(const CurveParams& other) const {
  return Field.Equals(other.Field) && A.Equals(other.A) && B.Equals(other.B) && Gx.Equals(other.Gx) &&
         Gy.Equals(other.Gy) && Order.Equals(other.Order) && Cofactor == other.Cofactor;
}

bool IsCompleteCurve(const CurveParams& curve) {
  return curve.CurveId <= kCurveIdCustom &&
         (curve.CurveForm == kCurveFormPrime || curve.CurveForm == kCurveFormBinary) &&
         curve.FieldId >= kFieldGeneric && curve.FieldId <= kFieldSect571 && curve.Field.Length() > 0 &&
         curve.A.Length() > 0 && curve.B.Length() > 0 && curve.Gx.Length() > 0 && curve.Gy.Length() > 0 &&
         curve.Order.Length() > 0;
}

CurveParams* CurveTableEntry(int32_t index) {
  return index >= 0 && index < kCurveTableSize ? &Table()[index] : nullptr;
}

CurveParams* FindCurveParams(uint32_t curve_id) {
  CurveParams* table = Table();
  for (int32_t i = 0; i < kCurveTableSize; ++i) {
    if (table[i].GetCurveId() == curve_id) return &table[i];
  }
  return nullptr;
}

int32_t CurveFieldByteLength(const CurveParams& curve) {
  if (curve.CurveForm == kCurveFormPrime) return curve.Field.Length();
  return static_cast<int32_t>((curve.PolyExponents[0] + 7) / 8);
}

int32_t ByteStringBitLength(const core::BufferCore& value) {
  const int32_t length = value.Length();
  if (length == 0) return 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(value.Data());
  int32_t first = 0;
  while (first < length - 1 && bytes[first] == 0) ++first;
  int32_t top = 0;
  for (uint32_t b = bytes[first]; b != 0; b >>= 1) ++top;
  return (length - first - 1) * 8 + top;
}

int32_t EcKeyTypeToCurveId(int32_t type) { return type >= 0 && type < kKeyTypeCount ? kKeyTypes[type].curve_id : -1; }

int32_t CurveIdToEcKeyType(uint32_t curve_id) {
  if (curve_id == 3 || curve_id == 4) return -1;
  for (int32_t type = 0; type < kKeyTypeCount; ++type) {
    if (static_cast<uint32_t>(kKeyTypes[type].curve_id) == curve_id) return type;
  }
  return -1;
}

const char* EcKeyTypeToName(int32_t type) { return type >= 0 && type < kKeyTypeCount ? kKeyTypes[type].name : ""; }

int32_t EcCurveNameToKeyType(const char* name) {
  if (name == nullptr) return -1;
  static constexpr const char* kAliases[] = {"nistp256", "nistp384", "nistp521"};
  for (int32_t type = 0; type < 3; ++type) {
    if (strcasecmp(name, kAliases[type]) == 0) return type;
  }
  for (int32_t type = 0; type < kKeyTypeCount; ++type) {
    if (strcasecmp(name, kKeyTypes[type].name) == 0) return type;
  }
  return -1;
}

const char* EcKeyTypeToOid(int32_t type) { return type >= 0 && type < kKeyTypeCount ? kKeyTypes[type].oid : ""; }

int32_t EcKeyTypeFromOid(const char* oid) {
  if (oid == nullptr) return -1;
  for (int32_t type = 0; type < kKeyTypeCount; ++type) {
    if (std::strcmp(oid, kKeyTypes[type].oid) == 0) return type;
  }
  return -1;
}

int32_t EcKeyTypeByteLength(int32_t type) { return type >= 0 && type < kKeyTypeCount ? kKeyTypes[type].bytes : -1; }

int32_t EcKeyTypeBitLength(int32_t type) {
  if (type == 2) return 521;
  const int32_t bytes = EcKeyTypeByteLength(type);
  return bytes < 0 ? -1 : 8 * bytes;
}

const char* KeyAlgorithmFromOid(const char* oid) {
  if (oid == nullptr) return "Unknown";
  static constexpr struct {
    const char* oid;
    const char* name;
  } kAlgorithms[] = {{"1.2.840.113549.1.1.1", "RSA"},  {"1.2.840.113549.1.1.10", "RSA"},
                     {"1.2.840.10040.4.1", "DSA"},     {"1.2.840.10045.2.1", "IdEcPublicKey"},
                     {"1.3.101.112", "EdDSA"},         {"1.3.101.113", "EdDSA"},
                     {"1.3.101.110", "EdDSA"},         {"1.3.101.111", "EdDSA"}};
  for (const auto& algorithm : kAlgorithms) {
    if (std::strcmp(oid, algorithm.oid) == 0) return algorithm.name;
  }
  return "Unknown";
}

}  // namespace velmora::crypto
