#include "platform/crypto/secur32_modules.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/secur32_internal.h"
#include "platform/module_procs.h"
#include "platform/text.h"

namespace velmora::platform {

namespace {

// The second word of a handle tells credentials from contexts; the first is a number from a counter, never
// reused, so a stale handle is always recognised.
constexpr uint64_t kCredentialTag = 0x5EC0C8ED;
constexpr uint64_t kContextTag = 0x5EC0C07E;
constexpr int kHandshakeTimeoutSeconds = 10;

constexpr const char* kPackages[] = {"Microsoft Unified Security Protocol Provider", "Schannel",
                                     "Microsoft SSL 3.0"};

struct Credential {
  SslCtxPtr ctx;
  bool outbound;
};

// A context negotiated by a handshake holds its SSL object; a made-up one holds its answer.
struct Context {
  SslPtr ssl;
  SecPkgContext_ConnectionInfo info;
};

struct HandleTable {
  std::mutex mutex;
  std::map<uint64_t, Credential> credentials;
  std::map<uint64_t, Context> contexts;
  uint64_t next = 1;
  test::ReceivedCredential received;
};

// Never destroyed: a component released during process exit may still close its handle here.
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

SECURITY_STATUS UnsupportedSecurityFunction() {
  CountCryptoCall("UnsupportedSecurityFunction");
  return kSecEUnsupportedFunction;
}

SecurityFunctionTableA MakeTable() {
  SecurityFunctionTableA table{};
  void* unsupported = reinterpret_cast<void*>(&UnsupportedSecurityFunction);
  table.version = 4;
  table.enumerate_security_packages = unsupported;
  table.query_credentials_attributes = unsupported;
  table.acquire_credentials_handle = &AcquireCredentialsHandleA;
  table.free_credentials_handle = &FreeCredentialsHandle;
  table.initialize_security_context = unsupported;
  table.accept_security_context = unsupported;
  table.complete_auth_token = unsupported;
  table.delete_security_context = &DeleteSecurityContext;
  table.apply_control_token = unsupported;
  table.query_context_attributes = &QueryContextAttributesA;
  // The reserved members (the 7th and 8th and the 12th of these) stay zero.
  for (size_t i = 0; i < std::size(table.further); ++i) {
    if (i != 6 && i != 7 && i != 11) table.further[i] = unsupported;
  }
  return table;
}

bool IsPackage(const char* name) {
  if (name == nullptr) return false;
  for (const char* package : kPackages) {
    if (CompareAsciiNoCase(name, package) == 0) return true;
  }
  return false;
}

// Record keeps a copy of a description as it arrived.
void Record(const char* package, ULONG use, const void* auth_data) {
  test::ReceivedCredential r;
  r.present = true;
  r.package = package != nullptr ? package : "(null)";
  r.credential_use = use;
  r.has_description = auth_data != nullptr;
  if (auth_data != nullptr) std::memcpy(&r.version, auth_data, sizeof(r.version));
  const CERT_CONTEXT* const* certificates = nullptr;
  DWORD certificate_count = 0;
  if (r.version == kSchannelCredVersion) {
    const auto* d = static_cast<const SCHANNEL_CRED*>(auth_data);
    r.flags = d->flags;
    certificates = d->creds;
    certificate_count = d->cred_count;
    r.enabled_protocols = d->enabled_protocols;
    r.minimum_cipher_strength = d->minimum_cipher_strength;
    if (d->supported_algs != nullptr) r.algorithms.assign(d->supported_algs, d->supported_algs + d->supported_alg_count);
  } else if (r.version == kSchCredentialsVersion) {
    const auto* d = static_cast<const SCH_CREDENTIALS*>(auth_data);
    r.flags = d->flags;
    certificates = d->creds;
    certificate_count = d->cred_count;
    for (DWORD i = 0; d->tls_parameters != nullptr && i < d->tls_parameter_count; ++i) {
      r.disabled_protocols.push_back(d->tls_parameters[i].disabled_protocols);
    }
  }
  if (certificates != nullptr) r.certificates.assign(certificates, certificates + certificate_count);
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.received = std::move(r);
}

Context* FindContext(HandleTable& table, const SecHandle* handle) {
  if (handle == nullptr || handle->upper != kContextTag) return nullptr;
  auto found = table.contexts.find(handle->lower);
  return found != table.contexts.end() ? &found->second : nullptr;
}

SecHandle AddContext(Context context) {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  const uint64_t id = table.next++;
  table.contexts.emplace(id, std::move(context));
  return {id, kContextTag};
}

struct FdClose {
  int fd;
  ~FdClose() {
    if (fd >= 0) (void)close(fd);
  }
};

// ConnectLoopback opens a TCP connection to 127.0.0.1:port whose reads and writes give up after the
// handshake time limit; -1 on failure.
int ConnectLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval limit{kHandshakeTimeoutSeconds, 0};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0 ||
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    (void)close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

SecurityFunctionTableA* InitSecurityInterfaceA() {
  CountCryptoCall("InitSecurityInterfaceA");
  static SecurityFunctionTableA table = MakeTable();
  return &table;
}

SECURITY_STATUS AcquireCredentialsHandleA(const char* /*principal*/, const char* package, ULONG credential_use,
                                          void* /*logon_id*/, const void* auth_data, void* /*get_key_fn*/,
                                          void* /*get_key_argument*/, SecHandle* credential, int64_t* expiry) {
  CountCryptoCall("AcquireCredentialsHandleA");
  Record(package, credential_use, auth_data);
  if (credential == nullptr) return kSecEInvalidParameter;
  if (!IsPackage(package)) return kSecESecpkgNotFound;
  if (credential_use != kSecpkgCredInbound && credential_use != kSecpkgCredOutbound) return kSecEInvalidParameter;
  CredentialRequest request;
  SECURITY_STATUS status = ReadCredentialDescription(auth_data, credential_use == kSecpkgCredOutbound, &request);
  SslCtxPtr ctx;
  if (status == kSecEOk) status = MakeCredentialContext(request, &ctx);
  if (status != kSecEOk) return status;
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  const uint64_t id = table.next++;
  table.credentials.emplace(id, Credential{std::move(ctx), request.outbound});
  *credential = {id, kCredentialTag};
  if (expiry != nullptr) *expiry = INT64_MAX;
  return kSecEOk;
}

SECURITY_STATUS FreeCredentialsHandle(SecHandle* credential) {
  CountCryptoCall("FreeCredentialsHandle");
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (credential == nullptr || credential->upper != kCredentialTag) return kSecEInvalidHandle;
  return table.credentials.erase(credential->lower) != 0 ? kSecEOk : kSecEInvalidHandle;
}

SECURITY_STATUS DeleteSecurityContext(SecHandle* context) {
  CountCryptoCall("DeleteSecurityContext");
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (FindContext(table, context) == nullptr) return kSecEInvalidHandle;
  table.contexts.erase(context->lower);
  return kSecEOk;
}

SECURITY_STATUS QueryContextAttributesA(SecHandle* context, ULONG attribute, void* buffer) {
  CountCryptoCall("QueryContextAttributesA");
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  Context* found = FindContext(table, context);
  if (found == nullptr) return kSecEInvalidHandle;
  if (attribute != kSecpkgAttrConnectionInfo) return kSecEUnsupportedFunction;
  if (buffer == nullptr) return kSecEInvalidParameter;
  const SecPkgContext_ConnectionInfo info = found->ssl != nullptr ? ConnectionInfoOf(found->ssl.get()) : found->info;
  std::memcpy(buffer, &info, sizeof(info));
  return kSecEOk;
}

ProcList Secur32Procs() {
  static constexpr ProcEntry kProcs[] = {
      {"InitSecurityInterfaceA", []() -> void* { return reinterpret_cast<void*>(&InitSecurityInterfaceA); }},
  };
  return {kProcs, static_cast<int>(std::size(kProcs))};
}

namespace test {

ReceivedCredential LastReceivedCredential() {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.received;
}

void ResetReceivedCredential() {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.received = ReceivedCredential{};
}

SECURITY_STATUS HandshakeOverLoopback(const SecHandle* credential, uint16_t port, SecHandle* context) {
  if (context == nullptr) return kSecEInvalidParameter;
  SslPtr ssl;
  {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (credential == nullptr || credential->upper != kCredentialTag) return kSecEInvalidHandle;
    auto found = table.credentials.find(credential->lower);
    if (found == table.credentials.end() || !found->second.outbound) return kSecEInvalidHandle;
    ssl.reset(SSL_new(found->second.ctx.get()));  // holds its own reference to the context
  }
  if (ssl == nullptr) return kSecEInsufficientMemory;
  FdClose connection{ConnectLoopback(port)};
  if (connection.fd < 0 || SSL_set_fd(ssl.get(), connection.fd) != 1) {
    ERR_clear_error();
    return kSecEInternalError;
  }
  const bool done = SSL_connect(ssl.get()) == 1;
  ERR_clear_error();
  if (!done) return kSecEIllegalMessage;
  // The connection closes here; what it negotiated stays readable from the SSL object.
  *context = AddContext(Context{std::move(ssl), {}});
  return kSecEOk;
}

SECURITY_STATUS AcceptOverLoopback(const SecHandle* credential, int listening_fd, SecHandle* context) {
  if (context == nullptr) return kSecEInvalidParameter;
  SslPtr ssl;
  {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (credential == nullptr || credential->upper != kCredentialTag) return kSecEInvalidHandle;
    auto found = table.credentials.find(credential->lower);
    if (found == table.credentials.end() || found->second.outbound) return kSecEInvalidHandle;
    ssl.reset(SSL_new(found->second.ctx.get()));
  }
  if (ssl == nullptr) return kSecEInsufficientMemory;
  pollfd waiting{listening_fd, POLLIN, 0};
  if (poll(&waiting, 1, kHandshakeTimeoutSeconds * 1000) != 1) return kSecEInternalError;
  FdClose connection{accept4(listening_fd, nullptr, nullptr, SOCK_CLOEXEC)};
  timeval limit{kHandshakeTimeoutSeconds, 0};
  if (connection.fd < 0 || setsockopt(connection.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0 ||
      setsockopt(connection.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0 ||
      SSL_set_fd(ssl.get(), connection.fd) != 1) {
    ERR_clear_error();
    return kSecEInternalError;
  }
  const bool done = SSL_accept(ssl.get()) == 1;
  if (done) (void)SSL_shutdown(ssl.get());
  ERR_clear_error();
  if (!done) return kSecEIllegalMessage;
  *context = AddContext(Context{std::move(ssl), {}});
  return kSecEOk;
}

SECURITY_STATUS MakeConnectionContext(const SecPkgContext_ConnectionInfo& info, SecHandle* context) {
  if (context == nullptr) return kSecEInvalidParameter;
  *context = AddContext(Context{nullptr, info});
  return kSecEOk;
}

int LiveSecurityHandles() {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  return static_cast<int>(table.credentials.size() + table.contexts.size());
}

}  // namespace test

}  // namespace velmora::platform
