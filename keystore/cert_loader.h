// The certificate loader: one input (bytes, text, or the name of a file) read into the entries of a
// CertStoreHandle by trying the readers in a fixed order. PEM input is read block by block by its tag;
// other input is tried as base64, PKCS #12, X.509, PKCS #7 bundle, XML key values, PuTTY key, JSON Web
// Key and one-line SSH public keys. While it works the loader can append one transcript line per attempt
// (each ending in CR LF) to a caller's log.
//
// Texts quote at most the first 32 characters of a line of input, so a loaded file's content does not
// travel into error texts or transcripts. A file is opened only when the caller says the input may name
// one. Entries appended before a failure stay in the handle. One thread at a time per handle.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "keystore/certificate_source.h"

namespace velmora::keystore {

// kStoreNotOpened: a wrong password, an unsupported algorithm on the PEM path, or nothing recognised.
inline constexpr int kStoreNotOpened = 271;
// kLoaderFipsRefused: an input refused in FIPS-compliant mode.
inline constexpr int kLoaderFipsRefused = 9999;
// kLoaderUnsupportedAlgorithm: a cipher or algorithm not available here, on the non-PEM path.
inline constexpr int kLoaderUnsupportedAlgorithm = 2001;
// kLoaderMaxFileNameLength: inputs of this length or more are never taken as a file name.
inline constexpr int32_t kLoaderMaxFileNameLength = 1024;
// kLoaderQuoteLength: the most characters of input a text quotes.
inline constexpr int32_t kLoaderQuoteLength = 32;

// Detected kinds: the first of each pair for a file, the second for data.
inline constexpr int32_t kKindPfxFile = 2;
inline constexpr int32_t kKindPfxData = 3;
inline constexpr int32_t kKindCertificateFile = 6;
inline constexpr int32_t kKindCertificateData = 7;
inline constexpr int32_t kKindSshPublicKeyData = 10;
inline constexpr int32_t kKindP7bFile = 11;
inline constexpr int32_t kKindP7bData = 12;
inline constexpr int32_t kKindSshPublicKeyFile = 13;
inline constexpr int32_t kKindPuttyFile = 14;
inline constexpr int32_t kKindPuttyData = 15;
inline constexpr int32_t kKindXmlFile = 16;
inline constexpr int32_t kKindXmlData = 17;
inline constexpr int32_t kKindJwkFile = 18;
inline constexpr int32_t kKindJwkData = 19;
inline constexpr int32_t kKindSecurityKey = 20;

// LoadCertificate loads the input into handle with LoadCertificateFromInput, then records it: for a file
// the file name and the whole file again as store data, else length bytes of data as store data (none
// for a negative length); the detected kind and the password (null as ""). A nonzero load result is
// returned at once.
[[nodiscard]] int LoadCertificate(CertStoreHandle& handle, const void* data, int32_t length, bool may_be_file,
                                  const char* password, core::BufferCore* error_text, core::BufferCore* log);

// LoadCertificateFromInput clears the handle's entries and selection and reads the input into them. A
// negative length takes data as a NUL-terminated text. With may_be_file set, an input shorter than 1024
// bytes that names a readable file is replaced by the file's bytes. log, is_file, detected_kind and
// error_text may be null. 0; 271 with a text for a wrong PKCS #12 password, an unsupported PEM cipher or
// an unrecognised input; 9999 with a text for a FIPS refusal; 2001 for an unsupported algorithm on the
// non-PEM path (271 on the PEM path when error_text is given); the code of a reader or of file access.
[[nodiscard]] int LoadCertificateFromInput(CertStoreHandle& handle, const void* data, int32_t length, bool may_be_file,
                                           const char* password, core::BufferCore* log, int32_t* is_file,
                                           int32_t* detected_kind, core::BufferCore* error_text);

}  // namespace velmora::keystore
