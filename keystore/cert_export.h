// Writing the selected certificate and/or key of a CertStoreHandle in a format chosen by name: PKCS #12,
// PKCS #7 bundle, X.509 and key PEM forms, PKCS #1 and PKCS #8, OpenSSH and SSH2 forms, JSON Web Key,
// PuTTY key and XML key values. One thread at a time per handle.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/str_list.h"
#include "keystore/certificate_source.h"

namespace velmora::keystore {

// kCannotExport: the selected content has no form in the format asked for.
inline constexpr int kCannotExport = 288;
// kUnsupportedExportFormat: a format name no writer takes.
inline constexpr int kUnsupportedExportFormat = 292;
// kAttributeCountMismatch: the attribute name and value lists differ in count.
inline constexpr int kAttributeCountMismatch = 202;
// kDefaultSshLineWidth: the line width of the armoured SSH forms unless the format name gives one.
inline constexpr uint32_t kDefaultSshLineWidth = 72;

// ExportCertificateKey sets out to the selected certificate or key of handle in format (letter case
// ignored): "Auto", "PFX"/"PKCS12", "P7B", "X509", "XML", "PKCS8", "PEM", "PKCS1", names beginning with
// "openssh", "ssh2publickey" or "ssh2privatekey" (an item after "|" gives the armour's line width),
// "JWK" and "PPK". include_private asks for the private key. The value of the attribute "Comment" is the
// comment of the SSH and PuTTY forms; attributes named "JWK_..." go to the JSON Web Key. The two
// algorithm OIDs are those of the PKCS #12 builder. 0; 288 with a text when the content cannot be
// written in the format; 292 with "Unsupported export format: <name>."; 202 for unequal attribute
// lists; a writer's code. Texts are stored only when error_text is given.
[[nodiscard]] int ExportCertificateKey(CertStoreHandle& handle, const char* format, bool include_private,
                                       const char* password, const core::StrList& attribute_names,
                                       const core::StrList& attribute_values, const char* key_algorithm_oid,
                                       const char* cert_algorithm_oid, core::Buffer& out,
                                       core::BufferCore* error_text);

}  // namespace velmora::keystore
