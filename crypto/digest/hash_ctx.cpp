#include "crypto/digest/hash_ctx.h"

#include "crypto/digest/digest_bytes.h"
#include "crypto/digest/digest_cores.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

// The state of id lives in memory from the library's allocator, built and run by the row's core.
void* NewState(int32_t id) {
  const DigestAlgorithm& row = *DigestById(id);
  void* block = platform::Alloc(row.core->state_size);
  if (block != nullptr) row.core->create(block, row);
  return block;
}

// DeleteState wipes and frees a state (states may hold key-dependent HMAC data).
void DeleteState(int32_t id, void* state) {
  if (state == nullptr) return;
  const DigestCore& core = *DigestById(id)->core;
  core.destroy(state);
  platform::SecureZero(state, core.state_size);
  platform::Free(state, core.state_size);
}

}  // namespace

void PutWords32LE(uint8_t* out, const uint32_t* words, int32_t count) {
  int32_t i = 0;
  for (; i + 4 <= count; i += 4) internal::Store32LE(out + i, words[i / 4]);
  for (; i < count; ++i) out[i] = static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4)));
}

void PutWords32BE(uint8_t* out, const uint32_t* words, int32_t count) {
  int32_t i = 0;
  for (; i + 4 <= count; i += 4) internal::Store32BE(out + i, words[i / 4]);
  for (; i < count; ++i) out[i] = static_cast<uint8_t>(words[i / 4] >> (8 * (3 - i % 4)));
}

void PutWords64BE(uint8_t* out, const uint64_t* words, int32_t count) {
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) internal::Store64BE(out + i, words[i / 8]);
  for (; i < count; ++i) out[i] = static_cast<uint8_t>(words[i / 8] >> (8 * (7 - i % 8)));
}

// ---- HashCtx ------------------------------------------------------------------------------------------

HashCtx::HashCtx() { states_[kHashSha1] = NewState(kHashSha1); }

HashCtx::~HashCtx() {
  FreeStates();
  output_.Clear();
}

void* HashCtx::operator new(std::size_t size) noexcept { return platform::Alloc(size); }

void HashCtx::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }

void HashCtx::FreeStates() {
  for (int32_t id = 0; id < kHashAlgorithmCount; ++id) {
    DeleteState(id, states_[id]);
    states_[id] = nullptr;
  }
}

int HashCtx::SetAlgorithm(int32_t id) {
  if (id < 0 || id >= kHashAlgorithmCount) return kUnknownDigest;
  id_ = id;
  for (int32_t other = 0; other < kHashAlgorithmCount; ++other) {
    if (other == id) continue;
    DeleteState(other, states_[other]);
    states_[other] = nullptr;
  }
  // The state of the chosen id is kept across selections (an HMAC selects its digest for every message).
  if (states_[id] != nullptr) {
    const DigestAlgorithm& row = *DigestById(id);
    row.core->reselect(states_[id], row);
    return 0;
  }
  states_[id] = NewState(id);
  return states_[id] != nullptr ? 0 : core::kOutOfMemory;
}

int HashCtx::SetAlgorithmByName(const char* name) {
  const DigestAlgorithm* row = DigestByName(name, kNameSelect);
  return row == nullptr ? kUnknownDigest : SetAlgorithm(row->hash_id);
}

int HashCtx::Update(const void* data, uint32_t length) {
  const DigestAlgorithm* row = DigestById(id_);
  if (row == nullptr) return kUnknownDigest;
  void* state = states_[id_];
  if (state == nullptr) return core::kOutOfMemory;
  if (data == nullptr || length == 0) return 0;
  row->core->update(state, static_cast<const uint8_t*>(data), length);
  return 0;
}

int HashCtx::Final() {
  const DigestAlgorithm* row = DigestById(id_);
  if (row == nullptr) return kUnknownDigest;
  void* state = states_[id_];
  if (state == nullptr) return core::kOutOfMemory;
  const uint8_t* digest = nullptr;
  int32_t size = row->digest_size;
  const int rc = row->core->final(state, &digest, &size);
  return rc != 0 ? rc : output_.SetData(size, digest);
}

int HashCtx::Reset() {
  for (int32_t id = 0; id < kHashAlgorithmCount; ++id) {
    if (states_[id] != nullptr) DigestById(id)->core->init(states_[id]);
  }
  return 0;
}

int HashCtx::CopyFrom(const HashCtx& source) {
  if (&source == this) return 0;
  id_ = source.id_;
  int rc = output_.Assign(source.output_);
  for (int32_t id = 0; id < kHashAlgorithmCount && rc == 0; ++id) {
    if (source.states_[id] == nullptr) continue;
    if (states_[id] == nullptr) {
      states_[id] = NewState(id);
      if (states_[id] == nullptr) return core::kOutOfMemory;
    }
    rc = DigestById(id)->core->copy(states_[id], source.states_[id]);
  }
  return rc;
}

HashCtx* HashCtx::CopyHeader(const HashCtx& source) {
  auto* copy = new HashCtx;
  if (copy == nullptr) return nullptr;
  copy->id_ = source.id_;
  if (copy->output_.Assign(source.output_) != 0) {
    delete copy;
    return nullptr;
  }
  return copy;
}

int SetSha3ContextFlag(HashCtx& ctx, int32_t value) {
  const DigestAlgorithm* row = DigestById(ctx.Id());
  if (row == nullptr || row->keccak_engine_id < 0) return 0;
  auto* sponge = static_cast<KeccakState*>(ctx.State(ctx.Id()));
  if (sponge == nullptr) return core::kOutOfMemory;
  sponge->SetKeccakPadding(value);
  return 0;
}

int DigestToBuffer(HashCtx& ctx, const void* data, uint32_t length, core::BufferCore& out) {
  (void)ctx.Reset();
  int rc = ctx.Update(data, length);
  if (rc == 0) rc = ctx.Final();
  if (rc == 0) rc = out.Assign(ctx.Output());
  return rc;
}

int HashBytes(int32_t id, const void* data, uint32_t length, core::BufferCore& out) {
  HashCtx ctx;
  const int rc = ctx.SetAlgorithm(id);
  return rc != 0 ? rc : DigestToBuffer(ctx, data, length, out);
}

}  // namespace velmora::crypto
