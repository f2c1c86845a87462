// The transport-security credentials of a socket component: the credential description built from the
// component's settings, the one-entry cache that lets an acquisition with unchanged settings keep its
// handle, the accepted algorithm list, and the text of what a connection negotiated. All of it runs on the
// component's thread and reaches the security provider only through the process-wide function table.
#pragma once

#include <cstdint>

#include "component/socket_base.h"
#include "component/tls_services.h"
#include "core/buffer.h"

namespace velmora::component {

constexpr int kSecurityLibraryMissing = 270;
constexpr int kCredentialsNotAcquired = 273;
constexpr const char* kTextSecurityLibraryMissing = "The security library could not be loaded";

// At most this many algorithm ids go into a credential description.
constexpr int32_t kMaxCalgIds = 32;

// TlsCredentialSettings is what a credential handle was or will be acquired with.
struct TlsCredentialSettings {
  int32_t direction = 0;
  const platform::CERT_CONTEXT* certificate = nullptr;
  uint32_t protocols = 0;
  int32_t strength = 0;
  const core::BufferCore* algorithms = nullptr;
  const core::BufferCore* provider = nullptr;
  uint8_t use_default = 0;
  SecurityHandle handle;
};

// AcquireTlsCredentials obtains the component's credential handle for direction (1 server, 2 client) from
// its settings and its certificate (DefaultHook16). With ReuseSSLSession on, a held handle acquired with
// the same settings is kept and *reused (optional) becomes 1. 0 on success; 270 when the provider has no
// acquisition entry, 273 when it refuses (the last-error text names its status); no handle is held after
// a failure.
int AcquireTlsCredentials(SocketBase& socket, int32_t direction, uint8_t* reused);

// ParseCalgList reads the component's accepted algorithm list (";"-separated CALG_ names, spaces around a
// name ignored, unknown names skipped) into ids, at most kMaxCalgIds of them; *count receives how many.
void ParseCalgList(SocketBase& socket, uint32_t (&ids)[kMaxCalgIds], int32_t* count);

// CalgName looks up one CALG_ name without regard to case: 1 with *id set, or 0.
int CalgName(const char* name, uint32_t* id);

// TlsSessionCacheMatch is 1 when the entry holds exactly these settings (texts compared with case), else 0.
int TlsSessionCacheMatch(const TlsSessionCache& entry, const TlsCredentialSettings& settings);
// TlsSessionCacheStore records the settings in the entry: the algorithm list, then the provider name (a
// failure to store either is returned at once, leaving the rest as it was), then the numbers and the
// handle. 0 on success.
int TlsSessionCacheStore(TlsSessionCache& entry, const TlsCredentialSettings& settings);

// SetErrorTextWithCode sets the component's last-error text to prefix, code as "0x%x", and suffix (optional).
void SetErrorTextWithCode(ComponentBase& component, const char* prefix, uint32_t code, const char* suffix);

// SslConnectionInfoText writes "Negotiated SSL parameters: " and what the security context negotiated
// into out, and keeps the protocol, cipher and key-exchange names and strengths in the component's TLS
// state. 0 with the full text; 1 when the provider has no connection information for the context (the text
// then ends "Connection info not available."); 270 with its last-error text when the provider has no query
// entry.
int SslConnectionInfoText(SocketBase& socket, const SecurityHandle& context, core::Buffer& out);

}  // namespace velmora::component
