// The certificate a component works with, chosen from its four settings (store kind, store, password,
// subject) or from encoded bytes: in a system store of the platform's certificate functions, or in a
// file or data store read by the certificate loader. A system certificate is moved, with its private
// key when the platform lets it be exported, into the component's loaded store.
//
// Results: 0; 202 for a store kind out of range; 271 when a store cannot be opened or is of the wrong
// kind; 272 when no certificate matches; the loader's codes; platform last-error values for a platform
// call that fails. Texts go to the component's last-error text. One thread at a time per component.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/str_list.h"
#include "crypto/objects/crypto_component.h"
#include "keystore/certificate_source.h"
#include "platform/crypto/cert_types.h"

namespace velmora::keystore {

// Store kinds of a component; the numbers are part of the interface. 2 to 23 are the loader's kinds
// (cert_loader.h); 99 lets the loader decide between a file and data.
inline constexpr int32_t kStoreKindUser = 0;
inline constexpr int32_t kStoreKindMachine = 1;
inline constexpr int32_t kStoreKindDetect = 99;
// kStoreKindOutOfRange: a system-store operation asked for a kind above 1.
inline constexpr int kStoreKindOutOfRange = 202;

// LoadedStoreOf is the component's loaded store, made empty when it has none; null when memory runs out.
CertStoreHandle* LoadedStoreOf(component::CertKeyComponent& component);

// FindByEncodedCertificate selects, in the component's loaded store, the certificate that data holds in
// any form the loader reads (DER, PEM, base64): inside a single PKCS #12 or PKCS #7 entry (0 when found),
// else the first entry with that certificate (its index). -1, the selection unchanged, when the store has
// no selected certificate, data holds no certificate, or the certificate is not in the store.
int FindByEncodedCertificate(component::CertKeyComponent& component, const uint8_t* data, int32_t length);

// CheckStoreKind is 0 when the loaded store's detected kind suits the requested kind, else 271.
int CheckStoreKind(component::CertKeyComponent& component, int32_t requested);

// OpenSystemStoreAndFind opens the named system store of the current user (kind 0) or of the machine
// (kind 1), runs FindCertificateInStore in it and closes it. 202 for a kind above 1; 0 when neither a
// subject nor data is given; 271 with "The certificate store could not be opened (0x<error>)." when the
// store cannot be opened.
int OpenSystemStoreAndFind(component::CertKeyComponent& component, int32_t kind, const char* store_name,
                           const char* subject, const uint8_t* data, int32_t length,
                           const platform::CERT_CONTEXT** out, bool require_private_key);

// FindCertificateInStore finds, in an open store, the certificate a subject text names ("Thumbprint=<hex>"
// for an MD5, SHA-1 or SHA-256 thumbprint; "*" for any; a distinguished name or part of one) or whose
// encoding equals the given certificate data (a certificate in any form the loader reads). With
// require_private_key, "*" and data take only a certificate with a key. Exact and canonical matches come
// first; the platform's substring search only proposes candidates, each taken only when its attributes
// hold the wanted ones as whole values. A subject beginning "CN=" that matches nothing is tried as the
// common name alone. *out (freed by the caller) gets the certificate found. 0, or 272 with "The
// certificate could not be found (0x<error>)." when the last-error text is empty.
int FindCertificateInStore(component::CertKeyComponent& component, platform::HCERTSTORE store, const char* subject,
                           const uint8_t* data, int32_t length, bool require_private_key,
                           const platform::CERT_CONTEXT** out);

// LoadSystemCertificate loads context, with its private key when that can be exported, into handle. A
// certificate whose key is missing or refused arrives alone; another export failure leaves handle as it
// was and gives 0. 271 when no memory store can be made; a platform error value with "Cannot add
// certificate to store (error 0x<error>)." or "Cannot export certificate (error 0x<error>).".
int LoadSystemCertificate(component::CertKeyComponent& component, CertStoreHandle& handle,
                          const platform::CERT_CONTEXT* context);

// EnumerateStoreCertificates appends the encoding of every certificate of the component's key store to
// out; nothing when it holds none. 0, or 200 when memory runs out.
int EnumerateStoreCertificates(component::CertKeyComponent& holder, core::StrList& out);

// SetCertificateSubject chooses the component's certificate by subject in its configured store; log
// (optional) receives the loader's transcript. SetCertificateEncoded chooses it by its encoding, in the
// configured store when it is there (FindByEncodedCertificate for PKCS #12 and PKCS #7 stores), else taking
// the bytes themselves as the store.
int SetCertificateSubject(component::CertKeyComponent& component, const char* subject, core::BufferCore* log);
int SetCertificateEncoded(component::CertKeyComponent& component, const uint8_t* der, int32_t length);

// CopyCertificateHolder makes target's certificate settings, loaded store and certificate context copies
// of source's (the context duplicated). A copy that runs out of memory leaves target partly copied.
void CopyCertificateHolder(component::CertKeyComponent& target, const component::CertKeyComponent& source);

// IsSelectedKeyRsa / IsSelectedKeyDsa: the loaded store's selected key is of that type.
bool IsSelectedKeyRsa(const component::CertKeyComponent& component);
bool IsSelectedKeyDsa(const component::CertKeyComponent& component);

}  // namespace velmora::keystore
