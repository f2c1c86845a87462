#include "crypto/kdf/kdf_shared.h"

#include <cstring>

#include "core/byte_order.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kMaxDigest = 64;

// HashParts hashes up to three byte strings with the current digest of ctx (restarted first).
int HashParts(HashCtx& ctx, const void* a, int32_t a_length, const void* b, int32_t b_length, const void* c,
              int32_t c_length) {
  ctx.Reset();
  int rc = 0;
  for (const auto& [data, length] : {std::pair{a, a_length}, std::pair{b, b_length}, std::pair{c, c_length}}) {
    if (rc == 0 && data != nullptr && length > 0) rc = ctx.Update(data, static_cast<uint32_t>(length));
  }
  return rc != 0 ? rc : ctx.Final();
}

}  // namespace

int ConcatKdf(const uint8_t* z, int32_t z_length, const char* digest_name, int32_t key_length,
              const uint8_t* other_info, int32_t other_info_length, core::BufferCore& out) {
  HashCtx ctx;
  int rc = ctx.SetAlgorithmByName(digest_name);
  if (rc != 0) return rc;
  const int32_t digest_size = HashDigestSize(ctx.Id());
  int32_t reps = key_length > 0 ? (key_length + digest_size - 1) / digest_size : 1;
  if (reps < 1) reps = 1;
  out.Clear();
  uint8_t counter[4];
  for (int32_t i = 1; i <= reps && rc == 0; ++i) {
    core::PutUIntBigEndian(static_cast<uint32_t>(i), counter, 0, 4);
    rc = HashParts(ctx, counter, 4, z, z_length, other_info, other_info_length);
    if (rc == 0) rc = out.Append(ctx.Output());
  }
  return rc;
}

int X963Kdf(const core::BufferCore& z, const core::BufferCore& shared_info, int32_t digest_id, int32_t key_length,
            int32_t counter_from_one, core::BufferCore& out) {
  out.Clear();
  HashCtx ctx;
  int rc = ctx.SetAlgorithm(digest_id);
  if (rc != 0) return rc;
  const int32_t digest_size = HashDigestSize(digest_id);
  uint32_t counter = counter_from_one != 0 ? 1 : 0;
  uint8_t counter_bytes[4];
  for (int32_t remaining = key_length; remaining > 0 && rc == 0; remaining -= digest_size, ++counter) {
    core::PutUIntBigEndian(counter, counter_bytes, 0, 4);
    rc = ctx.SetAlgorithm(digest_id);
    if (rc == 0) rc = HashParts(ctx, z.Data(), z.Length(), counter_bytes, 4, shared_info.Data(), shared_info.Length());
    if (rc == 0) rc = out.Append(ctx.Output().Data(), remaining < digest_size ? remaining : digest_size);
  }
  if (rc != 0) out.Clear();
  return rc;
}

int X963KdfVariant(const core::BufferCore& z, const core::BufferCore& shared_info, int32_t digest_id,
                   int32_t key_length, int32_t counter_from_one, core::BufferCore& out) {
  return X963Kdf(z, shared_info, digest_id, key_length, counter_from_one, out);
}

int HmacOnce(InternalHmac& hmac, const void* first, int32_t first_length, const void* second, int32_t second_length,
             uint8_t* out) {
  int rc = hmac.Update(first, first_length, 0);
  if (rc == 0) rc = hmac.Update(second, second_length, 1);
  if (rc == 0) std::memcpy(out, hmac.Digest(), static_cast<size_t>(hmac.DigestLength()));
  return rc;
}

int TlsPHash(InternalHmac& hmac, const core::BufferCore& seed, int32_t length, core::BufferCore& out) {
  out.Clear();
  uint8_t a[kMaxDigest];
  uint8_t block[kMaxDigest];
  const int32_t digest_size = hmac.DigestBits() / 8;
  int rc = HmacOnce(hmac, seed.Data(), seed.Length(), nullptr, 0, a);  // A(1)
  while (rc == 0 && out.Length() < length) {
    rc = HmacOnce(hmac, a, digest_size, seed.Data(), seed.Length(), block);
    if (rc == 0) rc = out.Append(block, length - out.Length() < digest_size ? length - out.Length() : digest_size);
    if (rc == 0) rc = HmacOnce(hmac, a, digest_size, nullptr, 0, a);
  }
  platform::SecureZero(a, sizeof a);
  platform::SecureZero(block, sizeof block);
  if (rc != 0) out.Clear();
  return rc;
}

int TlsPrfCore(const core::BufferCore& secret, const core::BufferCore& label_and_seed, int32_t length,
               core::BufferCore& out) {
  // RFC 2246 section 5: S1 the first half, S2 the second; an odd length shares its middle byte.
  const int32_t half = (secret.Length() + 1) / 2;
  const auto* bytes = secret.Bytes();
  InternalHmac md5;
  InternalHmac sha1;
  int rc = md5.SetKey(kHashMd5, bytes, half);
  if (rc == 0) rc = sha1.SetKey(kHashSha1, bytes + secret.Length() - half, half);
  core::SecureBuffer x;
  core::SecureBuffer y;
  if (rc == 0) rc = PHashExpand(md5, label_and_seed, length, x);
  if (rc == 0) rc = PHashExpand(sha1, label_and_seed, length, y);
  if (rc != 0) return rc;
  for (int32_t i = 0; i < x.Length(); ++i) x.Data()[i] = static_cast<char>(x.Data()[i] ^ y.Data()[i]);
  return out.Assign(x);
}

int TlsPrf(const core::BufferCore& secret, const uint8_t* label, int32_t label_length, const uint8_t* seed,
           int32_t seed_length, int32_t length, core::BufferCore& out) {
  core::Buffer label_and_seed;
  int rc = 0;
  if (label_length > 0) rc = label_and_seed.Append(label, label_length);
  if (rc == 0 && seed_length > 0) rc = label_and_seed.Append(seed, seed_length);
  if (rc == 0) rc = TlsPrfCore(secret, label_and_seed, length, out);
  return rc;
}

int Mgf1ByHashName(const uint8_t* seed, int32_t seed_length, const char* digest_name, int32_t mask_length,
                   core::BufferCore& out) {
  if (seed == nullptr || mask_length < 0) return kMgf1BadArguments;
  HashCtx ctx;
  int rc = ctx.SetAlgorithmByName(digest_name);
  if (rc != 0 || mask_length == 0) return rc;
  const int32_t id = ctx.Id();
  const int32_t digest_size = HashDigestSize(id);
  uint8_t counter[4];
  for (uint32_t i = 0; mask_length > 0 && rc == 0; ++i) {
    core::PutUIntBigEndian(i, counter, 0, 4);
    rc = HashParts(ctx, seed, seed_length, counter, 4, nullptr, 0);
    if (rc == 0) rc = out.Append(ctx.Output().Data(), mask_length < digest_size ? mask_length : digest_size);
    mask_length -= digest_size;
    if (rc == 0) rc = ctx.SetAlgorithm(id);
  }
  return rc;
}

}  // namespace velmora::crypto
