// The rows of the OID and algorithm name tables, in the order they are searched (first match wins). The
// OIDs are the published identifiers of the algorithms (PKCS#1, #5, #7, #9, ANSI X9.42, X9.57, X9.62,
// NIST and OIW arcs). Only the table functions and their tests include this.
#pragma once

#include <cstdint>

#include "crypto/registry/oid_tables.h"

namespace velmora::pki::oid_rows {

struct NameToOidRow {
  const char* name;
  const char* oid;
};

// Names compared ignoring case; the first match wins.
inline constexpr NameToOidRow kAlgorithmOids[] = {
    {"md5", "1.2.840.113549.2.5"},
    {"sha1", "1.3.14.3.2.26"},
    {"sha-1", "1.3.14.3.2.26"},
    {"sha256", "2.16.840.1.101.3.4.2.1"},
    {"sha-256", "2.16.840.1.101.3.4.2.1"},
    {"sha384", "2.16.840.1.101.3.4.2.2"},
    {"sha-384", "2.16.840.1.101.3.4.2.2"},
    {"sha512", "2.16.840.1.101.3.4.2.3"},
    {"sha-512", "2.16.840.1.101.3.4.2.3"},
    {"sha224", "2.16.840.1.101.3.4.2.4"},
    {"sha-224", "2.16.840.1.101.3.4.2.4"},
    {"rc2", "1.2.840.113549.3.2"},
    {"rc2cbc40", "1.2.840.113549.3.2"},
    {"rc2cbc64", "1.2.840.113549.3.2"},
    {"rc2cbc128", "1.2.840.113549.3.2"},
    {"md2", "1.2.840.113549.2.2"},
    {"md2rsa", "1.2.840.113549.1.1.2"},
    {"md4rsa", "1.2.840.113549.1.1.3"},
    {"md5rsa", "1.2.840.113549.1.1.4"},
    {"sha1rsa", "1.2.840.113549.1.1.5"},
    {"rc2cbc", "1.2.840.113549.3.2"},
    {"rc4", "1.2.840.113549.3.4"},
    {"des", "1.3.14.3.2.7"},
    {"3des", "1.2.840.113549.3.7"},
    {"descbc", "1.3.14.3.2.7"},
    {"3descbc", "1.2.840.113549.3.7"},  // triple DES in CBC mode (des-ede3-cbc), not single DES
    {"des_ede3_cbc", "1.2.840.113549.3.7"},
    {"aes", "2.16.840.1.101.3.4.1.2"},
    {"aescbc128", "2.16.840.1.101.3.4.1.2"},
    {"aescbc192", "2.16.840.1.101.3.4.1.22"},
    {"aescbc256", "2.16.840.1.101.3.4.1.42"},
    {"aesgcm", "2.16.840.1.101.3.4.1.6"},
    {"aesgcm128", "2.16.840.1.101.3.4.1.6"},
    {"aesgcm192", "2.16.840.1.101.3.4.1.26"},
    {"aesgcm256", "2.16.840.1.101.3.4.1.46"},
};

struct OidNameRow {
  const char* oid;
  const char* name;       // the display name
  const char* algorithm;  // the algorithm name, null for a row that table does not hold
};

// Display names; rows with an algorithm name also make up the middle of the algorithm-name table.
inline constexpr OidNameRow kOidNames[] = {
    {"1.2.840.113549", "RSA", "RSA"},
    {"1.2.840.113549.1", "PKCS", "PKCS"},
    {"1.2.840.113549.2", "RSA_HASH", "RSA_HASH"},
    {"1.2.840.113549.3", "RSA_ENCRYPT", "RSA_ENCRYPT"},
    {"1.2.840.113549.1.1", "PKCS_1", "PKCS_1"},
    {"1.2.840.113549.1.2", "PKCS_2", "PKCS_2"},
    {"1.2.840.113549.1.3", "PKCS_3", "PKCS_3"},
    {"1.2.840.113549.1.4", "PKCS_4", "PKCS_4"},
    {"1.2.840.113549.1.5", "PKCS_5", "PKCS_5"},
    {"1.2.840.113549.1.6", "PKCS_6", "PKCS_6"},
    {"1.2.840.113549.1.7", "PKCS_7", "PKCS_7"},
    {"1.2.840.113549.1.8", "PKCS_8", "PKCS_8"},
    {"1.2.840.113549.1.9", "PKCS_9", "PKCS_9"},
    {"1.2.840.113549.1.10", "PKCS_10", "PKCS_10"},
    {"1.2.840.113549.1.12", "PKCS_12", "PKCS_12"},
    {"1.2.840.113549.1.1.2", "RSA_MD2", "RSA_MD2"},
    {"1.2.840.113549.1.1.3", "RSA_MD4", "RSA_MD4"},
    {"1.2.840.113549.1.1.4", "RSA_MD5", "RSA_MD5"},
    {"1.2.840.113549.1.1.1", "RSA_RSA", "RSA_RSA"},
    {"1.2.840.113549.1.1.5", "RSA_SHA1RSA", "RSA_SHA1RSA"},
    {"1.2.840.113549.1.1.6", "RSA_SETOAEP_RSA", "RSA_SETOAEP_RSA"},
    {"1.2.840.113549.1.1.10", "RSASSA_PSS", "RSASSA_PSS"},
    {"1.2.840.113549.1.1.11", "RSA_SHA256RSA", "RSA_SHA256RSA"},
    {"1.2.840.113549.1.1.12", "RSA_SHA384RSA", "RSA_SHA384RSA"},
    {"1.2.840.113549.1.1.13", "RSA_SHA512RSA", "RSA_SHA512RSA"},
    {"1.2.840.113549.1.1.14", "RSA_SHA224RSA", "RSA_SHA224RSA"},
    {"1.2.840.113549.1.3.1", "RSA_DH", "RSA_DH"},
    {"1.2.840.113549.1.7.1", "RSA_data", "RSA_data"},
    {"1.2.840.113549.1.7.2", "RSA_signedData", "RSA_signedData"},
    {"1.2.840.113549.1.7.3", "RSA_envelopedData", "RSA_envelopedData"},
    {"1.2.840.113549.1.7.4", "RSA_signEnvData", "RSA_signEnvData"},
    {"1.2.840.113549.1.7.5", "RSA_digestedData", "RSA_digestedData"},
    {"1.2.840.113549.1.7.6", "RSA_encryptedData", "RSA_encryptedData"},
    {"1.2.840.113549.1.9.1", "RSA_emailAddr", "RSA_emailAddr"},
    {"1.2.840.113549.1.9.2", "RSA_unstructName", "RSA_unstructName"},
    {"1.2.840.113549.1.9.3", "RSA_contentType", "RSA_contentType"},
    {"1.2.840.113549.1.9.4", "RSA_messageDigest", "RSA_messageDigest"},
    {"1.2.840.113549.1.9.5", "RSA_signingTime", "RSA_signingTime"},
    {"1.2.840.113549.1.9.6", "RSA_counterSign", "RSA_counterSign"},
    {"1.2.840.113549.1.9.7", "RSA_challengePwd", "RSA_challengePwd"},
    {"1.2.840.113549.1.9.8", "RSA_unstructAddr", "RSA_unstructAddr"},
    {"1.2.840.113549.1.9.9", "RSA_extCertAttrs", "RSA_extCertAttrs"},
    {"1.2.840.113549.1.9.15", "RSA_SMIMECapabilities", "RSA_SMIMECapabilities"},
    {"1.2.840.113549.1.9.15.1", "RSA_preferSignedData", "RSA_preferSignedData"},
    {"1.2.840.113549.3.2", "RSA_RC2CBC", "RSA_RC2CBC"},
    {"1.2.840.113549.3.4", "RSA_RC4", "RSA_RC4"},
    {"1.2.840.113549.3.7", "RSA_DES_EDE3_CBC", "RSA_DES_EDE3_CBC"},
    {"1.2.840.113549.3.9", "RSA_RC5_CBCPad", "RSA_RC5_CBCPad"},
    {"1.2.840.10046", "ANSI_x942", "ANSI_x942"},
    {"1.2.840.10046.2.1", "ANSI_x942_DH", "ANSI_x942_DH"},
    {"1.2.840.10040", "X957", "X957"},
    {"1.2.840.10040.4.1", "X957_DSA", "X957_DSA"},
    {"1.2.840.10040.4.3", "DATA_STRUCTURE", "DATA_STRUCTURE"},
    {"2.16.840.1.101.3.4.3.2", "DSA-WITH-SHA256", "dsa-with-sha256"},
    {"2.5", "DS", "DS"},
    {"2.5.8", "DSALG", "DSALG"},
    {"2.5.8.1", "DSALG_CRPT", "DSALG_CRPT"},
    {"2.5.8.2", "DSALG_HASH", "DSALG_HASH"},
    {"2.5.8.3", "DSALG_SIGN", "DSALG_SIGN"},
    {"2.5.8.1.1", "DSALG_RSA", "DSALG_RSA"},
    {"1.3.14", "OIW", "OIW"},
    {"1.3.14.3.2", "OIWSEC", "OIWSEC"},
    {"1.3.14.3.2.2", "OIWSEC_md4RSA", "OIWSEC_md4RSA"},
    {"1.3.14.3.2.3", "OIWSEC_md5RSA", "OIWSEC_md5RSA"},
    {"1.3.14.3.2.4", "OIWSEC_md4RSA2", "OIWSEC_md4RSA2"},
    {"1.3.14.3.2.6", "OIWSEC_desECB", "OIWSEC_desECB"},
    {"1.3.14.3.2.7", "OIWSEC_desCBC", "OIWSEC_desCBC"},
    {"1.3.14.3.2.8", "OIWSEC_desOFB", "OIWSEC_desOFB"},
    {"1.3.14.3.2.9", "OIWSEC_desCFB", "OIWSEC_desCFB"},
    {"1.3.14.3.2.10", "OIWSEC_desMAC", "OIWSEC_desMAC"},
    {"1.3.14.3.2.11", "OIWSEC_rsaSign", "OIWSEC_rsaSign"},
    {"1.3.14.3.2.12", "OIWSEC_dsa", "OIWSEC_dsa"},
    {"1.3.14.3.2.13", "OIWSEC_shaDSA", "OIWSEC_shaDSA"},
    {"1.3.14.3.2.14", "OIWSEC_mdc2RSA", "OIWSEC_mdc2RSA"},
    {"1.3.14.3.2.15", "OIWSEC_shaRSA", "OIWSEC_shaRSA"},
    {"1.3.14.3.2.16", "OIWSEC_dhCommMod", "OIWSEC_dhCommMod"},
    {"1.3.14.3.2.17", "OIWSEC_desEDE", "OIWSEC_desEDE"},
    {"1.3.14.3.2.18", "OIWSEC_sha", "OIWSEC_sha"},
    {"1.3.14.3.2.19", "OIWSEC_mdc2", "OIWSEC_mdc2"},
    {"1.3.14.3.2.20", "OIWSEC_dsaComm", "OIWSEC_dsaComm"},
    {"1.3.14.3.2.21", "OIWSEC_dsaCommSHA", "OIWSEC_dsaCommSHA"},
    {"1.3.14.3.2.22", "OIWSEC_rsaXchg", "OIWSEC_rsaXchg"},
    {"1.3.14.3.2.23", "OIWSEC_keyHashSeal", "OIWSEC_keyHashSeal"},
    {"1.3.14.3.2.24", "OIWSEC_md2RSASign", "OIWSEC_md2RSASign"},
    {"1.3.14.3.2.25", "OIWSEC_md5RSASign", "OIWSEC_md5RSASign"},
    {"1.3.14.3.2.26", "OIWSEC_sha1", "OIWSEC_sha1"},
    {"1.3.14.3.2.27", "OIWSEC_dsaSHA1", "OIWSEC_dsaSHA1"},
    {"1.3.14.3.2.28", "OIWSEC_dsaCommSHA1", "OIWSEC_dsaCommSHA1"},
    {"1.3.14.3.2.29", "OIWSEC_sha1RSASign", "OIWSEC_sha1RSASign"},
    {"1.3.14.7.2", "OIWDIR", "OIWDIR"},
    {"1.3.14.7.2.1", "OIWDIR_CRPT", "OIWDIR_CRPT"},
    {"1.3.14.7.2.2", "OIWDIR_HASH", "OIWDIR_HASH"},
    {"1.3.14.7.2.3", "OIWDIR_SIGN", "OIWDIR_SIGN"},
    {"1.3.14.7.2.2.1", "OIWDIR_md2", "OIWDIR_md2"},
    {"1.3.14.7.2.3.1", "OIWDIR_md2RSA", "OIWDIR_md2RSA"},
    {"2.16.840.1.101.2.1", "INFOSEC", "INFOSEC"},
    {"2.16.840.1.101.2.1.1.1", "INFOSEC_sdnsSignature", "INFOSEC_sdnsSignature"},
    {"2.16.840.1.101.2.1.1.2", "INFOSEC_mosaicSignature", "INFOSEC_mosaicSignature"},
    {"2.16.840.1.101.2.1.1.3", "INFOSEC_sdnsConfidentiality", "INFOSEC_sdnsConfidentiality"},
    {"2.16.840.1.101.2.1.1.4", "INFOSEC_mosaicConfidentiality", "INFOSEC_mosaicConfidentiality"},
    {"2.16.840.1.101.2.1.1.5", "INFOSEC_sdnsIntegrity", "INFOSEC_sdnsIntegrity"},
    {"2.16.840.1.101.2.1.1.6", "INFOSEC_mosaicIntegrity", "INFOSEC_mosaicIntegrity"},
    {"2.16.840.1.101.2.1.1.7", "INFOSEC_sdnsTokenProtection", "INFOSEC_sdnsTokenProtection"},
    {"2.16.840.1.101.2.1.1.8", "INFOSEC_mosaicTokenProtection", "INFOSEC_mosaicTokenProtection"},
    {"2.16.840.1.101.2.1.1.9", "INFOSEC_sdnsKeyManagement", "INFOSEC_sdnsKeyManagement"},
    {"2.16.840.1.101.2.1.1.10", "INFOSEC_mosaicKeyManagement", "INFOSEC_mosaicKeyManagement"},
    {"2.16.840.1.101.2.1.1.11", "INFOSEC_sdnsKMandSig", "INFOSEC_sdnsKMandSig"},
    {"2.16.840.1.101.2.1.1.12", "INFOSEC_mosaicKMandSig", "INFOSEC_mosaicKMandSig"},
    {"2.16.840.1.101.2.1.1.13", "INFOSEC_SuiteASignature", "INFOSEC_SuiteASignature"},
    {"2.16.840.1.101.2.1.1.14", "INFOSEC_SuiteAConfidentiality", "INFOSEC_SuiteAConfidentiality"},
    {"2.16.840.1.101.2.1.1.15", "INFOSEC_SuiteAIntegrity", "INFOSEC_SuiteAIntegrity"},
    {"2.16.840.1.101.2.1.1.16", "INFOSEC_SuiteATokenProtection", "INFOSEC_SuiteATokenProtection"},
    {"2.16.840.1.101.2.1.1.17", "INFOSEC_SuiteAKeyManagement", "INFOSEC_SuiteAKeyManagement"},
    {"2.16.840.1.101.2.1.1.18", "INFOSEC_SuiteAKMandSig", "INFOSEC_SuiteAKMandSig"},
    {"2.16.840.1.101.2.1.1.19", "INFOSEC_mosaicUpdatedSig", "INFOSEC_mosaicUpdatedSig"},
    {"2.16.840.1.101.2.1.1.20", "INFOSEC_mosaicKMandUpdSig", "INFOSEC_mosaicKMandUpdSig"},
    {"2.16.840.1.101.2.1.1.21", "INFOSEC_mosaicUpdatedInteg", "INFOSEC_mosaicUpdatedInteg"},
    {"1.2.840.10045.2.1", "IdEcPublicKey", nullptr},
    {"1.2.840.10045.4.1", "ECDSA_SHA1", nullptr},
    {"1.2.840.10045.4.3.2", "ECDSA_SHA256", nullptr},
    {"1.2.840.10045.4.3.3", "ECDSA_SHA384", nullptr},
    {"1.2.840.10045.4.3.4", "ECDSA_SHA512", nullptr},
};

struct OidTextRow {
  const char* oid;
  const char* text;
};

// The algorithm-name table begins with the digests and ends with AES.
inline constexpr OidTextRow kDigestAlgorithmNames[] = {
    {"1.2.840.113549.2.5", "md5"},        {"1.3.14.3.2.26", "sha1"},
    {"2.16.840.1.101.3.4.2.1", "sha256"}, {"2.16.840.1.101.3.4.2.2", "sha384"},
    {"2.16.840.1.101.3.4.2.3", "sha512"}, {"2.16.840.1.101.3.4.2.4", "sha224"},
    {"1.2.840.113549.2.2", "md2"},
};
inline constexpr OidTextRow kAesAlgorithmNames[] = {
    {"2.16.840.1.101.3.4.1", "ALG_AES"},        {"2.16.840.1.101.3.4.1.2", "AES_128"},
    {"2.16.840.1.101.3.4.1.22", "AES_192"},     {"2.16.840.1.101.3.4.1.42", "AES_256"},
    {"2.16.840.1.101.3.4.1.6", "AES_GCM_128"},  {"2.16.840.1.101.3.4.1.26", "AES_GCM_192"},
    {"2.16.840.1.101.3.4.1.46", "AES_GCM_256"},
};

// DigestRow names the digest of an OID by its registry row, whose name and engine id the lookups return.
struct DigestRow {
  const char* oid;
  int32_t hash_id;
};

// Digest and signature OIDs with the digest they name. MD2's own OID has no row (only md2WithRSA).
inline constexpr DigestRow kDigests[] = {
    {"1.3.14.3.2.26", crypto::kHashSha1},
    {"1.3.14.3.2.29", crypto::kHashSha1},
    {"1.2.840.113549.1.1.2", crypto::kHashMd2},
    {"1.2.840.113549.1.1.3", crypto::kHashMd4},
    {"1.2.840.113549.1.1.4", crypto::kHashMd5},
    {"1.2.840.113549.1.1.5", crypto::kHashSha1},
    {"1.2.840.113549.1.1.11", crypto::kHashSha256},
    {"1.2.840.113549.1.1.12", crypto::kHashSha384},
    {"1.2.840.113549.1.1.13", crypto::kHashSha512},
    {"1.2.840.113549.1.1.14", crypto::kHashSha224},
    {"1.2.840.113549.2.5", crypto::kHashMd5},
    {"1.2.840.10040.4.3", crypto::kHashSha1},
    {"1.2.840.10045.4.1", crypto::kHashSha1},
    {"1.2.840.10045.4.3.1", crypto::kHashSha224},
    {"1.2.840.10045.4.3.2", crypto::kHashSha256},
    {"1.2.840.10045.4.3.3", crypto::kHashSha384},
    {"1.2.840.10045.4.3.4", crypto::kHashSha512},
    {"2.16.840.1.101.3.4.2.4", crypto::kHashSha224},
    {"2.16.840.1.101.3.4.2.1", crypto::kHashSha256},
    {"2.16.840.1.101.3.4.2.2", crypto::kHashSha384},
    {"2.16.840.1.101.3.4.2.3", crypto::kHashSha512},
};

// The NIST DSA signature OIDs; any other OID on a DSA signature is taken as dsa-with-SHA1.
inline constexpr DigestRow kDsaDigests[] = {
    {"2.16.840.1.101.3.4.3.1", crypto::kHashSha224},
    {"2.16.840.1.101.3.4.3.2", crypto::kHashSha256},
};

}  // namespace velmora::pki::oid_rows
