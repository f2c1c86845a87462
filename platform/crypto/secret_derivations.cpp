#include "platform/crypto/secret_derivations.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <memory>

#include "platform/crypto/keypair_types.h"
#include "platform/crypto/openssl_ptr.h"

namespace velmora::platform {

WipedBytes::~WipedBytes() {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

namespace {

using Bytes = std::vector<uint8_t>;

using Md = ossl::Ptr<EVP_MD, EVP_MD_free>;
using MdCtx = ossl::Ptr<EVP_MD_CTX, EVP_MD_CTX_free>;
using Mac = ossl::Ptr<EVP_MAC, EVP_MAC_free>;
using MacCtx = ossl::Ptr<EVP_MAC_CTX, EVP_MAC_CTX_free>;
using Kdf = ossl::Ptr<EVP_KDF, EVP_KDF_free>;
using KdfCtx = ossl::Ptr<EVP_KDF_CTX, EVP_KDF_CTX_free>;

bool SameName(const char16_t* a, const char16_t* b) { return CompareCryptNames(a, b) == 0; }
void PutBytes(Bytes& out, const Bytes& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

struct KdfInputs {
  const char16_t* hash = nullptr;
  Bytes prepend, append, label, seed;
  Bytes concat[5];  // algorithm id, party U and V info, supplementary public and private info
  bool has_concat[5] = {};
  WipedBytes hmac_key;
  bool has_hmac_key = false;
};

// ReadKdfInputs reads a version 0 parameter list; empty buffers are skipped.
bool ReadKdfInputs(const void* parameters, bool concat, KdfInputs& inputs) {
  if (parameters == nullptr) return true;
  const auto* list = static_cast<const BCryptBufferDesc*>(parameters);
  if (list->ulVersion != kBcryptBufferVersion || (list->cBuffers != 0 && list->pBuffers == nullptr)) return false;
  for (ULONG i = 0; i < list->cBuffers; ++i) {
    const BCryptBuffer& buffer = list->pBuffers[i];
    if (buffer.cbBuffer == 0) continue;
    if (buffer.pvBuffer == nullptr) return false;
    const auto* bytes = static_cast<const uint8_t*>(buffer.pvBuffer);
    switch (buffer.BufferType) {
      case kKdfHashAlgorithm: {
        const auto* name = static_cast<const char16_t*>(buffer.pvBuffer);
        if (buffer.cbBuffer % 2 != 0 || name[buffer.cbBuffer / 2 - 1] != 0) return false;
        inputs.hash = name;
        break;
      }
      case kKdfSecretPrepend:
        inputs.prepend.assign(bytes, bytes + buffer.cbBuffer);
        break;
      case kKdfSecretAppend:
        inputs.append.assign(bytes, bytes + buffer.cbBuffer);
        break;
      case kKdfHmacKey:
        inputs.hmac_key.bytes.assign(bytes, bytes + buffer.cbBuffer);
        inputs.has_hmac_key = true;
        break;
      case kKdfTlsPrfLabel:
        inputs.label.assign(bytes, bytes + buffer.cbBuffer);
        break;
      case kKdfTlsPrfSeed:
        inputs.seed.assign(bytes, bytes + buffer.cbBuffer);
        break;
      default:
        if (!concat || buffer.BufferType < kKdfAlgorithmId || buffer.BufferType > kKdfSuppPrivInfo) return false;
        inputs.concat[buffer.BufferType - kKdfAlgorithmId].assign(bytes, bytes + buffer.cbBuffer);
        inputs.has_concat[buffer.BufferType - kKdfAlgorithmId] = true;
        break;
    }
  }
  return true;
}

// DigestFor fetches the digest a derivation names (SHA-1 without a name); null for another name.
Md DigestFor(const char16_t* name) {
  struct Entry {
    const char16_t* name;
    const char* evp_name;
  };
  static constexpr Entry kDigests[] = {
      {u"SHA1", "SHA1"}, {u"SHA256", "SHA2-256"}, {u"SHA384", "SHA2-384"}, {u"SHA512", "SHA2-512"}, {u"MD5", "MD5"}};
  if (name == nullptr) name = u"SHA1";
  for (const Entry& entry : kDigests) {
    if (SameName(name, entry.name)) return Md(EVP_MD_fetch(nullptr, entry.evp_name, nullptr));
  }
  return nullptr;
}

DeriveOutcome DeriveHash(const Bytes& z, const KdfInputs& inputs, WipedBytes& out) {
  Md md = DigestFor(inputs.hash);
  if (md == nullptr) return DeriveOutcome::kNotSupported;
  MdCtx ctx(EVP_MD_CTX_new());
  out.bytes.assign(static_cast<size_t>(EVP_MD_get_size(md.get())), 0);
  const bool done = ctx != nullptr && EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr) == 1 &&
                    EVP_DigestUpdate(ctx.get(), inputs.prepend.data(), inputs.prepend.size()) == 1 &&
                    EVP_DigestUpdate(ctx.get(), z.data(), z.size()) == 1 &&
                    EVP_DigestUpdate(ctx.get(), inputs.append.data(), inputs.append.size()) == 1 &&
                    EVP_DigestFinal_ex(ctx.get(), out.bytes.data(), nullptr) == 1;
  return done ? DeriveOutcome::kDone : DeriveOutcome::kFailed;
}

DeriveOutcome DeriveHmac(const Bytes& z, const KdfInputs& inputs, WipedBytes& out) {
  Md md = DigestFor(inputs.hash);
  if (md == nullptr) return DeriveOutcome::kNotSupported;
  Mac mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  MacCtx ctx(mac != nullptr ? EVP_MAC_CTX_new(mac.get()) : nullptr);
  char digest_name[64];
  OPENSSL_strlcpy(digest_name, EVP_MD_get0_name(md.get()), sizeof digest_name);
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
                               OSSL_PARAM_construct_end()};
  const Bytes& key = inputs.has_hmac_key ? inputs.hmac_key.bytes : z;
  static constexpr uint8_t kNoKey = 0;
  out.bytes.assign(static_cast<size_t>(EVP_MD_get_size(md.get())), 0);
  size_t written = 0;
  const bool done = ctx != nullptr &&
                    EVP_MAC_init(ctx.get(), key.empty() ? &kNoKey : key.data(), key.size(), params) == 1 &&
                    EVP_MAC_update(ctx.get(), inputs.prepend.data(), inputs.prepend.size()) == 1 &&
                    EVP_MAC_update(ctx.get(), z.data(), z.size()) == 1 &&
                    EVP_MAC_update(ctx.get(), inputs.append.data(), inputs.append.size()) == 1 &&
                    EVP_MAC_final(ctx.get(), out.bytes.data(), &written, out.bytes.size()) == 1 &&
                    written == out.bytes.size();
  return done ? DeriveOutcome::kDone : DeriveOutcome::kFailed;
}

// DeriveTlsPrf: the TLS 1.0/1.1 PRF (RFC 2246 section 5) of Z over label || seed.
DeriveOutcome DeriveTlsPrf(const Bytes& z, const KdfInputs& inputs, WipedBytes& out) {
  if (inputs.label.empty() || inputs.seed.size() != kTlsPrfSeedSize) return DeriveOutcome::kBadParameters;
  Kdf kdf(EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr));
  KdfCtx ctx(kdf != nullptr ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
  Bytes seed = inputs.label;
  PutBytes(seed, inputs.seed);
  char digest[] = "MD5-SHA1";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, const_cast<uint8_t*>(z.data()), z.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seed.data(), seed.size()), OSSL_PARAM_construct_end()};
  out.bytes.assign(kTlsPrfOutputSize, 0);
  return ctx != nullptr && EVP_KDF_derive(ctx.get(), out.bytes.data(), out.bytes.size(), params) == 1
             ? DeriveOutcome::kDone
             : DeriveOutcome::kFailed;
}

// DeriveConcat: NIST SP 800-56A section 5.8.1 with one block (counter 1).
DeriveOutcome DeriveConcat(const Bytes& z, const KdfInputs& inputs, WipedBytes& out) {
  if (!inputs.has_concat[0] || !inputs.has_concat[1] || !inputs.has_concat[2]) return DeriveOutcome::kBadParameters;
  Md md = DigestFor(inputs.hash);
  if (md == nullptr) return DeriveOutcome::kNotSupported;
  MdCtx ctx(EVP_MD_CTX_new());
  static constexpr uint8_t kCounter[4] = {0, 0, 0, 1};
  out.bytes.assign(static_cast<size_t>(EVP_MD_get_size(md.get())), 0);
  bool done = ctx != nullptr && EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr) == 1 &&
              EVP_DigestUpdate(ctx.get(), kCounter, sizeof kCounter) == 1 &&
              EVP_DigestUpdate(ctx.get(), z.data(), z.size()) == 1;
  for (const Bytes& part : inputs.concat) done = done && EVP_DigestUpdate(ctx.get(), part.data(), part.size()) == 1;
  done = done && EVP_DigestFinal_ex(ctx.get(), out.bytes.data(), nullptr) == 1;
  return done ? DeriveOutcome::kDone : DeriveOutcome::kFailed;
}

}  // namespace

DeriveOutcome DeriveFromSecret(const Bytes& z, const char16_t* kdf, const void* parameters, bool offer_concat,
                               WipedBytes& out) {
  if (SameName(kdf, u"TRUNCATE")) {
    out.bytes.assign(z.rbegin(), z.rend());
    return DeriveOutcome::kDone;
  }
  const bool concat = offer_concat && SameName(kdf, u"SP800_56A_CONCAT");
  KdfInputs inputs;
  if (!ReadKdfInputs(parameters, concat, inputs)) return DeriveOutcome::kBadParameters;
  if (concat) return DeriveConcat(z, inputs, out);
  if (SameName(kdf, u"HASH")) return DeriveHash(z, inputs, out);
  if (SameName(kdf, u"HMAC")) return DeriveHmac(z, inputs, out);
  if (SameName(kdf, u"TLS_PRF")) return DeriveTlsPrf(z, inputs, out);
  return DeriveOutcome::kNotSupported;
}

}  // namespace velmora::platform
