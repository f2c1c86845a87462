#include "crypto/mac/hmac.h"

#include <cstring>

#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kHmacInnerByte = 0x36;
constexpr int32_t kHmacOuterByte = 0x5c;

}  // namespace

void* HmacObject::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void HmacObject::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }

// ---- InternalHmac -------------------------------------------------------------------------------------

InternalHmac::~InternalHmac() { platform::SecureZero(outer_pad_, sizeof outer_pad_); }

int32_t InternalHmac::BlockSize() const { return HmacBlockSize(id_); }

int InternalHmac::SetKey(int32_t id, const uint8_t* key, int32_t key_length) {
  pads_pending_ = 1;
  starts_ready_ = false;
  const int rc = ctx_.SetAlgorithm(id);
  if (rc != 0) return rc;
  id_ = id;
  return key_.SetData(key != nullptr && key_length > 0 ? key_length : 0, key);
}

int InternalHmac::BuildPads() {
  const int32_t block = BlockSize();
  uint8_t key_block[128] = {};
  int rc = 0;
  if (key_.Length() > block) {
    // RFC 2104 section 2: a key longer than the block is replaced by its digest.
    rc = ctx_.SetAlgorithm(id_);
    if (rc == 0) rc = ctx_.Update(key_.Data(), static_cast<uint32_t>(key_.Length()));
    if (rc == 0) rc = ctx_.Final();
    if (rc == 0) std::memcpy(key_block, ctx_.Output().Data(), static_cast<size_t>(ctx_.Output().Length()));
  } else if (key_.Length() > 0) {
    std::memcpy(key_block, key_.Data(), static_cast<size_t>(key_.Length()));
  }
  uint8_t inner_pad[128];
  for (int32_t i = 0; i < block; ++i) {
    inner_pad[i] = static_cast<uint8_t>(key_block[i] ^ kHmacInnerByte);
    outer_pad_[i] = static_cast<uint8_t>(key_block[i] ^ kHmacOuterByte);
  }
  if (rc == 0) rc = ctx_.SetAlgorithm(id_);
  if (rc == 0) rc = ctx_.Update(inner_pad, static_cast<uint32_t>(block));
  platform::SecureZero(key_block, sizeof key_block);
  platform::SecureZero(inner_pad, sizeof inner_pad);
  if (rc != 0) return rc;
  // Keeping the two starting states is an optimisation only: when memory for them runs out, every
  // message hashes its key blocks again.
  starts_ready_ = inner_start_.CopyFrom(ctx_) == 0 && outer_start_.SetAlgorithm(id_) == 0 &&
                  outer_start_.Update(outer_pad_, static_cast<uint32_t>(block)) == 0;
  return 0;
}

int InternalHmac::Update(const void* data, uint32_t length) {
  if (pads_pending_ != 0) {
    const int rc = starts_ready_ ? ctx_.CopyFrom(inner_start_) : BuildPads();
    if (rc != 0) return rc;
    pads_pending_ = 0;
  }
  return ctx_.Update(data, length);
}

int InternalHmac::Final() {
  if (pads_pending_ != 0) {
    // Nothing was hashed yet: the message is empty, but its inner block still counts.
    const int rc = Update(nullptr, 0);
    if (rc != 0) return rc;
  }
  int rc = ctx_.Final();
  if (rc != 0) return rc;
  uint8_t inner[64];
  const int32_t inner_length = ctx_.Output().Length();
  std::memcpy(inner, ctx_.Output().Data(), static_cast<size_t>(inner_length));
  if (starts_ready_) {
    rc = ctx_.CopyFrom(outer_start_);
  } else {
    rc = ctx_.SetAlgorithm(id_);
    if (rc == 0) rc = ctx_.Update(outer_pad_, static_cast<uint32_t>(BlockSize()));
  }
  if (rc == 0) rc = ctx_.Update(inner, static_cast<uint32_t>(inner_length));
  if (rc == 0) rc = ctx_.Final();
  platform::SecureZero(inner, sizeof inner);
  pads_pending_ = 1;
  return rc;
}

int InternalHmac::Update(const void* data, int32_t length, int32_t finalize) {
  const bool no_data = data == nullptr || length < 1;
  if (pads_pending_ != 0 || !no_data) {
    const int rc = Update(data, no_data ? 0u : static_cast<uint32_t>(length));
    if (rc != 0) return rc;
  }
  return finalize != 0 ? Final() : 0;
}

int InternalHmac::Reset() {
  pads_pending_ = 1;
  starts_ready_ = false;
  return ctx_.Reset();
}

}  // namespace velmora::crypto
