// The shapes of the "ncrypt" key storage module's key operations: padding records, flags, property names,
// key blob magics and the statuses of its RSA keys. Plain data only; usable without the crypto modules
// being built.
#pragma once

#include <cstdint>

#include "platform/crypto/hash_types.h"

namespace velmora::platform {

// Padding records of NCryptSignHash, NCryptVerifySignature, NCryptEncrypt and NCryptDecrypt. A null
// algorithm name in the PKCS#1 record signs or verifies the bytes as given (no DigestInfo).
struct BCRYPT_PKCS1_PADDING_INFO {
  const char16_t* pszAlgId;
};
struct BCRYPT_PSS_PADDING_INFO {
  const char16_t* pszAlgId;
  ULONG cbSalt;
};
struct BCRYPT_OAEP_PADDING_INFO {
  const char16_t* pszAlgId;
  uint8_t* pbLabel;
  ULONG cbLabel;
};

// NCryptKeyName is one entry of NCryptEnumKeys; freed with NCryptFreeBuffer.
struct NCryptKeyName {
  char16_t* pszName;
  char16_t* pszAlgid;
  DWORD dwLegacyKeySpec;
  DWORD dwFlags;
};

// NCryptBufferDesc is the parameter list of NCryptImportKey (version 0); buffer type 45 names the key.
struct NCryptBuffer {
  ULONG cbBuffer;
  ULONG BufferType;
  void* pvBuffer;
};
struct NCryptBufferDesc {
  ULONG ulVersion;
  ULONG cBuffers;
  NCryptBuffer* pBuffers;
};
constexpr ULONG kNcryptBufferPkcsKeyName = 45;

// Padding flags.
constexpr DWORD kNcryptNoPaddingFlag = 0x1;
constexpr DWORD kNcryptPadPkcs1Flag = 0x2;
constexpr DWORD kNcryptPadOaepFlag = 0x4;
constexpr DWORD kNcryptPadPssFlag = 0x8;
// Key and property flags.
constexpr DWORD kNcryptMachineKeyFlag = 0x20;
constexpr DWORD kNcryptOverwriteKeyFlag = 0x80;
constexpr DWORD kNcryptSilentFlag = 0x40;
constexpr DWORD kNcryptPersistFlag = 0x80000000u;
constexpr DWORD kNcryptPersistOnlyFlag = 0x40000000u;
constexpr DWORD kNcryptDoNotFinalizeFlag = 0x400;
// CryptAcquireCertificatePrivateKey: NCrypt keys allowed; the key spec that marks an NCrypt key.
constexpr DWORD kCryptAcquireAllowNcryptKeyFlag = 0x10000;
constexpr DWORD kCertNcryptKeySpec = 0xFFFFFFFFu;

// "Export Policy" bits.
constexpr DWORD kAllowExportFlag = 0x1;
constexpr DWORD kAllowPlaintextExportFlag = 0x2;
constexpr DWORD kAllowArchivingFlag = 0x4;
constexpr DWORD kAllowPlaintextArchivingFlag = 0x8;
// "Key Usage" bits, and the usage of a key made without one.
constexpr DWORD kNcryptAllowDecryptFlag = 0x1;
constexpr DWORD kNcryptAllowSigningFlag = 0x2;
constexpr DWORD kNcryptAllowKeyAgreementFlag = 0x4;
constexpr DWORD kAllowAllUsages = 0x00FFFFFF;

// Property, algorithm and blob names.
inline constexpr char16_t kNcryptExportPolicyProperty[] = u"Export Policy";
inline constexpr char16_t kNcryptLengthProperty[] = u"Length";
inline constexpr char16_t kNcryptKeyUsageProperty[] = u"Key Usage";
inline constexpr char16_t kNcryptAlgorithmGroupProperty[] = u"Algorithm Group";
inline constexpr char16_t kNcryptPinProperty[] = u"SmartCardPin";
inline constexpr char16_t kNcryptMigrationPasswordProperty[] = u"PCP_MIGRATIONPASSWORD";
inline constexpr char16_t kNcryptCertificateProperty[] = u"SmartCardKeyCertificate";
inline constexpr char16_t kNcryptRsaAlgorithm[] = u"RSA";
// The simulated providers beside the software one.
inline constexpr char16_t kPlatformCryptoProvider[] = u"Microsoft Platform Crypto Provider";
inline constexpr char16_t kSmartCardKeyStorageProvider[] = u"Microsoft Smart Card Key Storage Provider";
inline constexpr char16_t kRsaPublicBlob[] = u"RSAPUBLICBLOB";
inline constexpr char16_t kRsaPrivateBlob[] = u"RSAPRIVATEBLOB";
inline constexpr char16_t kRsaFullPrivateBlob[] = u"RSAFULLPRIVATEBLOB";
inline constexpr char16_t kEccPublicBlob[] = u"ECCPUBLICBLOB";
inline constexpr char16_t kEccPrivateBlob[] = u"ECCPRIVATEBLOB";

// BCRYPT_RSAKEY_BLOB: six little-endian 32-bit fields (magic, bit length, exponent, modulus, first and
// second prime lengths), then the big-endian parts.
constexpr ULONG kRsaPublicMagic = 0x31415352;       // "RSA1"
constexpr ULONG kRsaPrivateMagic = 0x32415352;      // "RSA2"
constexpr ULONG kRsaFullPrivateMagic = 0x33415352;  // "RSA3"
constexpr int kRsaBlobHeaderSize = 24;

// Further statuses of "ncrypt".
constexpr SECURITY_STATUS kNteBadKey = static_cast<SECURITY_STATUS>(0x80090003u);
constexpr SECURITY_STATUS kNtePerm = static_cast<SECURITY_STATUS>(0x80090010u);
constexpr SECURITY_STATUS kNteNotFound = static_cast<SECURITY_STATUS>(0x80090011u);
// A smart card's answers to a missing or wrong PIN.
constexpr SECURITY_STATUS kScardWWrongChv = static_cast<SECURITY_STATUS>(0x8010006Bu);
constexpr SECURITY_STATUS kScardWCardNotAuthenticated = static_cast<SECURITY_STATUS>(0x8010006Fu);
constexpr SECURITY_STATUS kNteBadData = static_cast<SECURITY_STATUS>(0x80090005u);
constexpr SECURITY_STATUS kNteBadSignature = static_cast<SECURITY_STATUS>(0x80090006u);
constexpr SECURITY_STATUS kNteBadAlgId = static_cast<SECURITY_STATUS>(0x80090008u);
constexpr SECURITY_STATUS kNteBadKeyState = static_cast<SECURITY_STATUS>(0x8009000Bu);
constexpr SECURITY_STATUS kNteExists = static_cast<SECURITY_STATUS>(0x8009000Fu);
constexpr SECURITY_STATUS kNteBadKeyset = static_cast<SECURITY_STATUS>(0x80090016u);
constexpr SECURITY_STATUS kNteBadType = static_cast<SECURITY_STATUS>(0x8009000Au);
constexpr SECURITY_STATUS kNteNoMemory = static_cast<SECURITY_STATUS>(0x8009000Eu);
constexpr SECURITY_STATUS kNteFailStatus = static_cast<SECURITY_STATUS>(0x80090020u);
constexpr SECURITY_STATUS kNteBufferTooSmall = static_cast<SECURITY_STATUS>(0x80090028u);
constexpr SECURITY_STATUS kNteNoMoreItems = static_cast<SECURITY_STATUS>(0x8009002Au);

}  // namespace velmora::platform
