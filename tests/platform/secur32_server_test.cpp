// Server credentials with a certificate whose key is in the software key storage provider: an RSA and a
// P-256 certificate, signed by a CA that openssl makes for the test, serve a handshake `openssl s_client`
// verifies against that CA.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/crypto/crypt32_modules.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/hash_types.h"
#include "platform/crypto/ksp_software.h"
#include "platform/crypto/ncrypt_types.h"
#include "platform/crypto/secur32_modules.h"
#include "platform/store_root.h"
#include "tests/asn1/asn1_oracle.h"
#include "tests/core/python_oracle.h"

extern char** environ;

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

// The oracle prints the CNG private blob of a PEM key: its blob type, then its bytes in hex.
constexpr char kBlobOracle[] = R"PY(
import struct, sys
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa, ec
key = serialization.load_pem_private_key(open(sys.argv[1], "rb").read(), None)
def be(v, n=None): return v.to_bytes(n or (v.bit_length() + 7) // 8, "big")
if isinstance(key, rsa.RSAPrivateKey):
    n = key.private_numbers(); e, m = be(n.public_numbers.e), be(n.public_numbers.n)
    p, q = be(n.p), be(n.q)
    blob = struct.pack("<6I", 0x32415352, key.key_size, len(e), len(m), len(p), len(q)) + e + m + p + q
    print("RSAPRIVATEBLOB", blob.hex())
else:
    n = key.private_numbers()
    blob = struct.pack("<2I", 0x32534345, 32) + be(n.public_numbers.x, 32) + be(n.public_numbers.y, 32) + be(n.private_value, 32)
    print("ECCPRIVATEBLOB", blob.hex())
)PY";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// ListenOnLoopback opens a listening socket on a free port of 127.0.0.1.
int ListenOnLoopback(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// ImportNamedKey stores a CNG private blob as a software-provider key of that name.
bool ImportNamedKey(const std::u16string& name, const std::string& blob_type, const std::string& blob) {
  std::u16string wide_type(blob_type.begin(), blob_type.end());
  std::u16string key_name = name;
  NCryptBuffer buffer{static_cast<ULONG>((key_name.size() + 1) * 2), kNcryptBufferPkcsKeyName, key_name.data()};
  NCryptBufferDesc list{0, 1, &buffer};
  NCRYPT_KEY_HANDLE key = 0;
  if (ksp::ImportKey(ksp::Provider::kSoftware, 0, wide_type.c_str(), &list, &key,
                     reinterpret_cast<const uint8_t*>(blob.data()), static_cast<DWORD>(blob.size()),
                     kNcryptDoNotFinalizeFlag) != 0) {
    return false;
  }
  const bool finalized = ksp::FinalizeKey(key, 0) == 0;
  (void)ksp::FreeKey(key);
  return finalized;
}

class ServerCredentialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/velmora_server_XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    root_ = base;
    fs::create_directory(root_ + "/store");
    test::SetStoreRoot((root_ + "/store").c_str());
  }
  void TearDown() override {
    EXPECT_EQ(test::LiveCryptoHandles(), 0);
    test::SetStoreRoot(nullptr);
    fs::remove_all(root_);
  }
  bool Run(const std::string& command) const { return std::system(("cd " + root_ + " && " + command).c_str()) == 0; }
  std::string root_;
};

TEST_F(ServerCredentialTest, OpensslClientVerifiesOurCertificate) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "the openssl command is not installed";
  if (std::system((std::string(pki::testing::kDebianPython) + " -c 'import cryptography' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "python3-cryptography is not installed";
  }
  ASSERT_TRUE(Run("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj '/CN=Velmora Test CA' -keyout ca.key "
                  "-out ca.pem >/dev/null 2>&1"));
  struct Case {
    const char* name;
    const char* key_options;
  };
  const Case cases[] = {{"rsa", "-algorithm RSA -pkeyopt rsa_keygen_bits:2048"},
                        {"p256", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string n = c.name;
    ASSERT_TRUE(Run("openssl genpkey " + std::string(c.key_options) + " -out " + n + ".key 2>/dev/null && "
                    "openssl req -new -key " + n + ".key -subj '/CN=velmora " + n + " server' -out " + n +
                    ".csr && openssl x509 -req -in " + n + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 "
                    "-outform DER -out " + n + ".der 2>/dev/null"));
    std::string out;
    ASSERT_TRUE(
        testing_support::RunPython(kBlobOracle, root_ + "/" + n + ".key", "", &out, pki::testing::kDebianPython));
    const auto fields = testing_support::Lines(out);
    ASSERT_EQ(fields.size(), 1u);
    const std::u16string key_name = u"server " + std::u16string(n.begin(), n.end());
    ASSERT_TRUE(ImportNamedKey(key_name, fields[0][0], testing_support::FromHex(fields[0][1])));

    const std::string der = ReadText(root_ + "/" + n + ".der");
    PCCERT_CONTEXT certificate = CertCreateCertificateContext(
        kX509AsnEncoding, reinterpret_cast<const uint8_t*>(der.data()), static_cast<DWORD>(der.size()));
    ASSERT_NE(certificate, nullptr);
    std::u16string container = key_name, provider = kSoftwareKeyStorageProvider;
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 0, 0, 0, nullptr, kCertNcryptKeySpec};
    ASSERT_EQ(CertSetCertificateContextProperty(certificate, kCertKeyProvInfoPropId, 0, &info), 1);
    SCHANNEL_CRED description{};
    description.version = kSchannelCredVersion;
    description.cred_count = 1;
    description.creds = &certificate;
    SecHandle credential;
    ASSERT_EQ(AcquireCredentialsHandleA(nullptr, "Schannel", kSecpkgCredInbound, nullptr, &description, nullptr,
                                        nullptr, &credential, nullptr), kSecEOk);

    uint16_t port = 0;
    const int listening = ListenOnLoopback(&port);
    ASSERT_GE(listening, 0);
    const std::string client_out = root_ + "/" + n + ".client";
    const std::string command = "exec openssl s_client -connect 127.0.0.1:" + std::to_string(port) + " -CAfile " +
                                root_ + "/ca.pem -verify_return_error </dev/null >" + client_out + " 2>&1";
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t client = -1;
    ASSERT_EQ(posix_spawn(&client, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    SecHandle context;
    EXPECT_EQ(test::AcceptOverLoopback(&credential, listening, &context), kSecEOk);
    int client_status = -1;
    waitpid(client, &client_status, 0);
    close(listening);
    const std::string said = ReadText(client_out);
    EXPECT_TRUE(WIFEXITED(client_status) && WEXITSTATUS(client_status) == 0) << said;
    EXPECT_NE(said.find("Verify return code: 0 (ok)"), std::string::npos) << said;
    EXPECT_NE(said.find("subject=CN = velmora " + n + " server"), std::string::npos) << said;
    EXPECT_EQ(DeleteSecurityContext(&context), kSecEOk);
    EXPECT_EQ(FreeCredentialsHandle(&credential), kSecEOk);
    EXPECT_EQ(CertFreeCertificateContext(certificate), 1);
  }
}

}  // namespace
}  // namespace velmora::platform
