// Helpers of the cipher tests: running an InternalCipher over a message in pieces, OpenSSL's EVP
// ciphers as the reference, and forcing the portable AES path for a scope.
#pragma once

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/buffer.h"
#include "crypto/cipher/aead.h"
#include "crypto/cipher/aes.h"
#include "crypto/cipher/internal_cipher.h"
#include "tests/core/python_oracle.h"

namespace velmora::crypto {

inline const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
inline std::string Str(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }

inline std::string ToHexString(const std::string& s) { return testing_support::ToHex(s); }

inline std::string RandomBytes(std::mt19937& rng, size_t length) {
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

// CipherConfig names one configuration of the cipher object.
struct CipherConfig {
  int32_t algorithm = kCipherAes;
  int32_t mode = kModeCbc;
  int32_t padding = kPaddingNone;
  std::string options;
};

// Run result: the code of the first failing call and what was written.
struct CipherRun {
  int rc = 0;
  std::string out;
};

// FeedInPieces feeds data to a cipher's update/final pair: update calls on the given piece lengths (the
// object may leave bytes over, which go in front of the next piece), then a final call on the rest. step
// is called as step(bytes, &length, final) and returns the cipher's code; the first nonzero one ends it.
template <typename Step>
int FeedInPieces(const std::string& data, const std::vector<size_t>& pieces, Step step) {
  std::string pending;
  size_t at = 0;
  for (size_t piece : pieces) {
    pending += data.substr(at, piece);
    at += piece;
    auto length = static_cast<int32_t>(pending.size());
    const int rc = step(U8(pending), &length, 0);
    if (rc != 0) return rc;
    pending.erase(0, static_cast<size_t>(length));
  }
  pending += data.substr(at);
  auto length = static_cast<int32_t>(pending.size());
  return step(U8(pending), &length, 1);
}

// RunCipher runs one message through a fresh object in update pieces and a final call (FeedInPieces).
inline CipherRun RunCipher(const CipherConfig& config, const std::string& key, const std::string& iv, const std::string& data,
                     bool decrypt, const std::vector<size_t>& pieces = {}) {
  InternalCipher cipher;
  CipherRun run;
  run.rc = cipher.Init(config.algorithm, U8(key), static_cast<int32_t>(key.size()), U8(iv),
                       static_cast<int32_t>(iv.size()), decrypt ? 1 : 0, config.mode, config.padding,
                       config.options.empty() ? nullptr : config.options.c_str());
  if (run.rc != 0) return run;
  core::Buffer out;
  bool finished = false;  // the final call was made: its output is kept even when it fails
  run.rc = FeedInPieces(data, pieces, [&](const uint8_t* in, int32_t* length, int final) {
    finished = final != 0;
    return decrypt ? cipher.Decrypt(in, 0, length, out, final) : cipher.Encrypt(in, 0, length, out, final);
  });
  if (finished) run.out = Str(out);
  return run;
}

// EvpCrypt runs an OpenSSL cipher by name over data; "" and *ok false when OpenSSL refuses.
inline std::string EvpCrypt(const char* name, const std::string& key, const std::string& iv, const std::string& data,
                            bool encrypt, bool padding, bool* ok, const char* cts_mode = nullptr) {
  *ok = false;
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  if (cipher == nullptr) return "";
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(data.size() + 64, '\0');
  int n = 0, tail = 0;
  OSSL_PARAM params[2] = {OSSL_PARAM_END, OSSL_PARAM_END};
  if (cts_mode != nullptr) {
    params[0] = OSSL_PARAM_construct_utf8_string(OSSL_CIPHER_PARAM_CTS_MODE, const_cast<char*>(cts_mode), 0);
  }
  bool good = EVP_CipherInit_ex2(ctx, cipher, U8(key), iv.empty() ? nullptr : U8(iv), encrypt ? 1 : 0, params) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0) == 1 &&
              EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n, U8(data),
                               static_cast<int>(data.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  *ok = good;
  out.resize(good ? static_cast<size_t>(n + tail) : 0);
  return out;
}

// AesPaths lists the AES paths this processor runs: VAES on 256-bit lanes, 128-bit AES-NI, the tables.
inline std::vector<internal::AesPath> AesPaths() {
  std::vector<internal::AesPath> paths;
  if (internal::CpuHasWideAes()) paths.push_back(internal::AesPath::kWide);
  if (internal::CpuHasAesNi()) paths.push_back(internal::AesPath::kNarrow);
  paths.push_back(internal::AesPath::kPortable);
  return paths;
}

inline const char* AesPathName(internal::AesPath path) {
  return path == internal::AesPath::kWide ? "VAES" : path == internal::AesPath::kNarrow ? "AES-NI" : "tables";
}

// AesPathScope runs a block on one AES path (and GHASH on its portable form with the tables).
struct AesPathScope {
  explicit AesPathScope(internal::AesPath path) {
    internal::ForceAesPath(path);
    SetPortableGhash(path == internal::AesPath::kPortable);
  }
  ~AesPathScope() {
    internal::ForceAesPath(internal::AesPath::kWide);
    SetPortableGhash(false);
  }
};

}  // namespace velmora::crypto
