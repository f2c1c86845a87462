// PKCS #12 and PKCS #8 reading next to OpenSSL in the same run: openssl's default container (PBES2 with
// AES-256, SHA-256 MAC) through Pfx::Load and PKCS12_parse, a "-v2 aes-128-cbc" key through
// DecryptPkcs8WithPassword and PKCS8_decrypt, and an RSA-2048 PrivateKeyInfo through ReadPkcs8PrivateKeyInfo
// and d2i_PrivateKey. The inputs are made by the openssl command once. OpenSSL is linked to the benchmark
// only.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "core/buffer.h"
#include "crypto/providers/provider_tables.h"
#include "pki/key_der.h"
#include "pki/password_encryption.h"
#include "pki/pfx.h"

namespace velmora::bench {
namespace {

constexpr const char* kDir = "/tmp/velmora_pkcs_bench";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Input makes the inputs on first use and returns the one named.
const std::string& Input(const char* name) {
  static const bool made = [] {
    const std::string d = kDir;
    const std::string script =
        "mkdir -p " + d + " && cd " + d +
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=bench -keyout k.pem -out c.pem 2>/dev/null"
        " && openssl pkcs12 -export -passout pass:x -inkey k.pem -in c.pem -out default.p12"
        " && openssl pkcs8 -topk8 -v2 aes-128-cbc -passout pass:x -outform DER -in k.pem -out aes128.der"
        " && openssl pkcs8 -topk8 -nocrypt -outform DER -in k.pem -out plain.der";
    return std::system(script.c_str()) == 0;
  }();
  static std::string files[3] = {made ? ReadFile(std::string(kDir) + "/default.p12") : "",
                                 made ? ReadFile(std::string(kDir) + "/aes128.der") : "",
                                 made ? ReadFile(std::string(kDir) + "/plain.der") : ""};
  const std::string n = name;
  return n == "default.p12" ? files[0] : n == "aes128.der" ? files[1] : files[2];
}

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
int32_t Size(const std::string& s) { return static_cast<int32_t>(s.size()); }

void BM_Default_PfxLoad(benchmark::State& state) {
  crypto::CryptoProvidersStaticInit();
  const std::string& data = Input("default.p12");
  for (auto _ : state) {
    pki::Pfx pfx;
    if (pki::Pfx::Load(U8(data), Size(data), "x", pfx) != 0 || pfx.keys.Count() != 1) state.SkipWithError("load");
  }
}

void BM_Default_Pkcs12Parse(benchmark::State& state) {
  const std::string& data = Input("default.p12");
  for (auto _ : state) {
    const unsigned char* p = U8(data);
    PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(data.size()));
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    if (p12 == nullptr || PKCS12_parse(p12, "x", &key, &cert, nullptr) != 1) state.SkipWithError("parse");
    EVP_PKEY_free(key);
    X509_free(cert);
    PKCS12_free(p12);
  }
}

void BM_Aes128Key_DecryptPkcs8WithPassword(benchmark::State& state) {
  crypto::CryptoProvidersStaticInit();
  const std::string& data = Input("aes128.der");
  core::Buffer out;
  for (auto _ : state) {
    if (pki::DecryptPkcs8WithPassword(out, U8(data), Size(data), "x") != 0) state.SkipWithError("decrypt");
  }
}

void BM_Aes128Key_Pkcs8Decrypt(benchmark::State& state) {
  const std::string& data = Input("aes128.der");
  for (auto _ : state) {
    const unsigned char* p = U8(data);
    X509_SIG* sig = d2i_X509_SIG(nullptr, &p, static_cast<long>(data.size()));
    PKCS8_PRIV_KEY_INFO* info = sig != nullptr ? PKCS8_decrypt(sig, "x", 1) : nullptr;
    if (info == nullptr) state.SkipWithError("decrypt");
    PKCS8_PRIV_KEY_INFO_free(info);
    X509_SIG_free(sig);
  }
}

void BM_Rsa2048_ReadPkcs8PrivateKeyInfo(benchmark::State& state) {
  crypto::CryptoProvidersStaticInit();
  const std::string& data = Input("plain.der");
  for (auto _ : state) {
    pki::Pkcs8KeyInfo info;
    if (pki::ReadPkcs8PrivateKeyInfo(U8(data), Size(data), info) != 0) state.SkipWithError("read");
  }
}

void BM_Rsa2048_D2iPrivateKey(benchmark::State& state) {
  const std::string& data = Input("plain.der");
  for (auto _ : state) {
    const unsigned char* p = U8(data);
    EVP_PKEY* key = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(data.size()));
    if (key == nullptr) state.SkipWithError("d2i");
    EVP_PKEY_free(key);
  }
}

}  // namespace

BENCHMARK(BM_Default_PfxLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Default_Pkcs12Parse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Aes128Key_DecryptPkcs8WithPassword)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Aes128Key_Pkcs8Decrypt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rsa2048_ReadPkcs8PrivateKeyInfo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rsa2048_D2iPrivateKey)->Unit(benchmark::kMicrosecond);

}  // namespace velmora::bench
