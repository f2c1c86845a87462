#include "component/tls_services.h"

#include <cstring>

#include "component/socket_base.h"
#include "platform/modules.h"

namespace velmora::component {

namespace {

SecurityFunctionTable g_security_functions{};

platform::ModuleHandle g_crypt32 = nullptr;
CertOpenStoreFn g_cert_open_store = nullptr;

}  // namespace

SecurityFunctionTable& SecurityFunctions() { return g_security_functions; }

CertOpenStoreFn CertOpenStoreEntry() { return g_cert_open_store; }

void LoadCrypt32Functions() {
  if (g_crypt32 != nullptr) return;
  g_crypt32 = platform::LoadModule("crypt32.dll");
  if (g_crypt32 == nullptr) return;
  g_cert_open_store = reinterpret_cast<CertOpenStoreFn>(platform::GetProc(g_crypt32, "CertOpenStore"));
}

void UnloadCrypt32Functions() {
  if (g_crypt32 == nullptr) return;
  (void)platform::FreeModule(g_crypt32);
  g_crypt32 = nullptr;
  g_cert_open_store = nullptr;
}

int SetTlsDefaults(SocketBase& socket) {
  // Short constant texts fit the inline storage of the fields, so these stores cannot fail.
  (void)socket.SslProvider().SetString("Microsoft Unified Security Protocol Provider");
  (void)socket.CertificateStoreName().SetString("MY");
  std::memset(socket.TlsIntegers(), 0, 3 * sizeof(int32_t));
  socket.Credentials() = SecurityHandle{};
  socket.SslSecurityFlags() = 0;
  socket.SslCipherStrength() = 40;
  socket.SslEnabledProtocols() = 4032;
  socket.SslEnableRenegotiation() = 1;
  socket.TlsStateValue() = 0;
  socket.UseDefaultCredentials() = 0;
  socket.SslIncludeCertChain() = 0;
  (void)socket.AcceptedAlgorithms().SetString("*");
  (void)socket.PemLabel().SetString("CERTIFICATE");
  return 1;
}

void FreeTlsCredentials(SocketBase& socket) {
  SecurityHandle& credentials = socket.Credentials();
  if (!credentials.IsSet() || g_security_functions.free_credentials_handle == nullptr) return;
  (void)g_security_functions.free_credentials_handle(&credentials);
  credentials = SecurityHandle{};
}

}  // namespace velmora::component
