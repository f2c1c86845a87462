#include "component/tls_credentials.h"

#include <cstring>

#include "platform/crypto/secur32_types.h"
#include "platform/text.h"

namespace velmora::component {

namespace {

namespace plat = velmora::platform;

struct CalgRow {
  const char* name;
  uint32_t id;
};

// The CryptoAPI algorithm ids by their published names.
constexpr CalgRow kCalgNames[] = {
    {"CALG_3DES", 0x6603},
    {"CALG_3DES_112", 0x6609},
    {"CALG_AES", 0x6611},
    {"CALG_AES_128", 0x660E},
    {"CALG_AES_192", 0x660F},
    {"CALG_AES_256", 0x6610},
    {"CALG_AGREEDKEY_ANY", 0xAA03},
    {"CALG_CYLINK_MEK", 0x660C},
    {"CALG_DES", 0x6601},
    {"CALG_DESX", 0x6604},
    {"CALG_DH_EPHEM", 0xAA02},
    {"CALG_DH_SF", 0xAA01},
    {"CALG_DSS_SIGN", 0x2200},
    {"CALG_ECDH", 0xAA05},
    {"CALG_ECDH_EPHEM", 0xAE06},
    {"CALG_ECDSA", 0x2203},
    {"CALG_ECMQV", 0xA001},
    {"CALG_HASH_REPLACE_OWF", 0x800B},
    {"CALG_HUGHES_MD5", 0xA003},
    {"CALG_HMAC", 0x8009},
    {"CALG_KEA_KEYX", 0xAA04},
    {"CALG_MAC", 0x8005},
    {"CALG_MD2", 0x8001},
    {"CALG_MD4", 0x8002},
    {"CALG_MD5", 0x8003},
    {"CALG_NO_SIGN", 0x2000},
    {"CALG_OID_INFO_CNG_ONLY", 0xFFFFFFFF},
    {"CALG_OID_INFO_PARAMETERS", 0xFFFFFFFE},
    {"CALG_PCT1_MASTER", 0x4C04},
    {"CALG_RC2", 0x6602},
    {"CALG_RC4", 0x6801},
    {"CALG_RC5", 0x660D},
    {"CALG_RSA_KEYX", 0xA400},
    {"CALG_RSA_SIGN", 0x2400},
    {"CALG_SCHANNEL_ENC_KEY", 0x4C07},
    {"CALG_SCHANNEL_MAC_KEY", 0x4C03},
    {"CALG_SCHANNEL_MASTER_HASH", 0x4C02},
    {"CALG_SEAL", 0x6802},
    {"CALG_SHA", 0x8004},
    {"CALG_SHA1", 0x8004},
    {"CALG_SHA_256", 0x800C},
    {"CALG_SHA_384", 0x800D},
    {"CALG_SHA_512", 0x800E},
    {"CALG_SKIPJACK", 0x660A},
    {"CALG_SSL2_MASTER", 0x4C05},
    {"CALG_SSL3_MASTER", 0x4C01},
    {"CALG_SSL3_SHAMD5", 0x8008},
    {"CALG_TEK", 0x660B},
    {"CALG_TLS1_MASTER", 0x4C06},
    {"CALG_TLS1PRF", 0x800A},
};

constexpr uint32_t kTls13Bits = 0x3000;
constexpr const char* kTextAcquireFailed = "Could not acquire security credentials: error ";

// LookUpPiece looks up text[begin, end) with its spaces trimmed.
bool LookUpPiece(const char* text, int32_t begin, int32_t end, uint32_t* id) {
  while (begin < end && text[begin] == ' ') ++begin;
  while (end > begin && text[end - 1] == ' ') --end;
  char name[40];  // longer than every name
  if (end - begin >= static_cast<int32_t>(sizeof(name))) return false;
  std::memcpy(name, text + begin, static_cast<size_t>(end - begin));
  name[end - begin] = '\0';
  return CalgName(name, id) == 1;
}

TlsCredentialSettings CurrentSettings(SocketBase& socket, int32_t direction,
                                      const plat::CERT_CONTEXT* certificate) {
  TlsCredentialSettings settings;
  settings.direction = direction;
  settings.certificate = certificate;
  settings.protocols = static_cast<uint32_t>(socket.SslEnabledProtocols());
  settings.strength = socket.SslCipherStrength();
  settings.algorithms = &socket.AcceptedAlgorithms();
  settings.provider = &socket.SslProvider();
  settings.use_default = socket.UseDefaultCredentials();
  settings.handle = socket.Credentials();
  return settings;
}

}  // namespace

int CalgName(const char* name, uint32_t* id) {
  if (name == nullptr) return 0;
  for (const CalgRow& row : kCalgNames) {
    if (plat::CompareAsciiNoCase(name, row.name) == 0) {
      *id = row.id;
      return 1;
    }
  }
  return 0;
}

void ParseCalgList(SocketBase& socket, uint32_t (&ids)[kMaxCalgIds], int32_t* count) {
  *count = 0;
  const core::Buffer& list = socket.AcceptedAlgorithms();
  const char* text = list.Data();
  int32_t begin = 0;
  while (begin <= list.Length() && *count < kMaxCalgIds) {
    int32_t end = list.FindByte(';', begin);
    if (end < 0) end = list.Length();
    uint32_t id = 0;
    if (LookUpPiece(text, begin, end, &id)) ids[(*count)++] = id;
    begin = end + 1;
  }
}

int TlsSessionCacheMatch(const TlsSessionCache& entry, const TlsCredentialSettings& settings) {
  const bool numbers = entry.direction == settings.direction && entry.use_default == settings.use_default &&
                       entry.certificate == settings.certificate && entry.protocols == settings.protocols &&
                       entry.strength == settings.strength && entry.handle.lower == settings.handle.lower &&
                       entry.handle.upper == settings.handle.upper;
  if (!numbers) return 0;
  return std::strcmp(entry.algorithms.Data(), settings.algorithms->Data()) == 0 &&
                 std::strcmp(entry.provider.Data(), settings.provider->Data()) == 0
             ? 1
             : 0;
}

int TlsSessionCacheStore(TlsSessionCache& entry, const TlsCredentialSettings& settings) {
  int rc = entry.algorithms.Assign(*settings.algorithms);
  if (rc != core::kOk) return rc;
  rc = entry.provider.Assign(*settings.provider);
  if (rc != core::kOk) return rc;
  entry.direction = settings.direction;
  entry.certificate = settings.certificate;
  entry.protocols = settings.protocols;
  entry.strength = settings.strength;
  entry.use_default = settings.use_default;
  entry.handle = settings.handle;
  return core::kOk;
}

void SetErrorTextWithCode(ComponentBase& component, const char* prefix, uint32_t code, const char* suffix) {
  (void)component.LastErrorText().Format("%s0x%x%s", prefix, code, suffix != nullptr ? suffix : "");
}

int AcquireTlsCredentials(SocketBase& socket, int32_t direction, uint8_t* reused) {
  if (reused != nullptr) *reused = 0;
  // The hook's own reuse answer does not decide here: only the cache entry does.
  uint8_t hook_reuse = 0;
  const auto* certificate = static_cast<const plat::CERT_CONTEXT*>(socket.DefaultHook16(direction, &hook_reuse));
  TlsSessionCache& cache = socket.TlsSessionCacheEntry();
  if (socket.ReuseSslSession() != 0 && socket.Credentials().IsSet() &&
      TlsSessionCacheMatch(cache, CurrentSettings(socket, direction, certificate)) == 1) {
    if (reused != nullptr) *reused = 1;
    return 0;
  }
  FreeTlsCredentials(socket);
  const SecurityFunctionTable& table = SecurityFunctions();
  if (table.acquire_credentials_handle == nullptr) {
    return socket.SetErrorText(kSecurityLibraryMissing, kTextSecurityLibraryMissing);
  }

  uint32_t flags = socket.UseDefaultCredentials() != 0 ? plat::kSchCredUseDefaultCreds : plat::kSchCredNoDefaultCreds;
  if (direction == static_cast<int32_t>(plat::kSecpkgCredOutbound)) flags |= plat::kSchCredManualCredValidation;
  const uint32_t protocols = static_cast<uint32_t>(socket.SslEnabledProtocols());
  const plat::CERT_CONTEXT* const certificates[1] = {certificate};
  const plat::DWORD certificate_count = certificate != nullptr ? 1 : 0;
  const plat::CERT_CONTEXT* const* certificate_array = certificate != nullptr ? certificates : nullptr;

  plat::SCHANNEL_CRED legacy{};
  plat::SCH_CREDENTIALS current{};
  plat::TLS_PARAMETERS parameters{};
  uint32_t ids[kMaxCalgIds];
  const void* description = nullptr;
  if ((protocols & kTls13Bits) != kTls13Bits) {
    legacy.version = plat::kSchannelCredVersion;
    legacy.cred_count = certificate_count;
    legacy.creds = certificate_array;
    int32_t id_count = 0;
    ParseCalgList(socket, ids, &id_count);
    if (id_count > 0) {
      legacy.supported_alg_count = static_cast<plat::DWORD>(id_count);
      legacy.supported_algs = ids;
    }
    legacy.enabled_protocols = protocols;
    legacy.minimum_cipher_strength = static_cast<plat::DWORD>(socket.SslCipherStrength());
    legacy.flags = flags;
    description = &legacy;
  } else {
    // The newer description has no strength or algorithm list: only the protocols restrict it.
    current.version = plat::kSchCredentialsVersion;
    current.cred_count = certificate_count;
    current.creds = certificate_array;
    current.flags = flags;
    parameters.disabled_protocols = ~protocols & plat::kSchDisableableProtocols;
    current.tls_parameter_count = 1;
    current.tls_parameters = &parameters;
    description = &current;
  }

  int64_t expiry = 0;
  const int32_t status = table.acquire_credentials_handle(nullptr, socket.SslProvider().Data(),
                                                          static_cast<uint32_t>(direction), nullptr, description,
                                                          nullptr, nullptr, &socket.Credentials(), &expiry);
  if (status != 0) {
    FreeTlsCredentials(socket);
    SetErrorTextWithCode(socket, kTextAcquireFailed, static_cast<uint32_t>(status), ".");
    return kCredentialsNotAcquired;
  }
  (void)TlsSessionCacheStore(cache, CurrentSettings(socket, direction, certificate));
  return 0;
}

}  // namespace velmora::component
