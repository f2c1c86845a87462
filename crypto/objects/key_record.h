// KeyRecord, the value that carries one public or private key of any algorithm with its named
// attributes, and KeyEntry, a key of a key store. Operations return 0, -1 when the record holds another
// key type, or the first failing Buffer, StrList or BigInt code (200 when memory runs out); a failure
// leaves what was written so far in place. The exports complete a key first, choosing the provider that
// computes a missing part, which is why the record sits with the objects.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/str_list.h"
#include "crypto/keys/key_params.h"

namespace velmora::crypto {

inline constexpr int32_t kKeyNone = 0;
inline constexpr int32_t kKeyRsa = 1;
inline constexpr int32_t kKeyDsa = 2;
inline constexpr int32_t kKeyEc = 3;
inline constexpr int32_t kKeyEdwards = 4;  // Ed25519, Ed448, X25519, X448

struct KeyRecord {
  int32_t Type = kKeyNone;
  RsaKeyParams RsaParams;
  DsaKeyParams DsaParams;
  EcKeyParams EcParams;
  EcKeyParams EdParams;
  core::StrList AttributeNames;
  core::StrList AttributeValues;
  core::StrList FlatAttributes;

  KeyRecord() = default;
  KeyRecord(const KeyRecord&) = delete;
  KeyRecord& operator=(const KeyRecord&) = delete;

  // CopyFrom copies the type, the four parameter sets (private parts included) and the attribute
  // lists; FlatAttributes is not copied.
  [[nodiscard]] int CopyFrom(const KeyRecord& source);
  // Equals compares the selected parameter sets. RSA records are first padded in place to their fixed
  // lengths, so comparing changes both records' RSA numbers.
  bool Equals(KeyRecord& other);

  [[nodiscard]] int AddAttribute(const char* name, const char* value);
  const char* GetAttribute(const char* name) const;
  [[nodiscard]] int SetAttribute(const char* name, const char* value);
  [[nodiscard]] int FlattenAttributes();
  [[nodiscard]] int UnflattenAttributes();

  // Exports: the selected parameter set (completed first) into out; publicOnly drops the private parts.
  [[nodiscard]] int GetRsaParams(RsaKeyParams& out, bool public_only);
  [[nodiscard]] int GetDsaParams(DsaKeyParams& out, bool public_only);
  [[nodiscard]] int GetEcParams(EcKeyParams& out, bool public_only);
  [[nodiscard]] int GetPublicKey(KeyRecord& out);
  // Key-type classes: DSA, EC (the ECDSA and ECDH curves), Edwards or Montgomery, and either curve kind.
  bool IsDsa() const { return Type == kKeyDsa; }
  bool IsEc() const { return Type == kKeyEc; }
  bool IsEdDsaOrXdh() const { return Type == kKeyEdwards; }
  bool IsEllipticCurve() const { return Type == kKeyEc || Type == kKeyEdwards; }
  // HasPrivatePart is true when the numbers of the key's type hold its private part.
  bool HasPrivatePart() const {
    switch (Type) {
      case kKeyRsa: return RsaParams.HasPrivateKey();
      case kKeyDsa: return DsaParams.HasPrivateKey();
      case kKeyEc: return EcParams.HasPrivateKey();
      case kKeyEdwards: return EdParams.HasPrivateKey();
      default: return false;
    }
  }
  // KeyBitLength: the key size by kind, 0 for none.
  int32_t KeyBitLength() const;
};

// The algorithm name and key size of an optional key record ("" and 0 for none).
const char* KeyAlgorithmName(const KeyRecord* key);
int32_t KeyBitLengthOf(const KeyRecord* key);

// KeyEntry: a key of a key store with its id and name.
struct KeyEntry {
  uint32_t Id = 0;
  core::Buffer Name;
  KeyRecord Key;
  [[nodiscard]] int CopyFrom(const KeyEntry& other);
};

}  // namespace velmora::crypto
