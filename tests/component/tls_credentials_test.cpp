#include "component/tls_credentials.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "component/socket_base.h"
#include "platform/crypto/secur32_types.h"
#include "tests/test_support.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/secur32_modules.h"
#endif

extern char** environ;

namespace velmora::component {
namespace {

namespace plat = velmora::platform;

// A socket component whose certificate for the credential is chosen by the test.
class TlsSocket : public SocketBase {
 public:
  TlsSocket() { (void)Init(); }
  const void* DefaultHook16(int32_t, uint8_t*) override { return certificate; }
  const void* certificate = nullptr;
};

// A stand-in for a certificate context: the credential code only passes its address along.
const int kFakeCertificate = 0;
const auto* const kCertificate = reinterpret_cast<const plat::CERT_CONTEXT*>(&kFakeCertificate);

class TlsCredentialsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SocketBase::StaticInit();
#if VELMORABLE_PLATFORM_CRYPTO
    plat::test::ResetCryptoCallCounts();
#endif
  }
  void TearDown() override {
#if VELMORABLE_PLATFORM_CRYPTO
    EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
#endif
    SocketBase::StaticDestroy();
  }
  static bool HaveProvider() { return SecurityFunctions().acquire_credentials_handle != nullptr; }
};

#if VELMORABLE_PLATFORM_CRYPTO
int Calls(const char* name) { return plat::test::CryptoCallCount(name); }
#endif

// CALG_ ids as the platform composes them: class | type | sub-id.
constexpr uint32_t kSignature = 1 << 13, kMsgEncrypt = 2 << 13, kDataEncrypt = 3 << 13, kHash = 4 << 13,
                   kKeyExchange = 5 << 13;
constexpr uint32_t kAny = 0, kDss = 1 << 9, kRsa = 2 << 9, kBlock = 3 << 9, kStream = 4 << 9, kDh = 5 << 9,
                   kSecureChannel = 6 << 9, kEcdh = 7 << 9;

struct CalgCase {
  const char* name;
  uint32_t id;
};
const CalgCase kCalgCases[] = {
    {"CALG_3DES", kDataEncrypt | kBlock | 3},       {"CALG_3DES_112", kDataEncrypt | kBlock | 9},
    {"CALG_AES", kDataEncrypt | kBlock | 17},        {"CALG_AES_128", kDataEncrypt | kBlock | 14},
    {"CALG_AES_192", kDataEncrypt | kBlock | 15},    {"CALG_AES_256", kDataEncrypt | kBlock | 16},
    {"CALG_AGREEDKEY_ANY", kKeyExchange | kDh | 3}, {"CALG_CYLINK_MEK", kDataEncrypt | kBlock | 12},
    {"CALG_DES", kDataEncrypt | kBlock | 1},         {"CALG_DESX", kDataEncrypt | kBlock | 4},
    {"CALG_DH_EPHEM", kKeyExchange | kDh | 2},      {"CALG_DH_SF", kKeyExchange | kDh | 1},
    {"CALG_DSS_SIGN", kSignature | kDss | 0},        {"CALG_ECDH", kKeyExchange | kDh | 5},
    {"CALG_ECDH_EPHEM", kKeyExchange | kEcdh | 6},  {"CALG_ECDSA", kSignature | kDss | 3},
    {"CALG_ECMQV", kKeyExchange | kAny | 1},        {"CALG_HASH_REPLACE_OWF", kHash | kAny | 11},
    {"CALG_HUGHES_MD5", kKeyExchange | kAny | 3},   {"CALG_HMAC", kHash | kAny | 9},
    {"CALG_KEA_KEYX", kKeyExchange | kDh | 4},      {"CALG_MAC", kHash | kAny | 5},
    {"CALG_MD2", kHash | kAny | 1},                 {"CALG_MD4", kHash | kAny | 2},
    {"CALG_MD5", kHash | kAny | 3},                 {"CALG_NO_SIGN", kSignature | kAny | 0},
    {"CALG_OID_INFO_CNG_ONLY", 0xFFFFFFFF},         {"CALG_OID_INFO_PARAMETERS", 0xFFFFFFFE},
    {"CALG_PCT1_MASTER", kMsgEncrypt | kSecureChannel | 4}, {"CALG_RC2", kDataEncrypt | kBlock | 2},
    {"CALG_RC4", kDataEncrypt | kStream | 1},       {"CALG_RC5", kDataEncrypt | kBlock | 13},
    {"CALG_RSA_KEYX", kKeyExchange | kRsa | 0},     {"CALG_RSA_SIGN", kSignature | kRsa | 0},
    {"CALG_SCHANNEL_ENC_KEY", kMsgEncrypt | kSecureChannel | 7},
    {"CALG_SCHANNEL_MAC_KEY", kMsgEncrypt | kSecureChannel | 3},
    {"CALG_SCHANNEL_MASTER_HASH", kMsgEncrypt | kSecureChannel | 2},
    {"CALG_SEAL", kDataEncrypt | kStream | 2},      {"CALG_SHA", kHash | kAny | 4},
    {"CALG_SHA1", kHash | kAny | 4},                {"CALG_SHA_256", kHash | kAny | 12},
    {"CALG_SHA_384", kHash | kAny | 13},            {"CALG_SHA_512", kHash | kAny | 14},
    {"CALG_SKIPJACK", kDataEncrypt | kBlock | 10},  {"CALG_SSL2_MASTER", kMsgEncrypt | kSecureChannel | 5},
    {"CALG_SSL3_MASTER", kMsgEncrypt | kSecureChannel | 1}, {"CALG_SSL3_SHAMD5", kHash | kAny | 8},
    {"CALG_TEK", kDataEncrypt | kBlock | 11},       {"CALG_TLS1_MASTER", kMsgEncrypt | kSecureChannel | 6},
    {"CALG_TLS1PRF", kHash | kAny | 10},
};

std::vector<uint32_t> Parsed(TlsSocket& s, const std::string& list) {
  EXPECT_EQ(s.AcceptedAlgorithms().SetString(list.c_str()), 0);
  uint32_t ids[kMaxCalgIds];
  int32_t count = -1;
  ParseCalgList(s, ids, &count);
  return std::vector<uint32_t>(ids, ids + count);
}

TEST_F(TlsCredentialsTest, AlgorithmNamesAndLists) {
  ASSERT_EQ(std::size(kCalgCases), 50u);
  for (const CalgCase& c : kCalgCases) {
    uint32_t id = 0;
    EXPECT_EQ(CalgName(c.name, &id), 1) << c.name;
    EXPECT_EQ(id, c.id) << c.name;
    std::string lower = c.name;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    id = 0;
    EXPECT_EQ(CalgName(lower.c_str(), &id), 1) << lower;
    EXPECT_EQ(id, c.id) << lower;
  }
  uint32_t untouched = 7;
  EXPECT_EQ(CalgName("CALG_SHA_1", &untouched), 0);
  EXPECT_EQ(CalgName("", &untouched), 0);
  EXPECT_EQ(untouched, 7u);

  TlsSocket s;
  EXPECT_EQ(Parsed(s, " calg_aes_256 ; CALG_SHA_256;bogus"), (std::vector<uint32_t>{0x6610, 0x800C}));
  EXPECT_TRUE(Parsed(s, "*").empty());
  EXPECT_TRUE(Parsed(s, "").empty());
  EXPECT_TRUE(Parsed(s, ";;  ;").empty());
  std::string forty;
  std::vector<uint32_t> first32;
  for (int i = 0; i < 40; ++i) {
    forty += std::string(i == 0 ? "" : ";") + kCalgCases[i].name;
    if (i < kMaxCalgIds) first32.push_back(kCalgCases[i].id);
  }
  EXPECT_EQ(Parsed(s, forty), first32);
  std::string thousand = "CALG_AES_128";
  for (int i = 1; i < 1000; ++i) thousand += "; CALG_AES_128";
  EXPECT_EQ(Parsed(s, thousand), std::vector<uint32_t>(kMaxCalgIds, 0x660E));
}

TEST_F(TlsCredentialsTest, CacheStoreFailureLeavesTheNumbers) {
  TlsSessionCache entry;
  core::Buffer algorithms, provider;
  ASSERT_EQ(algorithms.SetString(std::string(300, 'a').c_str()), 0);
  ASSERT_EQ(provider.SetString("Schannel"), 0);
  TlsCredentialSettings settings{2, kCertificate, 0xC00, 128, &algorithms, &provider, 1, {5, 6}};
  {
    testing_support::FailingAllocations failing;
    EXPECT_NE(TlsSessionCacheStore(entry, settings), 0);
  }
  EXPECT_EQ(entry.direction, 0);
  EXPECT_EQ(entry.protocols, 0u);
  EXPECT_FALSE(entry.handle.IsSet());
  EXPECT_EQ(TlsSessionCacheStore(entry, settings), 0);
  EXPECT_EQ(TlsSessionCacheMatch(entry, settings), 1);
}

// Failures leave no handle behind; a missing release entry leaves the pair alone.
TEST_F(TlsCredentialsTest, FailuresLeaveNoHandle) {
  struct Case {
    const char* what;
    std::function<void(TlsSocket&)> set;
    int32_t direction;
    int rc;
    const char* text;
  };
  const SecurityFunctionTable saved = SecurityFunctions();
  const Case cases[] = {
      {"acquire entry missing", [](TlsSocket&) { SecurityFunctions().acquire_credentials_handle = nullptr; }, 2,
       270, "The security library could not be loaded"},
      {"unknown provider", [](TlsSocket& s) { (void)s.SslProvider().SetString("Bogus"); }, 2, 273,
       "Could not acquire security credentials: error 0x80090305."},
      {"empty provider", [](TlsSocket& s) { (void)s.SslProvider().SetString(""); }, 2, 273,
       "Could not acquire security credentials: error 0x80090305."},
      {"server without certificate", [](TlsSocket&) {}, 1, 273,
       "Could not acquire security credentials: error 0x8009030e."},
      {"no algorithm maps", [](TlsSocket& s) { (void)s.AcceptedAlgorithms().SetString("CALG_MD5;CALG_RC4"); }, 2,
       273, "Could not acquire security credentials: error 0x80090331."},
  };
  for (const Case& c : cases) {
    if (c.rc != 270 && !HaveProvider()) continue;
    TlsSocket s;
    if (HaveProvider()) {
      ASSERT_EQ(AcquireTlsCredentials(s, 2, nullptr), 0) << c.what;
    }
    c.set(s);
    EXPECT_EQ(AcquireTlsCredentials(s, c.direction, nullptr), c.rc) << c.what;
    EXPECT_STREQ(s.LastErrorText().Data(), c.text) << c.what;
    EXPECT_FALSE(s.Credentials().IsSet()) << c.what;
    SecurityFunctions() = saved;
  }
  TlsSocket s;
  SecurityFunctions().free_credentials_handle = nullptr;
  s.Credentials() = SecurityHandle{1, 2};
  FreeTlsCredentials(s);
  EXPECT_EQ(s.Credentials().lower, 1u);
  EXPECT_EQ(s.Credentials().upper, 2u);
  s.Credentials() = SecurityHandle{};
  SecurityFunctions() = saved;
}

TEST_F(TlsCredentialsTest, ConnectionTextWithoutTheQueryEntry) {
  const SecurityFunctionTable saved = SecurityFunctions();
  SecurityFunctions().query_context_attributes = nullptr;
  TlsSocket s;
  core::Buffer out;
  EXPECT_EQ(SslConnectionInfoText(s, SecurityHandle{1, 1}, out), 270);
  EXPECT_STREQ(out.Data(), "Negotiated SSL parameters: ");
  EXPECT_STREQ(s.LastErrorText().Data(), "The security library could not be loaded");
  SecurityFunctions() = saved;
}

#if VELMORABLE_PLATFORM_CRYPTO

TEST_F(TlsCredentialsTest, DescriptionsFollowTheSettings) {
  struct Case {
    int32_t direction;
    uint8_t use_default;
    int32_t protocols;
    const void* certificate;
    uint32_t version, flags, strength;
    std::vector<uint32_t> disabled;
  };
  const Case cases[] = {
      {1, 0, 0xFC0, nullptr, 4, 0x10, 40, {}},   {2, 0, 0xFC0, nullptr, 4, 0x18, 40, {}},
      {1, 1, 0xFC0, nullptr, 4, 0x40, 40, {}},   {2, 1, 0xFC0, nullptr, 4, 0x48, 40, {}},
      {2, 0, 0x3FC0, nullptr, 5, 0x18, 0, {0x3C}}, {1, 0, 0x3000, nullptr, 5, 0x10, 0, {0xFFC}},
      {1, 0, 0xFC0, kCertificate, 4, 0x10, 40, {}}, {2, 0, 0x3FC0, kCertificate, 5, 0x18, 0, {0x3C}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "direction " << c.direction << " protocols " << c.protocols);
    TlsSocket s;
    s.UseDefaultCredentials() = c.use_default;
    s.SslEnabledProtocols() = c.protocols;
    s.certificate = c.certificate;
    (void)AcquireTlsCredentials(s, c.direction, nullptr);
    const plat::test::ReceivedCredential r = plat::test::LastReceivedCredential();
    ASSERT_TRUE(r.present && r.has_description);
    EXPECT_EQ(r.package, "Microsoft Unified Security Protocol Provider");
    EXPECT_EQ(r.credential_use, static_cast<uint32_t>(c.direction));
    EXPECT_EQ(r.version, c.version);
    EXPECT_EQ(r.flags, c.flags);
    EXPECT_EQ(r.minimum_cipher_strength, c.strength);
    EXPECT_EQ(r.enabled_protocols, c.version == 4 ? static_cast<uint32_t>(c.protocols) : 0u);
    EXPECT_TRUE(r.algorithms.empty());
    EXPECT_EQ(r.disabled_protocols, c.disabled);
    const std::vector<const plat::CERT_CONTEXT*> certificates =
        c.certificate != nullptr ? std::vector<const plat::CERT_CONTEXT*>{kCertificate}
                                 : std::vector<const plat::CERT_CONTEXT*>{};
    EXPECT_EQ(r.certificates, certificates);
  }
  // An algorithm list reaches the older description, capped; the newer one has no place for it.
  TlsSocket s;
  std::string many = "CALG_AES_256";
  for (int i = 1; i < 1000; ++i) many += ";CALG_AES_256";
  ASSERT_EQ(s.AcceptedAlgorithms().SetString(many.c_str()), 0);
  EXPECT_EQ(AcquireTlsCredentials(s, 2, nullptr), 0);
  EXPECT_EQ(plat::test::LastReceivedCredential().algorithms, std::vector<uint32_t>(kMaxCalgIds, 0x6610));
  s.SslEnabledProtocols() = 0x3FC0;
  EXPECT_EQ(AcquireTlsCredentials(s, 2, nullptr), 0);
  EXPECT_TRUE(plat::test::LastReceivedCredential().algorithms.empty());
}

TEST_F(TlsCredentialsTest, UnchangedSettingsKeepTheHandle) {
  struct Change {
    const char* what;
    std::function<void(TlsSocket&)> apply;
    int32_t direction;
  };
  const Change changes[] = {
      {"direction", [](TlsSocket&) {}, 1},
      {"certificate", [](TlsSocket& s) { s.certificate = kCertificate; }, 2},
      {"protocols", [](TlsSocket& s) { s.SslEnabledProtocols() = 0xC00; }, 2},
      {"strength", [](TlsSocket& s) { s.SslCipherStrength() = 128; }, 2},
      {"algorithm list", [](TlsSocket& s) { (void)s.AcceptedAlgorithms().SetString("CALG_AES_128"); }, 2},
      {"default credentials", [](TlsSocket& s) { s.UseDefaultCredentials() = 1; }, 2},
      {"provider case",
       [](TlsSocket& s) { (void)s.SslProvider().SetString("Microsoft Unified Security Protocol provider"); }, 2},
  };
  for (const Change& change : changes) {
    TlsSocket s;
    s.ReuseSslSession() = 1;
    uint8_t reused = 9;
    ASSERT_EQ(AcquireTlsCredentials(s, 2, &reused), 0);
    EXPECT_EQ(reused, 0);
    const SecurityHandle first = s.Credentials();
    const int acquired = Calls("AcquireCredentialsHandleA"), freed = Calls("FreeCredentialsHandle");
    EXPECT_EQ(AcquireTlsCredentials(s, 2, &reused), 0);
    EXPECT_EQ(reused, 1);
    EXPECT_EQ(Calls("AcquireCredentialsHandleA"), acquired);
    EXPECT_EQ(s.Credentials().lower, first.lower);

    change.apply(s);
    (void)AcquireTlsCredentials(s, change.direction, &reused);
    EXPECT_EQ(reused, 0) << change.what;
    EXPECT_EQ(Calls("AcquireCredentialsHandleA"), acquired + 1) << change.what;
    EXPECT_EQ(Calls("FreeCredentialsHandle"), freed + 1) << change.what;
    EXPECT_LE(plat::test::LiveCryptoHandles(), 1) << change.what;
  }
  TlsSocket s;
  const int acquired = Calls("AcquireCredentialsHandleA");
  for (int i = 0; i < 3; ++i) {
    uint8_t reused = 9;
    EXPECT_EQ(AcquireTlsCredentials(s, 2, &reused), 0);
    EXPECT_EQ(reused, 0);
  }
  EXPECT_EQ(Calls("AcquireCredentialsHandleA"), acquired + 3);
  EXPECT_EQ(plat::test::LiveCryptoHandles(), 1);
}

std::string Expected(const std::string& protocol, const std::string& cipher, int cipher_bits, const std::string& hash,
                     int hash_bits, const std::string& exchange, int exchange_bits) {
  std::ostringstream text;
  text << "Negotiated SSL parameters: Protocol: " << protocol << " Cipher: " << cipher
       << " Cipher strength: " << cipher_bits << " Hash: " << hash << " Hash strength: " << hash_bits
       << " Key exchange: " << exchange << " Key exchange strength: " << exchange_bits << " ";
  return text.str();
}

TEST_F(TlsCredentialsTest, ConnectionTextOfMadeUpContexts) {
  struct Case {
    plat::SecPkgContext_ConnectionInfo info;
    std::string protocol, cipher, hash;
    int hash_bits;
    std::string exchange;
  };
  // A base of TLS 1.2 client, AES-256, SHA-384, ECDHE, varied in one field per row.
  const plat::SecPkgContext_ConnectionInfo base{0x800, 0x6610, 256, 0x800D, 0, 0xAE06, 253};
  std::vector<Case> cases;
  const std::pair<uint32_t, const char*> protocols[] = {
      {0x1, "PCT1"},   {0x2, "PCT1"},    {0x4, "SSL2"},    {0x8, "SSL2"},     {0x10, "SSL3"},
      {0x20, "SSL3"},  {0x40, "TLS1"},   {0x80, "TLS1"},   {0x100, "TLS1.1"}, {0x200, "TLS1.1"},
      {0x400, "TLS1.2"}, {0x800, "TLS1.2"}, {0x1000, "TLS1.3"}, {0x2000, "TLS1.3"}, {0, "0x0"},
      {0x4000, "0x4000"}, {0xC00, "0xc00"}};
  for (const auto& [bits, name] : protocols) {
    plat::SecPkgContext_ConnectionInfo info = base;
    info.protocol = bits;
    cases.push_back({info, name, "AES", "SHA384", 384, "ECDH Ephemeral RSA"});
  }
  const std::pair<uint32_t, const char*> ciphers[] = {
      {0x6601, "DES"}, {0x660C, "DES"}, {0x6602, "RC2"}, {0x6603, "Triple DES"}, {0x660A, "Skipjack"},
      {0x660E, "AES"}, {0x6611, "AES"}, {0x660D, "0x660d"}, {0x6612, "0x6612"}, {0x6801, "RC4"}, {0, "0x0"}};
  for (const auto& [id, name] : ciphers) {
    plat::SecPkgContext_ConnectionInfo info = base;
    info.cipher = id;
    cases.push_back({info, "TLS1.2", name, "SHA384", 384, "ECDH Ephemeral RSA"});
  }
  const std::tuple<uint32_t, const char*, int> hashes[] = {
      {0x8003, "MD5", 128}, {0x8004, "SHA", 160}, {0x800C, "SHA256", 256}, {0x800D, "SHA384", 384},
      {0x800E, "SHA512", 512}, {0x8001, "0x8001", 0}};
  for (const auto& [id, name, default_bits] : hashes) {
    for (uint32_t reported : {0u, 77u}) {
      plat::SecPkgContext_ConnectionInfo info = base;
      info.hash = id;
      info.hash_strength = reported;
      cases.push_back({info, "TLS1.2", "AES", name, reported != 0 ? 77 : default_bits, "ECDH Ephemeral RSA"});
    }
  }
  const std::pair<uint32_t, const char*> exchanges[] = {{0x2400, "RSA"}, {0xA400, "RSA"}, {0xAA02, "DH Ephemeral"},
                                                        {0xAA04, "KEA"}, {0xAE06, "ECDH Ephemeral RSA"},
                                                        {0xAA05, "0xaa05"}};
  for (const auto& [id, name] : exchanges) {
    plat::SecPkgContext_ConnectionInfo info = base;
    info.exchange = id;
    cases.push_back({info, "TLS1.2", "AES", "SHA384", 384, name});
  }

  TlsSocket s;
  for (const Case& c : cases) {
    plat::SecHandle context;
    ASSERT_EQ(plat::test::MakeConnectionContext(c.info, &context), 0);
    core::Buffer out;
    EXPECT_EQ(SslConnectionInfoText(s, context, out), 0);
    EXPECT_EQ(testing_support::Text(out),
              Expected(c.protocol, c.cipher, static_cast<int>(c.info.cipher_strength), c.hash, c.hash_bits,
                       c.exchange, static_cast<int>(c.info.exchange_strength)));
    EXPECT_EQ(testing_support::Text(s.TlsState().protocol_name), c.protocol);
    EXPECT_EQ(testing_support::Text(s.TlsState().key_exchange_name), c.exchange);
    EXPECT_EQ(plat::DeleteSecurityContext(&context), 0);

    // The same handle once deleted, and no handle at all, have no connection information.
    for (const SecurityHandle& gone : {context, SecurityHandle{}}) {
      EXPECT_EQ(SslConnectionInfoText(s, gone, out), 1);
      EXPECT_EQ(testing_support::Text(out), "Negotiated SSL parameters: Connection info not available.");
    }
  }
}

// ---- Loopback handshakes against `openssl s_server` ------------------------------------------------------

bool HaveOpenssl() { return std::system("openssl version >/dev/null 2>&1") == 0; }

uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// OpensslServer runs `openssl s_server` for one connection on a free loopback port, its stdin held open
// (at end of input it would close the connection), and stops it when destroyed.
class OpensslServer {
 public:
  OpensslServer(const std::string& certificate, const std::string& key, const std::string& options) {
    port_ = FreePort();
    output_ = testing_support::TempPath("s_server_" + std::to_string(port_) + ".txt");
    const std::string command = "exec openssl s_server -accept 127.0.0.1:" + std::to_string(port_) +
                                " -naccept 1 -cert " + certificate + " -key " + key + " " + options + " >" +
                                output_ + " 2>&1";
    int in[2];
    if (pipe(in) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    if (posix_spawn(&pid_, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    stdin_ = in[1];
    for (int i = 0; i < 200 && pid_ > 0 && !ready_; ++i) {
      std::ifstream file(output_);
      std::stringstream text;
      text << file.rdbuf();
      ready_ = text.str().find("ACCEPT") != std::string::npos;
      if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~OpensslServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (stdin_ >= 0) close(stdin_);
    std::remove(output_.c_str());
  }
  bool Ready() const { return ready_; }
  uint16_t Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  uint16_t port_ = 0;
  bool ready_ = false;
  std::string output_;
};

// ServerTempKeyBits is what `openssl s_client` reports of the server's ephemeral key ("Server Temp Key:
// X25519, 253 bits"); -1 when it reports none.
int ServerTempKeyBits(const std::string& certificate, const std::string& key, const std::string& options,
                      const std::string& client_options) {
  OpensslServer server(certificate, key, options);
  if (!server.Ready()) return -1;
  const std::string command = "openssl s_client -connect 127.0.0.1:" + std::to_string(server.Port()) + " " +
                              client_options + " </dev/null 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof(chunk), pipe)) > 0) text.append(chunk, got);
  pclose(pipe);
  std::smatch match;
  return std::regex_search(text, match, std::regex("Server Temp Key: [^,]+, ([0-9]+) bits"))
             ? std::stoi(match[1].str())
             : -1;
}

TEST_F(TlsCredentialsTest, LoopbackHandshakesDescribeTheConnection) {
  if (!HaveOpenssl()) GTEST_SKIP() << "the openssl command is not installed";
  const std::string certificate = testing_support::TempPath("tls_server.crt");
  const std::string key = testing_support::TempPath("tls_server.key");
  const testing_support::RemovedAtExit remove_files({certificate, key});
  const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -keyout " + key +
                           " -out " + certificate + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0);

  const std::string tls12 = "-tls1_2 -cipher ECDHE-RSA-AES256-GCM-SHA384";
  const int temp_key_bits = ServerTempKeyBits(certificate, key, tls12, "-tls1_2");
  ASSERT_GT(temp_key_bits, 0);

  struct Case {
    const char* server_options;
    int32_t protocols;
    const char* algorithms;
    bool negotiates;
    std::vector<std::string> in_text;
    const char* cipher_name;
    int cipher_bits;
  };
  const std::string full = Expected("TLS1.2", "AES", 256, "SHA384", 384, "ECDH Ephemeral RSA", temp_key_bits);
  const Case cases[] = {
      {tls12.c_str(), 0xFC0, "*", true, {full}, "AES", 256},
      {"-tls1_3 -ciphersuites TLS_AES_256_GCM_SHA384", 0x3FC0, "*", true,
       {"Protocol: TLS1.3 Cipher: AES Cipher strength: 256 Hash: SHA384 Hash strength: 384 Key exchange: ECDH"},
       "AES", 256},
      {"-ciphersuites TLS_CHACHA20_POLY1305_SHA256", 0x3FC0, "*", true,
       {"Protocol: TLS1.3 Cipher: 0x0 Cipher strength: 256 Hash: SHA256 "}, "0x0", 256},
      {"", 0x3FC0 & ~0x3000, "CALG_AES_128", true, {"Cipher: AES Cipher strength: 128 "}, "AES", 128},
      {"", 0x2C00, "CALG_AES_128", true, {"Protocol: TLS1.3 Cipher: AES Cipher strength: 128 "}, "AES", 128},
      // The newer description carries no algorithm list.
      {"", 0x3FC0, "CALG_AES_128", true, {"Protocol: TLS1.3 Cipher: AES Cipher strength: 256 "}, "AES", 256},
      {"-tls1_3", 0xC00, "*", false, {}, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server_options);
    OpensslServer server(certificate, key, c.server_options);
    ASSERT_TRUE(server.Ready());
    TlsSocket s;
    s.SslEnabledProtocols() = c.protocols;
    ASSERT_EQ(s.AcceptedAlgorithms().SetString(c.algorithms), 0);
    ASSERT_EQ(AcquireTlsCredentials(s, 2, nullptr), 0);
    plat::SecHandle context;
    const int32_t status = plat::test::HandshakeOverLoopback(&s.Credentials(), server.Port(), &context);
    if (!c.negotiates) {
      EXPECT_EQ(status, plat::kSecEIllegalMessage);
      EXPECT_FALSE(context.IsSet());
      continue;
    }
    ASSERT_EQ(status, 0);
    core::Buffer out;
    EXPECT_EQ(SslConnectionInfoText(s, context, out), 0);
    for (const std::string& part : c.in_text) {
      EXPECT_NE(testing_support::Text(out).find(part), std::string::npos) << testing_support::Text(out);
    }
    EXPECT_EQ(testing_support::Text(s.TlsState().cipher_name), c.cipher_name);
    EXPECT_EQ(s.TlsState().cipher_strength, c.cipher_bits);
    EXPECT_EQ(testing_support::Text(s.TlsState().key_exchange_name), "ECDH Ephemeral RSA");
    EXPECT_GT(s.TlsState().key_exchange_strength, 0);
    EXPECT_EQ(plat::DeleteSecurityContext(&context), 0);
  }
}

#else

TEST_F(TlsCredentialsTest, LoopbackHandshakesDescribeTheConnection) {
  GTEST_SKIP() << "built without the platform crypto modules: no security provider";
}

#endif

}  // namespace
}  // namespace velmora::component
