// The "crypt32" module's function list, and the entry points that no part of the library calls: each is
// counted and fails with last error E_NOTIMPL.
#include <iterator>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/crypt32_modules.h"
#include "platform/last_error.h"
#include "platform/module_procs.h"

namespace velmora::platform {

namespace {

// NotImpl counts the call and sets the last error; it returns 0 (FALSE, null, length 0).
int NotImpl(const char* name) {
  CountCryptoCall(name);
  SetLastError(kENotImpl);
  return 0;
}

#define VLM_CRYPT32_PROC(name) \
  { #name, []() -> void* { return reinterpret_cast<void*>(&name); } }

// The functions in the order callers resolve them. "CryptAcquireContextU" is not among them: the
// platform's module exports no function of that name.
constexpr ProcEntry kCrypt32Procs[] = {
    VLM_CRYPT32_PROC(CertDuplicateCertificateContext),
    VLM_CRYPT32_PROC(CertFreeCertificateContext),
    VLM_CRYPT32_PROC(CertCloseStore),
    VLM_CRYPT32_PROC(CertNameToStrA),
    VLM_CRYPT32_PROC(CertFindCertificateInStore),
    VLM_CRYPT32_PROC(CertStrToNameA),
    VLM_CRYPT32_PROC(CertOpenSystemStoreA),
    VLM_CRYPT32_PROC(CertOpenStore),
    VLM_CRYPT32_PROC(CertVerifyCertificateChainPolicy),
    VLM_CRYPT32_PROC(CertGetCertificateChain),
    VLM_CRYPT32_PROC(CertFreeCertificateChain),
    VLM_CRYPT32_PROC(CertEnumSystemStore),
    VLM_CRYPT32_PROC(CertGetPublicKeyLength),
    VLM_CRYPT32_PROC(CertGetIntendedKeyUsage),
    VLM_CRYPT32_PROC(CertCreateCertificateContext),
    VLM_CRYPT32_PROC(CertGetCertificateContextProperty),
    VLM_CRYPT32_PROC(CryptEncryptMessage),
    VLM_CRYPT32_PROC(CryptSignMessage),
    VLM_CRYPT32_PROC(CryptSignAndEncryptMessage),
    VLM_CRYPT32_PROC(CryptDecryptMessage),
    VLM_CRYPT32_PROC(CryptDecryptAndVerifyMessageSignature),
    VLM_CRYPT32_PROC(CryptVerifyDetachedMessageSignature),
    VLM_CRYPT32_PROC(CryptVerifyMessageSignature),
    VLM_CRYPT32_PROC(CertDeleteCertificateFromStore),
    VLM_CRYPT32_PROC(PFXImportCertStore),
    VLM_CRYPT32_PROC(PFXExportCertStore),
    VLM_CRYPT32_PROC(CryptAcquireCertificatePrivateKey),
    VLM_CRYPT32_PROC(CertSetCertificateContextProperty),
    VLM_CRYPT32_PROC(CertAddEncodedCertificateToStore),
    VLM_CRYPT32_PROC(CertAddCertificateContextToStore),
    VLM_CRYPT32_PROC(CryptSignAndEncodeCertificate),
    VLM_CRYPT32_PROC(CryptExportPublicKeyInfo),
    VLM_CRYPT32_PROC(CryptEncodeObject),
    VLM_CRYPT32_PROC(CryptDecodeObject),
    VLM_CRYPT32_PROC(CryptFindOIDInfo),
    VLM_CRYPT32_PROC(CryptMsgOpenToDecode),
    VLM_CRYPT32_PROC(CryptMsgUpdate),
    VLM_CRYPT32_PROC(CryptMsgGetParam),
    VLM_CRYPT32_PROC(CryptMsgClose),
    VLM_CRYPT32_PROC(CryptVerifyCertificateSignature),
    VLM_CRYPT32_PROC(CertVerifyTimeValidity),
    VLM_CRYPT32_PROC(CryptImportPublicKeyInfo),
};

#undef VLM_CRYPT32_PROC

}  // namespace

ProcList Crypt32Procs() { return {kCrypt32Procs, static_cast<int>(std::size(kCrypt32Procs))}; }

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV, const char*) {
  NotImpl("CertOpenSystemStoreA");
  return nullptr;
}

BOOL CertEnumSystemStore(DWORD, void*, void*, CertEnumSystemStoreCallback) { return NotImpl("CertEnumSystemStore"); }

DWORD CertGetPublicKeyLength(DWORD, const CERT_PUBLIC_KEY_INFO*) {
  return static_cast<DWORD>(NotImpl("CertGetPublicKeyLength"));
}

BOOL CertGetIntendedKeyUsage(DWORD, const CERT_INFO*, uint8_t*, DWORD) { return NotImpl("CertGetIntendedKeyUsage"); }

BOOL CryptEncryptMessage(const CRYPT_ENCRYPT_MESSAGE_PARA*, DWORD, PCCERT_CONTEXT*, const uint8_t*, DWORD, uint8_t*,
                         DWORD*) {
  return NotImpl("CryptEncryptMessage");
}

BOOL CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA*, BOOL, DWORD, const uint8_t**, DWORD*, uint8_t*, DWORD*) {
  return NotImpl("CryptSignMessage");
}

BOOL CryptSignAndEncryptMessage(const CRYPT_SIGN_MESSAGE_PARA*, const CRYPT_ENCRYPT_MESSAGE_PARA*, DWORD,
                                PCCERT_CONTEXT*, const uint8_t*, DWORD, uint8_t*, DWORD*) {
  return NotImpl("CryptSignAndEncryptMessage");
}

BOOL CryptDecryptMessage(const CRYPT_DECRYPT_MESSAGE_PARA*, const uint8_t*, DWORD, uint8_t*, DWORD*,
                         PCCERT_CONTEXT* exchange_cert) {
  if (exchange_cert != nullptr) *exchange_cert = nullptr;
  return NotImpl("CryptDecryptMessage");
}

BOOL CryptDecryptAndVerifyMessageSignature(const CRYPT_DECRYPT_MESSAGE_PARA*, const CRYPT_VERIFY_MESSAGE_PARA*, DWORD,
                                           const uint8_t*, DWORD, uint8_t*, DWORD*, PCCERT_CONTEXT* exchange_cert,
                                           PCCERT_CONTEXT* signer) {
  if (exchange_cert != nullptr) *exchange_cert = nullptr;
  if (signer != nullptr) *signer = nullptr;
  return NotImpl("CryptDecryptAndVerifyMessageSignature");
}

BOOL CryptVerifyDetachedMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA*, DWORD, const uint8_t*, DWORD, DWORD,
                                         const uint8_t**, DWORD*, PCCERT_CONTEXT* signer) {
  if (signer != nullptr) *signer = nullptr;
  return NotImpl("CryptVerifyDetachedMessageSignature");
}

BOOL CryptVerifyMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA*, DWORD, const uint8_t*, DWORD, uint8_t*, DWORD*,
                                 PCCERT_CONTEXT* signer) {
  if (signer != nullptr) *signer = nullptr;
  return NotImpl("CryptVerifyMessageSignature");
}

BOOL CryptSignAndEncodeCertificate(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE, DWORD, DWORD, const char*, const void*,
                                   const CRYPT_ALGORITHM_IDENTIFIER*, const void*, uint8_t*, DWORD*) {
  return NotImpl("CryptSignAndEncodeCertificate");
}

BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE, DWORD, DWORD, CERT_PUBLIC_KEY_INFO*, DWORD*) {
  return NotImpl("CryptExportPublicKeyInfo");
}

BOOL CryptEncodeObject(DWORD, const char*, const void*, uint8_t*, DWORD*) { return NotImpl("CryptEncodeObject"); }

BOOL CryptDecodeObject(DWORD, const char*, const uint8_t*, DWORD, DWORD, void*, DWORD*) {
  return NotImpl("CryptDecodeObject");
}

const CRYPT_OID_INFO* CryptFindOIDInfo(DWORD, const void*, DWORD) {
  NotImpl("CryptFindOIDInfo");
  return nullptr;
}

HCRYPTMSG CryptMsgOpenToDecode(DWORD, DWORD, DWORD, HCRYPTPROV, CERT_INFO*, CMSG_STREAM_INFO*) {
  NotImpl("CryptMsgOpenToDecode");
  return nullptr;
}

BOOL CryptMsgUpdate(HCRYPTMSG, const uint8_t*, DWORD, BOOL) { return NotImpl("CryptMsgUpdate"); }

BOOL CryptMsgGetParam(HCRYPTMSG, DWORD, DWORD, void*, DWORD*) { return NotImpl("CryptMsgGetParam"); }

BOOL CryptMsgClose(HCRYPTMSG) { return NotImpl("CryptMsgClose"); }

BOOL CryptVerifyCertificateSignature(HCRYPTPROV, DWORD, const uint8_t*, DWORD, CERT_PUBLIC_KEY_INFO*) {
  return NotImpl("CryptVerifyCertificateSignature");
}

BOOL CryptImportPublicKeyInfo(HCRYPTPROV, DWORD, CERT_PUBLIC_KEY_INFO*, HCRYPTKEY* key) {
  if (key != nullptr) *key = 0;
  return NotImpl("CryptImportPublicKeyInfo");
}

}  // namespace velmora::platform
