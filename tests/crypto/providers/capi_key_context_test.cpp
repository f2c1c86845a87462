// CryptoAPI key containers through CryptoApiKeyContext, the CryptoAPI blobs of RSA and DSA keys checked by
// signing through the container (openssl pkeyutl) and by reading the container back (python3), and PEM
// bodies against openssl x509.
#include "crypto/providers/capi_key_context.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/providers/provider_tables.h"
#include "platform/modules.h"
#include "platform/store_root.h"
#include "tests/asn1/asn1_oracle.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/capi_containers.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/ncrypt_types.h"
#endif

namespace velmora::crypto {
namespace {

namespace plat = velmora::platform;
namespace fs = std::filesystem;
using testing_support::FromHex;
using testing_support::ToHex;

std::string Str(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }

// Shell runs a command and gives its standard output; false when it fails.
bool Shell(const std::string& command, std::string* out) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  out->clear();
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) out->append(chunk, got);
  return pclose(pipe) == 0;
}

TEST(CryptoApiKeyContext, ProviderTextGivesNameAndType) {
  struct Case {
    const char* text;
    const char* name;
    int32_t type;
  };
  const Case cases[] = {
      {"Microsoft Enhanced RSA and AES Cryptographic Provider", "Microsoft Enhanced RSA and AES Cryptographic Provider",
       24},
      {"Microsoft Base DSS Cryptographic Provider", "Microsoft Base DSS Cryptographic Provider", 3},
      {"name:13", "name", 13},
      {"", "", 1},
      {nullptr, "", 1},
      {"Microsoft Base Cryptographic Provider v1.0", "Microsoft Base Cryptographic Provider v1.0", 1},
  };
  for (const Case& c : cases) {
    component::CryptoApiKeyContext context;
    context.provider_type = 7;
    ASSERT_EQ(SetProvider(context, c.text), 0);
    EXPECT_EQ(Str(context.provider_name), c.name);
    EXPECT_EQ(context.provider_type, c.type);
  }
}

TEST(CryptoApiKeyContext, PemBodiesMatchOpenssl) {
  std::string out;
  if (!Shell("openssl version 2>/dev/null", &out)) GTEST_SKIP() << "the openssl command is not installed";
  const std::string pem = testing_support::TempPath("body.pem"), der = testing_support::TempPath("body.der");
  const testing_support::RemovedAtExit remove_files({pem, der});
  ASSERT_TRUE(Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout /dev/null -subj "
                    "/CN=body -days 1 -out " + pem + " 2>/dev/null && openssl x509 -in " + pem +
                        " -outform DER -out " + der, &out));
  std::ifstream pem_in(pem, std::ios::binary), der_in(der, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(pem_in)), {});
  const std::string expected((std::istreambuf_iterator<char>(der_in)), {});
  std::remove(pem.c_str());
  std::remove(der.c_str());
  core::Buffer body;
  // Text around the block, and CRLF line ends, change nothing.
  std::string crlf;
  for (const char c : "junk before\n" + text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const std::string& input : {text, crlf}) {
    ASSERT_EQ(PemBodyToBinary(body, "CERTIFICATE", input.data(), static_cast<int32_t>(input.size())), 0);
    EXPECT_EQ(ToHex(Str(body)), ToHex(expected));
  }
  ASSERT_EQ(PemBodyToBinary(body, "CERTIFICATE", expected.data(), static_cast<int32_t>(expected.size())), 0);
  EXPECT_EQ(ToHex(Str(body)), ToHex(expected));
  ASSERT_EQ(PemBodyToBinary(body, "CERTIFICATE", "aGVsbG8=\n", 9), 0);
  EXPECT_EQ(Str(body), "hello");
}

#if VELMORABLE_PLATFORM_CRYPTO

class ContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/velmora_capi_XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    root_ = base;
    plat::test::SetStoreRoot(root_.c_str());
    plat::test::ResetCryptoCallCounts();
  }
  void TearDown() override {
    EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
    EXPECT_EQ(plat::test::ModuleLoadCount("advapi32"), 0);  // released with the last context
    plat::test::SetStoreRoot(nullptr);
    fs::remove_all(root_);
  }
  std::string root_;
};

bool HaveTools() {
  std::string out;
  return Shell("openssl version 2>/dev/null", &out) &&
         Shell(std::string(pki::testing::kDebianPython) + " -c 'import cryptography' 2>/dev/null", &out);
}

int Calls() { return plat::test::CryptoCallCount("CryptAcquireContextA"); }

TEST_F(ContainerTest, AcquireRetriesThenGivesUp) {
  component::CryptoApiKeyContext context;
  ASSERT_EQ(Acquire(context, nullptr, "retry", 0, true), 0);
  EXPECT_EQ(Calls(), 2);  // open, then create
  EXPECT_NE(context.provider_handle, 0u);
  Release(context);
  EXPECT_EQ(context.provider_handle, 0u);
  // Both attempts fail: the whole acquisition again as a machine key set, which creates it there.
  plat::test::FailAcquireContexts(2);
  ASSERT_EQ(Acquire(context, nullptr, "machine", 0, true), 0);
  EXPECT_EQ(Calls(), 2 + 4);
  Release(context);
  plat::test::FailAcquireContexts(4);
  EXPECT_EQ(Acquire(context, nullptr, "never", 0, true), kContainerNotAcquired);
  EXPECT_EQ(Calls(), 6 + 4);
  EXPECT_EQ(Acquire(context, "other:13", "typed", 0, true), kContainerNotAcquired);
  // Empty containers live in memory only.
  EXPECT_FALSE(fs::exists(root_ + "/capi"));
}

// The oracle: "rsa BITS" prints a key's N E D P Q; "dsa" P Q G Y X; "verify NAME DIGEST SIG N E" checks a
// PKCS#1 SHA-256 signature with openssl pkeyutl; "der HEX" prints the numbers of a PKCS#8 DSA key.
constexpr char kOracle[] = R"PY(
import atexit, os, shutil, subprocess, sys, tempfile
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa, dsa
tmp = tempfile.mkdtemp()
atexit.register(shutil.rmtree, tmp, True)
def hx(v): return "x" + v.to_bytes((v.bit_length() + 7) // 8, "big").hex()
for line in sys.stdin:
    f = line.split()
    if f[0] == "rsa":
        pem = subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:" + f[1]],
                             capture_output=True, check=True).stdout
        n = serialization.load_pem_private_key(pem, None).private_numbers()
        print(hx(n.public_numbers.n), hx(n.public_numbers.e), hx(n.d), hx(n.p), hx(n.q))
    elif f[0] == "dsa":
        n = dsa.generate_private_key(1024).private_numbers(); p = n.public_numbers.parameter_numbers
        print(hx(p.p), hx(p.q), hx(p.g), hx(n.public_numbers.y), hx(n.x))
    elif f[0] == "verify":
        pub = rsa.RSAPublicNumbers(int(f[5], 16), int(f[4], 16)).public_key()
        open(os.path.join(tmp, f[1] + ".pem"), "wb").write(pub.public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
        open(os.path.join(tmp, "d"), "wb").write(bytes.fromhex(f[2])); open(os.path.join(tmp, "s"), "wb").write(bytes.fromhex(f[3]))
        r = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", os.path.join(tmp, f[1] + ".pem"),
                            "-pkeyopt", "digest:sha256", "-in", os.path.join(tmp, "d"), "-sigfile", os.path.join(tmp, "s")],
                           capture_output=True)
        print("ok" if r.returncode == 0 else "bad")
    elif f[0] == "der":
        n = serialization.load_der_private_key(bytes.fromhex(f[1]), None).private_numbers()
        p = n.public_numbers.parameter_numbers
        print(hx(p.p), hx(p.q), hx(p.g), hx(n.public_numbers.y), hx(n.x))
    sys.stdout.flush()
)PY";

void Set(core::BufferCore& field, const std::string& bytes) {
  ASSERT_EQ(field.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
}
uint32_t Le32(const core::BufferCore& blob, int at) {
  const uint8_t* b = blob.Bytes() + at;
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

TEST_F(ContainerTest, BlobsImportAndSignThroughTheContainer) {
  if (!HaveTools()) GTEST_SKIP() << "openssl or python3-cryptography is not installed";
  LoadNCryptFunctions();
  std::string script_out;
  // Keys: 2048 bits with a 257-byte modulus, 1000 bits, 2048 bits with the exponent in five bytes.
  ASSERT_TRUE(testing_support::RunPython(kOracle, "", "rsa 2048\nrsa 1000\nrsa 2048\ndsa\n", &script_out,
                                         pki::testing::kDebianPython));
  const auto keys = testing_support::Lines(script_out);
  ASSERT_EQ(keys.size(), 4u);
  struct Case {
    const char* name;
    std::string modulus_prefix, exponent_prefix;
    uint32_t bits;
  };
  const Case cases[] = {{"a", std::string(1, '\0'), "", 2048}, {"b", "", "", 1000}, {"c", "", std::string(2, '\0'), 2048}};
  plat::ModuleHandle ncrypt = plat::LoadModule("ncrypt");
  auto translate = reinterpret_cast<plat::NCryptTranslateHandleFn>(plat::GetProc(ncrypt, "NCryptTranslateHandle"));
  auto sign = reinterpret_cast<plat::NCryptSignHashFn>(plat::GetProc(ncrypt, "NCryptSignHash"));
  auto free_object = reinterpret_cast<plat::NCryptFreeObjectFn>(plat::GetProc(ncrypt, "NCryptFreeObject"));
  const std::string digest = FromHex("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
  std::string commands;
  for (size_t i = 0; i < 3; ++i) {
    const Case& c = cases[i];
    RsaKeyParams params;
    Set(params.Modulus, c.modulus_prefix + FromHex(keys[i][0]));
    Set(params.Exponent, c.exponent_prefix + FromHex(keys[i][1]));
    Set(params.D, FromHex(keys[i][2]));
    Set(params.P, FromHex(keys[i][3]));
    Set(params.Q, FromHex(keys[i][4]));
    core::Buffer blob;
    ASSERT_EQ(RsaToCryptoApiPrivateBlob(params, blob), 0);
    EXPECT_EQ(ToHex(Str(blob).substr(0, 12)), "0702000000a4000052534132");
    EXPECT_EQ(Le32(blob, 12), c.bits) << c.name;
    EXPECT_EQ(Le32(blob, 16), 65537u) << c.name;
    component::CryptoApiKeyContext context;
    ASSERT_EQ(Acquire(context, nullptr, c.name, 0, true), 0);
    plat::HCRYPTKEY key = 0;
    ASSERT_EQ(plat::CryptImportKey(context.provider_handle, blob.Bytes(), static_cast<plat::DWORD>(blob.Length()), 0,
                                   plat::kCryptExportable, &key), 1) << c.name;
    context.key_handle = key;
    plat::NCRYPT_KEY_HANDLE translated = 0;
    ASSERT_EQ(translate(nullptr, &translated, context.provider_handle, 0, 1, 0), 0);
    plat::BCRYPT_PKCS1_PADDING_INFO padding{u"SHA256"};
    uint8_t signature[512];
    plat::DWORD size = 0;
    ASSERT_EQ(sign(translated, &padding, reinterpret_cast<const uint8_t*>(digest.data()), 32, signature,
                   sizeof signature, &size, plat::kNcryptPadPkcs1Flag), 0);
    EXPECT_EQ(free_object(translated), 0);
    commands += std::string("verify ") + c.name + " " + ToHex(digest) + " " +
                ToHex(std::string(reinterpret_cast<char*>(signature), size)) + " " + keys[i][0].substr(1) + " " +
                keys[i][1].substr(1) + "\n";
    Release(context);
  }
  // The DSA key, into a DSS container; the container gives its numbers back.
  DsaKeyParams dsa_params;
  Set(dsa_params.P, FromHex(keys[3][0]));
  Set(dsa_params.Q, FromHex(keys[3][1]));
  Set(dsa_params.G, FromHex(keys[3][2]));
  Set(dsa_params.Y, FromHex(keys[3][3]));
  Set(dsa_params.X, std::string(1, '\0') + FromHex(keys[3][4]));
  core::Buffer dss;
  ASSERT_EQ(DsaToCryptoApiPrivateBlob(dsa_params, dss), 0);
  EXPECT_EQ(ToHex(Str(dss).substr(0, 12)), "0703000000220000" + ToHex("DSS4"));
  EXPECT_EQ(Le32(dss, 12), 1024u);
  EXPECT_EQ(Le32(dss, 16), 160u);
  component::CryptoApiKeyContext dss_context;
  ASSERT_EQ(Acquire(dss_context, "Microsoft Base DSS Cryptographic Provider", "dss", 0, true), 0);
  plat::HCRYPTKEY dss_key = 0;
  ASSERT_EQ(plat::CryptImportKey(dss_context.provider_handle, dss.Bytes(), static_cast<plat::DWORD>(dss.Length()), 0,
                                 0, &dss_key), 1);
  dss_context.key_handle = dss_key;
  Release(dss_context);
  const std::vector<uint8_t> der = plat::test::ContainerKeyDer("dss", false, 2);
  commands += "der " + ToHex(std::string(der.begin(), der.end())) + "\n";
  ASSERT_TRUE(testing_support::RunPython(kOracle, "", commands, &script_out, pki::testing::kDebianPython));
  const auto answers = testing_support::Lines(script_out);
  ASSERT_EQ(answers.size(), 4u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(answers[i][0], "ok") << cases[i].name;
  EXPECT_EQ(answers[3], keys[3]);
  // Deleting a container removes its folder.
  EXPECT_TRUE(fs::exists(root_ + "/capi/user/" + plat::StoreFileName(u"dss")));
  plat::HCRYPTPROV none = 0;
  EXPECT_EQ(plat::CryptAcquireContextA(&none, "dss", nullptr, 3, plat::kCryptDeleteKeyset), 1);
  EXPECT_FALSE(fs::exists(root_ + "/capi/user/" + plat::StoreFileName(u"dss")));
  EXPECT_TRUE(plat::FreeModule(ncrypt));
  FreeNCryptFunctions();
}

#else

TEST(ContainerTest, BlobsImportAndSignThroughTheContainer) {
  GTEST_SKIP() << "built without the platform crypto modules: no key containers";
}

#endif

}  // namespace
}  // namespace velmora::crypto
