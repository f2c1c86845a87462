// PEM and SSH public key reading next to OpenSSL in the same run: the system bundle split into blocks
// (PEM_read_bio), an AES-256 encrypted traditional RSA key (PEM_read_bio and PEM_do_header), and a one-line
// SSH key with its SHA-256 fingerprint (EVP_DecodeBlock and EVP_Digest on the same bytes). OpenSSL is
// linked to the benchmark only.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <fstream>
#include <iterator>
#include <string>

#include "core/buffer.h"
#include "core/str_list.h"
#include "crypto/providers/provider_tables.h"
#include "keystore/ssh_public_key.h"
#include "pki/pem_armour.h"

namespace velmora::bench {
namespace {

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::string& Bundle() {
  static const std::string text = ReadFile("/etc/ssl/certs/ca-certificates.crt");
  return text;
}

// Aes256Key is a traditional RSA key under AES-256-CBC with the password "x", made once by OpenSSL.
const std::string& Aes256Key() {
  static const std::string text = [] {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey_traditional(bio, key, EVP_aes_256_cbc(), reinterpret_cast<const unsigned char*>("x"), 1,
                                         nullptr, nullptr);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(length));
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
  }();
  return text;
}

const std::string& SshLine() {
  static const std::string text =
      ReadFile("/usr/lib/python3/dist-packages/cryptography_vectors/asymmetric/OpenSSH/rsa-nopsw.key.pub");
  return text;
}

int32_t BlockCount() {
  core::Buffer text, error;
  core::StrList labels, headers, bodies;
  (void)text.SetData(static_cast<int32_t>(Bundle().size()), Bundle().data());
  (void)pki::ParsePemArmour(text, labels, headers, bodies, error);
  return labels.Count();
}

void BM_Bundle_ParsePemArmour(benchmark::State& state) {
  core::Buffer text, error;
  core::StrList labels, headers, bodies;
  (void)text.SetData(static_cast<int32_t>(Bundle().size()), Bundle().data());
  for (auto _ : state) {
    if (pki::ParsePemArmour(text, labels, headers, bodies, error) != 0) state.SkipWithError("parse");
  }
  state.counters["blocks"] = BlockCount();
  state.counters["per_block"] = benchmark::Counter(static_cast<double>(state.iterations()) * BlockCount(),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Bundle_PemReadBio(benchmark::State& state) {
  for (auto _ : state) {
    BIO* bio = BIO_new_mem_buf(Bundle().data(), static_cast<int>(Bundle().size()));
    char *name = nullptr, *header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    while (PEM_read_bio(bio, &name, &header, &data, &length) == 1) {
      OPENSSL_free(name);
      OPENSSL_free(header);
      OPENSSL_free(data);
    }
    BIO_free(bio);
  }
  state.counters["per_block"] = benchmark::Counter(static_cast<double>(state.iterations()) * BlockCount(),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Aes256Key_PemDecode(benchmark::State& state) {
  crypto::CryptoProvidersStaticInit();
  core::Buffer out;
  // The first call opens the platform's cached algorithm handles; it stays outside the timing.
  (void)pki::PemDecode(Aes256Key().c_str(), "RSA PRIVATE KEY", out, "x");
  for (auto _ : state) {
    if (pki::PemDecode(Aes256Key().c_str(), "RSA PRIVATE KEY", out, "x") != 0) state.SkipWithError("decode");
  }
  crypto::CryptoProvidersStaticDestroy();
}

int Password(char* buffer, int, int, void*) {
  buffer[0] = 'x';
  return 1;
}

void BM_Aes256Key_PemReadBioDoHeader(benchmark::State& state) {
  for (auto _ : state) {
    BIO* bio = BIO_new_mem_buf(Aes256Key().data(), static_cast<int>(Aes256Key().size()));
    char *name = nullptr, *header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    EVP_CIPHER_INFO cipher;
    if (PEM_read_bio(bio, &name, &header, &data, &length) != 1 || PEM_get_EVP_CIPHER_INFO(header, &cipher) != 1 ||
        PEM_do_header(&cipher, data, &length, Password, nullptr) != 1) {
      state.SkipWithError("openssl");
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    BIO_free(bio);
  }
}

void BM_SshLine_ReadAndFingerprint(benchmark::State& state) {
  crypto::CryptoProvidersStaticInit();
  core::Buffer out;
  {
    crypto::KeyRecord key;
    (void)keystore::ReadSshPublicKeyBlob(SshLine().data(), static_cast<int32_t>(SshLine().size()), key);
    (void)keystore::SshKeyFingerprint(key, out, "SHA256");
  }
  for (auto _ : state) {
    crypto::KeyRecord key;
    if (keystore::ReadSshPublicKeyBlob(SshLine().data(), static_cast<int32_t>(SshLine().size()), key) != 0 ||
        keystore::SshKeyFingerprint(key, out, "SHA256") != 0) {
      state.SkipWithError("ssh");
    }
  }
  crypto::CryptoProvidersStaticDestroy();
}

void BM_SshLine_DecodeBlockAndDigest(benchmark::State& state) {
  const std::string& line = SshLine();
  const size_t a = line.find(' ') + 1, b = line.find(' ', a);
  unsigned char blob[2048], md[32];
  for (auto _ : state) {
    const int n = EVP_DecodeBlock(blob, reinterpret_cast<const unsigned char*>(line.data() + a), static_cast<int>(b - a));
    if (n < 0 || EVP_Digest(blob, static_cast<size_t>(n), md, nullptr, EVP_sha256(), nullptr) != 1) {
      state.SkipWithError("openssl");
    }
    benchmark::DoNotOptimize(md);
  }
}

BENCHMARK(BM_Bundle_ParsePemArmour);
BENCHMARK(BM_Bundle_PemReadBio);
BENCHMARK(BM_Aes256Key_PemDecode);
BENCHMARK(BM_Aes256Key_PemReadBioDoHeader);
BENCHMARK(BM_SshLine_ReadAndFingerprint);
BENCHMARK(BM_SshLine_DecodeBlockAndDigest);

}  // namespace
}  // namespace velmora::bench
