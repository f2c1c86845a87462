// Credential descriptions turned into OpenSSL contexts, and the connection information of an SSL object.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <iterator>
#include <string>

#include "platform/crypto/cert_private_key.h"
#include "platform/crypto/crypt32_modules.h"
#include "platform/crypto/secur32_internal.h"

namespace velmora::platform {

namespace {

// Each TLS version's pair of protocol bits (server, client), oldest first. SSL 2, SSL 3 and PCT bits have
// no row: OpenSSL does not speak them.
struct ProtocolRow {
  DWORD bits;
  int version;
};
constexpr ProtocolRow kProtocols[] = {
    {kSpProtTls1Server * 3, TLS1_VERSION},
    {kSpProtTls11Server * 3, TLS1_1_VERSION},
    {kSpProtTls12Server * 3, TLS1_2_VERSION},
    {kSpProtTls13Server * 3, TLS1_3_VERSION},
};

// The suites an algorithm list chooses from; anonymous, null, PSK and SRP suites are never offered.
constexpr char kSuitePool[] = "ALL:!aNULL:!eNULL:!PSK:!SRP";

// SuiteFilter is an algorithm list sorted by what it restricts: a suite passes when, for every kind the
// list names, the suite's algorithm of that kind is one of those named.
class SuiteFilter {
 public:
  // Add takes one algorithm id; false when the id restricts nothing here.
  bool Add(ALG_ID id) {
    switch (id) {
      case kCalgAes128: aes128_ = true; ciphers_ = true; return true;
      case kCalgAes256: aes256_ = true; ciphers_ = true; return true;
      case kCalg3Des: des3_ = true; ciphers_ = true; return true;
      case kCalgSha1: sha1_ = true; hashes_ = true; return true;
      case kCalgSha256: sha256_ = true; hashes_ = true; return true;
      case kCalgSha384: sha384_ = true; hashes_ = true; return true;
      case kCalgEcdhEphem: ecdhe_ = true; exchanges_ = true; return true;
      case kCalgDhEphem: dhe_ = true; exchanges_ = true; return true;
      case kCalgRsaKeyx: rsa_kx_ = true; exchanges_ = true; return true;
      case kCalgEcdsa: ecdsa_ = true; signatures_ = true; return true;
      case kCalgRsaSign: rsa_sign_ = true; signatures_ = true; return true;
      default: return false;
    }
  }

  bool Passes(const SSL_CIPHER* suite) const {
    return (!ciphers_ || CipherPasses(SSL_CIPHER_get_cipher_nid(suite))) &&
           (!hashes_ || HashPasses(SuiteHashNid(suite))) &&
           (!exchanges_ || ExchangePasses(SSL_CIPHER_get_kx_nid(suite))) &&
           (!signatures_ || SignaturePasses(SSL_CIPHER_get_auth_nid(suite)));
  }

  // SuiteHashNid is the suite's MAC digest or, for an AEAD suite, its PRF digest.
  static int SuiteHashNid(const SSL_CIPHER* suite) {
    const int mac = SSL_CIPHER_get_digest_nid(suite);
    if (mac != NID_undef) return mac;
    const EVP_MD* prf = SSL_CIPHER_get_handshake_digest(suite);
    return prf != nullptr ? EVP_MD_get_type(prf) : NID_undef;
  }

 private:
  bool CipherPasses(int nid) const {
    switch (nid) {
      case NID_aes_128_cbc: case NID_aes_128_gcm: case NID_aes_128_ccm: return aes128_;
      case NID_aes_256_cbc: case NID_aes_256_gcm: case NID_aes_256_ccm: return aes256_;
      case NID_des_ede3_cbc: return des3_;
      default: return false;
    }
  }
  bool HashPasses(int nid) const {
    return (nid == NID_sha1 && sha1_) || (nid == NID_sha256 && sha256_) || (nid == NID_sha384 && sha384_);
  }
  // A TLS 1.3 suite leaves the exchange and the signature to the handshake ("any"): an ephemeral exchange
  // and either signature fit it.
  bool ExchangePasses(int nid) const {
    return (nid == NID_kx_ecdhe && ecdhe_) || (nid == NID_kx_dhe && dhe_) || (nid == NID_kx_rsa && rsa_kx_) ||
           (nid == NID_kx_any && (ecdhe_ || dhe_));
  }
  bool SignaturePasses(int nid) const {
    return (nid == NID_auth_ecdsa && ecdsa_) || (nid == NID_auth_rsa && rsa_sign_) || nid == NID_auth_any;
  }

  bool ciphers_ = false, hashes_ = false, exchanges_ = false, signatures_ = false;
  bool aes128_ = false, aes256_ = false, des3_ = false;
  bool sha1_ = false, sha256_ = false, sha384_ = false;
  bool ecdhe_ = false, dhe_ = false, rsa_kx_ = false;
  bool ecdsa_ = false, rsa_sign_ = false;
};

bool IsTls13Suite(const SSL_CIPHER* suite) { return std::strcmp(SSL_CIPHER_get_version(suite), "TLSv1.3") == 0; }

// ApplyProtocols sets the version range of the enabled bits; none of them keeps OpenSSL's default range.
bool ApplyProtocols(SSL_CTX* ctx, DWORD enabled) {
  int lowest = 0, highest = 0;
  for (const ProtocolRow& row : kProtocols) {
    if ((enabled & row.bits) == 0) continue;
    if (lowest == 0) lowest = row.version;
    highest = row.version;
  }
  if (lowest == 0) return true;
  return SSL_CTX_set_min_proto_version(ctx, lowest) == 1 && SSL_CTX_set_max_proto_version(ctx, highest) == 1;
}

// ApplySuites keeps the suites of at least the minimum strength that the algorithm list allows. Without
// TLS 1.3 suites left the range ends at TLS 1.2; without older ones it starts at TLS 1.3.
SECURITY_STATUS ApplySuites(SSL_CTX* ctx, const CredentialRequest& request) {
  SuiteFilter filter;
  bool mapped = false;
  for (DWORD i = 0; i < request.algorithm_count; ++i) mapped = filter.Add(request.algorithms[i]) || mapped;
  const bool restricted = request.algorithm_count > 0;
  if (restricted && !mapped) return kSecEAlgorithmMismatch;
  if (restricted && SSL_CTX_set_cipher_list(ctx, kSuitePool) != 1) return kSecEInternalError;

  std::string older, tls13;
  bool removed = false;
  const STACK_OF(SSL_CIPHER)* suites = SSL_CTX_get_ciphers(ctx);
  for (int i = 0; i < sk_SSL_CIPHER_num(suites); ++i) {
    const SSL_CIPHER* suite = sk_SSL_CIPHER_value(suites, i);
    if (SSL_CIPHER_get_bits(suite, nullptr) < static_cast<int>(request.minimum_strength) ||
        (restricted && !filter.Passes(suite))) {
      removed = true;
      continue;
    }
    std::string& list = IsTls13Suite(suite) ? tls13 : older;
    if (!list.empty()) list += ':';
    list += SSL_CIPHER_get_name(suite);
  }
  if (older.empty() && tls13.empty()) return kSecEAlgorithmMismatch;
  if (!removed) return kSecEOk;  // OpenSSL's own lists stay as they are

  const int lowest = SSL_CTX_get_min_proto_version(ctx);
  const int highest = SSL_CTX_get_max_proto_version(ctx);
  if (tls13.empty()) {
    if (lowest == TLS1_3_VERSION) return kSecEAlgorithmMismatch;
    if (SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1) return kSecEInternalError;
  }
  if (older.empty()) {
    if (highest != 0 && highest < TLS1_3_VERSION) return kSecEAlgorithmMismatch;
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1) return kSecEInternalError;
  } else if (SSL_CTX_set_cipher_list(ctx, older.c_str()) != 1) {
    return kSecEInternalError;
  }
  return SSL_CTX_set_ciphersuites(ctx, tls13.c_str()) == 1 ? kSecEOk : kSecEInternalError;
}

DWORD ProtocolBit(int version) {
  switch (version) {
    case TLS1_VERSION: return kSpProtTls1Server;
    case TLS1_1_VERSION: return kSpProtTls11Server;
    case TLS1_2_VERSION: return kSpProtTls12Server;
    case TLS1_3_VERSION: return kSpProtTls13Server;
    default: return 0;
  }
}

ALG_ID CipherId(int nid) {
  switch (nid) {
    case NID_aes_128_cbc: case NID_aes_128_gcm: case NID_aes_128_ccm: return kCalgAes128;
    case NID_aes_256_cbc: case NID_aes_256_gcm: case NID_aes_256_ccm: return kCalgAes256;
    case NID_des_ede3_cbc: return kCalg3Des;
    default: return 0;  // ChaCha20 and the rest have no id
  }
}

ALG_ID HashId(int nid) {
  switch (nid) {
    case NID_md5: return kCalgMd5;
    case NID_sha1: return kCalgSha1;
    case NID_sha256: return kCalgSha256;
    case NID_sha384: return kCalgSha384;
    case NID_sha512: return kCalgSha512;
    default: return 0;
  }
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};

// ExchangeOf names the key exchange and its strength: the bits of the peer's ephemeral key, or of the
// server's certificate key for an RSA key exchange.
void ExchangeOf(SSL* ssl, const SSL_CIPHER* suite, SecPkgContext_ConnectionInfo* info) {
  EVP_PKEY* raw = nullptr;
  if (SSL_get_peer_tmp_key(ssl, &raw) != 1) raw = nullptr;
  std::unique_ptr<EVP_PKEY, PkeyFree> peer_key(raw);
  const int kx = SSL_CIPHER_get_kx_nid(suite);
  const int key_type = peer_key != nullptr ? EVP_PKEY_get_base_id(peer_key.get()) : NID_undef;
  if (kx == NID_kx_ecdhe || (kx == NID_kx_any && key_type != NID_undef && key_type != EVP_PKEY_DH)) {
    info->exchange = kCalgEcdhEphem;
  } else if (kx == NID_kx_dhe || (kx == NID_kx_any && key_type == EVP_PKEY_DH)) {
    info->exchange = kCalgDhEphem;
  } else if (kx == NID_kx_rsa) {
    info->exchange = kCalgRsaKeyx;
    X509* certificate = SSL_is_server(ssl) ? SSL_get_certificate(ssl) : SSL_get0_peer_certificate(ssl);
    const EVP_PKEY* key = certificate != nullptr ? X509_get0_pubkey(certificate) : nullptr;
    info->exchange_strength = key != nullptr ? static_cast<DWORD>(EVP_PKEY_get_bits(key)) : 0;
    return;
  }
  if (peer_key != nullptr) info->exchange_strength = static_cast<DWORD>(EVP_PKEY_get_bits(peer_key.get()));
}

// UseCertificate puts the certificate and its private key into the context.
SECURITY_STATUS UseCertificate(SSL_CTX* ctx, const CERT_CONTEXT* given) {
  // A pointer that is no live context is refused before it is read.
  struct Held {
    PCCERT_CONTEXT context;
    ~Held() { (void)CertFreeCertificateContext(context); }
  } held{CertDuplicateCertificateContext(given)};
  const CERT_CONTEXT* certificate = held.context;
  if (certificate == nullptr) return kSecENoCredentials;
  const unsigned char* at = certificate->pbCertEncoded;
  std::unique_ptr<X509, X509Free> x509(
      at != nullptr ? d2i_X509(nullptr, &at, static_cast<long>(certificate->cbCertEncoded)) : nullptr);
  std::unique_ptr<EVP_PKEY, PkeyFree> key(CertificatePrivateKey(certificate));
  if (x509 == nullptr || key == nullptr || SSL_CTX_use_certificate(ctx, x509.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    ERR_clear_error();
    return kSecENoCredentials;
  }
  return kSecEOk;
}

}  // namespace

SECURITY_STATUS ReadCredentialDescription(const void* auth_data, bool outbound, CredentialRequest* request) {
  request->outbound = outbound;
  DWORD certificates = 0;
  if (auth_data != nullptr) {
    DWORD version = 0;
    std::memcpy(&version, auth_data, sizeof(version));
    if (version == kSchannelCredVersion) {
      const auto* d = static_cast<const SCHANNEL_CRED*>(auth_data);
      certificates = d->cred_count;
      request->flags = d->flags;
      request->enabled_protocols = d->enabled_protocols;
      request->minimum_strength = d->minimum_cipher_strength;
      if (d->supported_alg_count != 0 && d->supported_algs == nullptr) return kSecEInvalidParameter;
      request->algorithms = d->supported_algs;
      request->algorithm_count = d->supported_alg_count;
    } else if (version == kSchCredentialsVersion) {
      const auto* d = static_cast<const SCH_CREDENTIALS*>(auth_data);
      certificates = d->cred_count;
      request->flags = d->flags;
      if (d->tls_parameter_count != 0 && d->tls_parameters == nullptr) return kSecEInvalidParameter;
      // NOTE: parameter sets differ by application protocol, which this module does not negotiate, so
      // a protocol disabled by any of them stays off.
      DWORD disabled = 0;
      for (DWORD i = 0; i < d->tls_parameter_count; ++i) disabled |= d->tls_parameters[i].disabled_protocols;
      request->enabled_protocols = d->tls_parameter_count != 0 ? ~disabled & kSchDisableableProtocols : 0;
    } else {
      return kSecEUnknownCredentials;
    }
  }
  if (certificates > 1 || (certificates == 0 && !outbound)) return kSecENoCredentials;
  if (certificates == 1) {
    const CERT_CONTEXT* const* list = auth_data == nullptr ? nullptr
                                      : static_cast<const SCHANNEL_CRED*>(auth_data)->version == kSchannelCredVersion
                                          ? static_cast<const SCHANNEL_CRED*>(auth_data)->creds
                                          : static_cast<const SCH_CREDENTIALS*>(auth_data)->creds;
    if (list == nullptr || list[0] == nullptr) return kSecENoCredentials;
    request->certificate = list[0];
  }
  return kSecEOk;
}

SECURITY_STATUS MakeCredentialContext(const CredentialRequest& request, SslCtxPtr* out) {
  SslCtxPtr ctx(SSL_CTX_new(request.outbound ? TLS_client_method() : TLS_server_method()));
  if (ctx == nullptr) {
    ERR_clear_error();
    return kSecEInsufficientMemory;
  }
  SECURITY_STATUS status = ApplyProtocols(ctx.get(), request.enabled_protocols) ? kSecEOk : kSecEInternalError;
  if (status == kSecEOk && request.certificate != nullptr) status = UseCertificate(ctx.get(), request.certificate);
  if (status == kSecEOk) status = ApplySuites(ctx.get(), request);
  if (status == kSecEOk && request.outbound) {
    if ((request.flags & kSchCredManualCredValidation) != 0) {
      SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    } else {
      SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
      if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) status = kSecEInternalError;
    }
  }
  ERR_clear_error();
  if (status == kSecEOk) *out = std::move(ctx);
  return status;
}

SecPkgContext_ConnectionInfo ConnectionInfoOf(SSL* ssl) {
  SecPkgContext_ConnectionInfo info{};
  const DWORD bit = ProtocolBit(SSL_version(ssl));
  info.protocol = SSL_is_server(ssl) ? bit : bit << 1;
  const SSL_CIPHER* suite = SSL_get_current_cipher(ssl);
  if (suite == nullptr) return info;
  int cipher_bits = 0;
  (void)SSL_CIPHER_get_bits(suite, &cipher_bits);
  info.cipher = CipherId(SSL_CIPHER_get_cipher_nid(suite));
  info.cipher_strength = static_cast<DWORD>(cipher_bits);
  const int hash_nid = SuiteFilter::SuiteHashNid(suite);
  info.hash = HashId(hash_nid);
  const EVP_MD* hash = info.hash != 0 ? EVP_get_digestbynid(hash_nid) : nullptr;
  info.hash_strength = hash != nullptr ? static_cast<DWORD>(EVP_MD_get_size(hash) * 8) : 0;
  ExchangeOf(ssl, suite, &info);
  ERR_clear_error();
  return info;
}

}  // namespace velmora::platform
