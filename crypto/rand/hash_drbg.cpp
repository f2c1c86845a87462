#include "crypto/rand/hash_drbg.h"

#include <algorithm>

#include "core/byte_order.h"
#include "crypto/rand/random.h"

namespace velmora::crypto {

HashDrbg::~HashDrbg() {
  (void)v_.Clear();
  (void)c_.Clear();
  (void)scratch_.Clear();
  ctx_.FreeStates();
  ReleaseRngProvider(provider_);
}

int HashDrbg::Instantiate(int32_t digest_id, const uint8_t* nonce, int32_t nonce_len, const char* personalization,
                          int32_t strength_bits, int32_t prediction_resistance) {
  const int rc = ctx_.SetAlgorithm(digest_id);
  if (rc != 0) return rc;
  strength_bytes_ = (strength_bits + 7) / 8;
  prediction_resistance_ = prediction_resistance;
  if (digest_id == kHashSha1 || digest_id == kHashSha256 || digest_id == kHashSha224) seedlen_bits_ = 440;
  if (digest_id == kHashSha512 || digest_id == kHashSha384) seedlen_bits_ = 888;
  return InstantiateBody(nonce, nonce_len, personalization);
}

int HashDrbg::InstantiateBody(const uint8_t* nonce, int32_t nonce_len, const char* personalization) {
  scratch_.Clear();
  int rc = GetEntropy(scratch_, strength_bytes_);
  if (rc == 0 && nonce != nullptr && nonce_len > 0) rc = scratch_.Append(nonce, nonce_len);
  if (rc == 0 && personalization != nullptr) rc = scratch_.AppendCString(personalization);
  if (rc == 0) rc = SeedFromMaterial(scratch_);
  scratch_.Clear();
  return rc;
}

// SP 800-90A 10.1.1.2 and 10.1.1.3: V = Hash_df(seed material), C = Hash_df(0x00 || V).
int HashDrbg::SeedFromMaterial(const core::BufferCore& material) {
  int rc = HashDf(material.Data(), material.Length(), v_);
  core::SecureBuffer prefixed;
  if (rc == 0) rc = prefixed.AppendByte(0x00);
  if (rc == 0) rc = prefixed.Append(v_);
  if (rc == 0) rc = HashDf(prefixed.Data(), prefixed.Length(), c_);
  if (rc != 0) {
    // A half-made state must not generate.
    v_.Clear();
    c_.Clear();
    reseed_counter_ = 0;
    return rc;
  }
  reseed_counter_ = 1;
  return 0;
}

int HashDrbg::Reseed(const uint8_t* additional, int32_t additional_len) {
  if (reseed_counter_ == 0) return kDrbgNotInstantiated;
  scratch_.Clear();
  int rc = scratch_.AppendByte(0x01);
  if (rc == 0) rc = scratch_.Append(v_);
  if (rc == 0) rc = GetEntropy(scratch_, strength_bytes_);
  if (rc == 0 && additional != nullptr && additional_len > 0) rc = scratch_.Append(additional, additional_len);
  if (rc == 0) rc = SeedFromMaterial(scratch_);
  scratch_.Clear();
  return rc;
}

// SP 800-90A 10.3.1: Hash(counter || seedlen as 32 bits || input) for counter 1, 2, ..., cut to seedlen.
int HashDrbg::HashDf(const void* input, int32_t input_len, core::BufferCore& out) {
  const int32_t want = seedlen_bits_ / 8;
  out.Clear();
  uint8_t prefix[5];
  core::PutUIntBigEndian(static_cast<uint32_t>(seedlen_bits_), prefix, 1, 4);
  for (uint8_t counter = 1; out.Length() < want; ++counter) {
    prefix[0] = counter;
    int rc = Hash3(prefix, 5, input, input_len, nullptr, 0);
    if (rc == 0) rc = out.Append(ctx_.Output().Data(), std::min(want - out.Length(), ctx_.Output().Length()));
    if (rc != 0) return rc;
  }
  return 0;
}

int HashDrbg::Generate(uint8_t* buffer, int32_t offset, int32_t count, const uint8_t* additional,
                       int32_t additional_len) {
  if (buffer == nullptr || count < 1) return 0;
  if (reseed_counter_ == 0) return kDrbgNotInstantiated;
  uint8_t* out = buffer + offset;
  bool first = true;
  while (count > 0) {
    const int32_t step = std::min(count, kDrbgMaxStepBytes);
    const int rc = GenerateStep(out, step, additional, additional_len, first && prediction_resistance_ != 0);
    if (rc != 0) return rc;
    out += step;
    count -= step;
    first = false;
  }
  return 0;
}

// SP 800-90A 10.1.1.4, one request of at most 2^19 bits.
int HashDrbg::GenerateStep(uint8_t* out, int32_t count, const uint8_t* additional, int32_t additional_len,
                           bool reseed_first) {
  // The counter is added to V as 32 bits: reseed before it would wrap.
  if (reseed_counter_ == 0xFFFFFFFFu) reseed_first = true;
  const bool has_additional = additional != nullptr && additional_len > 0;
  int rc = 0;
  if (reseed_first) {
    // The additional input goes into the reseed and is not used again in this step.
    rc = Reseed(additional, additional_len);
  } else if (has_additional) {
    const uint8_t two = 0x02;
    rc = Hash3(&two, 1, v_.Data(), v_.Length(), additional, additional_len);
    if (rc == 0) AddToV(ctx_.Output().Bytes(), ctx_.Output().Length());
  }
  if (rc == 0) rc = HashGen(out, count);
  const uint8_t three = 0x03;
  if (rc == 0) rc = Hash3(&three, 1, v_.Data(), v_.Length(), nullptr, 0);
  if (rc != 0) return rc;
  AddToV(ctx_.Output().Bytes(), ctx_.Output().Length());
  AddToV(c_.Bytes(), c_.Length());
  uint8_t counter[4];
  core::PutUIntBigEndian(reseed_counter_, counter, 0, 4);
  AddToV(counter, 4);
  ++reseed_counter_;
  return 0;
}

// SP 800-90A 10.1.1.4 Hashgen: Hash(data), Hash(data + 1), ... with data starting at V.
int HashDrbg::HashGen(uint8_t* out, int32_t count) {
  core::SecureBuffer data;
  int rc = data.Assign(v_);
  auto* bytes = reinterpret_cast<uint8_t*>(data.Data());
  while (rc == 0 && count > 0) {
    rc = Hash3(bytes, data.Length(), nullptr, 0, nullptr, 0);
    if (rc != 0) break;
    const int32_t piece = std::min(count, ctx_.Output().Length());
    std::copy_n(ctx_.Output().Bytes(), piece, out);
    out += piece;
    count -= piece;
    // data = data + 1 mod 2^seedlen, visiting every byte whatever the carry.
    uint32_t carry = 1;
    for (int32_t i = data.Length() - 1; i >= 0; --i) {
      const uint32_t sum = bytes[i] + carry;
      bytes[i] = static_cast<uint8_t>(sum);
      carry = sum >> 8;
    }
  }
  return rc;
}

int HashDrbg::Hash3(const void* a, int32_t a_len, const void* b, int32_t b_len, const void* c, int32_t c_len) {
  (void)ctx_.Reset();
  int rc = 0;
  if (a != nullptr && a_len > 0) rc = ctx_.Update(a, static_cast<uint32_t>(a_len));
  if (rc == 0 && b != nullptr && b_len > 0) rc = ctx_.Update(b, static_cast<uint32_t>(b_len));
  if (rc == 0 && c != nullptr && c_len > 0) rc = ctx_.Update(c, static_cast<uint32_t>(c_len));
  if (rc == 0) rc = ctx_.Final();
  return rc;
}

void HashDrbg::AddToV(const uint8_t* number, int32_t len) {
  auto* v = reinterpret_cast<uint8_t*>(v_.Data());
  // Every byte of V is visited whatever the carry, so the time does not depend on the state.
  uint32_t carry = 0;
  int32_t j = len - 1;
  for (int32_t i = v_.Length() - 1; i >= 0; --i, --j) {
    const uint32_t addend = j >= 0 ? number[j] : 0;
    const uint32_t sum = v[i] + addend + carry;
    v[i] = static_cast<uint8_t>(sum);
    carry = sum >> 8;
  }
}

int HashDrbg::GetEntropy(core::BufferCore& material, int32_t count) {
  const int32_t start = material.Length();
  const int rc = material.Resize(start + count);
  if (rc != 0) return rc;
  auto* out = reinterpret_cast<uint8_t*>(material.Data()) + start;
  if (entropy_source_ != nullptr) {
    entropy_source_(entropy_context_, out, count);
  } else {
    OsRandomFill(&provider_, out, 0, count);
  }
  return 0;
}

}  // namespace velmora::crypto
