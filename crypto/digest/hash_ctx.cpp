#include "crypto/digest/hash_ctx.h"

#include <cstring>
#include <new>

#include "crypto/digest/digest_bytes.h"
#include "crypto/digest/digest_cores.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kDigestSizes[kHashAlgorithmCount] = {20, 16, 32, 28, 64, 28, 32, 48, 20,
                                                       16, 16, 36, 28, 32, 48, 64, 32, 64};

// The spellings SetAlgorithmByName accepts, upper case, by HashAlgorithmId.
struct DigestName {
  const char* name;
  int32_t id;
};
constexpr DigestName kDigestNames[] = {
    {"SHA1", 0},       {"SHA-1", 0},        {"MD5", 1},           {"SHA256", 2},       {"SHA-256", 2},
    {"SHA224", 3},     {"SHA-224", 3},      {"SHA512", 4},        {"SHA-512", 4},      {"SHA512/224", 5},
    {"SHA-512/224", 5}, {"SHA512/256", 6},  {"SHA-512/256", 6},   {"SHA384", 7},       {"SHA-384", 7},
    {"RIPEMD160", 8},  {"RIPEMD-160", 8},   {"MD160", 8},         {"MD4", 9},          {"MD2", 10},
    {"MD5SHA1", 11},   {"SHA3_224", 12},    {"SHA-3-224", 12},    {"SHA3_256", 13},    {"SHA-3-256", 13},
    {"SHA3_384", 14},  {"SHA-3-384", 14},   {"SHA3_512", 15},     {"SHA-3-512", 15},   {"SHAKE128", 16},
    {"SHAKE256", 17},
};
// Further spellings of the engine-id lookup only.
constexpr DigestName kEngineOnlyNames[] = {
    {"SHA3-224", 12}, {"SHA3-256", 13}, {"SHA3-384", 14}, {"SHA3-512", 15}};

constexpr int32_t kKeccakIdOffset = kEngineFirstKeccak - kHashSha3_224;  // 41 - 12

// UpperName copies name upper-cased into out (kMaxName bytes); false when it is too long to be a name.
constexpr size_t kMaxName = 16;
bool UpperName(const char* name, char (&out)[kMaxName]) {
  if (name == nullptr) name = "";
  size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (i + 1 >= kMaxName) return false;
    const char c = name[i];
    out[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  out[i] = '\0';
  return true;
}

int32_t LookUpName(const char* name, bool engine_names) {
  char upper[kMaxName];
  if (!UpperName(name, upper)) return -1;
  for (const DigestName& entry : kDigestNames) {
    if (std::strcmp(entry.name, upper) == 0) return entry.id;
  }
  if (engine_names) {
    for (const DigestName& entry : kEngineOnlyNames) {
      if (std::strcmp(entry.name, upper) == 0) return entry.id;
    }
  }
  return -1;
}

// ---- per-id state handling ----------------------------------------------------------------------------

struct KeccakShape {
  int32_t rate;
  int32_t output_bits;
  int32_t security_bits;
};
// FIPS 202 6.1 and 6.2, by id - 12.
constexpr KeccakShape kKeccakShapes[6] = {{144, 224, 0},   {136, 256, 0},   {104, 384, 0},
                                          {72, 512, 0},    {168, 256, 128}, {136, 512, 256}};

bool IsKeccak(int32_t id) { return id >= kHashSha3_224 && id <= kHashSha3_512; }
bool IsShake(int32_t id) { return id == kHashShake128 || id == kHashShake256; }

size_t StateSize(int32_t id) {
  switch (id) {
    case kHashSha1:
      return sizeof(Sha1State);
    case kHashMd5:
      return sizeof(Md5State);
    case kHashSha256:
    case kHashSha224:
      return sizeof(Sha256State);
    case kHashSha512:
    case kHashSha512_224:
    case kHashSha512_256:
    case kHashSha384:
      return sizeof(Sha512State);
    case kHashRipemd160:
      return sizeof(Ripemd160State);
    case kHashMd4:
      return sizeof(Md4State);
    case kHashMd2:
      return sizeof(Md2State);
    case kHashMd5Sha1:
      return sizeof(Md5Sha1State);
    case kHashShake128:
    case kHashShake256:
      return sizeof(ShakeState);
    default:
      return sizeof(KeccakState);
  }
}

Sha512Variant VariantOf(int32_t id) {
  switch (id) {
    case kHashSha384:
      return Sha512Variant::kSha384;
    case kHashSha512_224:
      return Sha512Variant::kSha512_224;
    case kHashSha512_256:
      return Sha512Variant::kSha512_256;
    default:
      return Sha512Variant::kSha512;
  }
}

// InitState brings the state of id to its initial value (Reset keeps a Keccak padding flag).
void InitState(int32_t id, void* state) {
  switch (id) {
    case kHashSha1:
      static_cast<Sha1State*>(state)->Init();
      break;
    case kHashMd5:
      static_cast<Md5State*>(state)->Init();
      break;
    case kHashSha256:
    case kHashSha224:
      static_cast<Sha256State*>(state)->Reset();
      break;
    case kHashSha512:
    case kHashSha512_224:
    case kHashSha512_256:
    case kHashSha384:
      static_cast<Sha512State*>(state)->Reset();
      break;
    case kHashRipemd160:
      static_cast<Ripemd160State*>(state)->Init();
      break;
    case kHashMd4:
      static_cast<Md4State*>(state)->Init();
      break;
    case kHashMd2:
      static_cast<Md2State*>(state)->Init();
      break;
    case kHashMd5Sha1:
      static_cast<Md5Sha1State*>(state)->Init();
      break;
    default:
      static_cast<KeccakState*>(state)->Reset();
      break;
  }
}

// NewState allocates and initialises the state of id; null when memory runs out.
void* NewState(int32_t id) {
  void* block = platform::Alloc(StateSize(id));
  if (block == nullptr) return nullptr;
  if (IsKeccak(id) || IsShake(id)) {
    const KeccakShape& shape = kKeccakShapes[id - kHashSha3_224];
    if (IsShake(id)) {
      new (block) ShakeState(shape.rate, shape.output_bits, shape.security_bits);
    } else {
      new (block) KeccakState(shape.rate, shape.output_bits);
    }
    return block;
  }
  std::memset(block, 0, StateSize(id));
  if (id == kHashSha224) static_cast<Sha256State*>(block)->sha224 = 1;
  if (id >= kHashSha512 && id <= kHashSha384) static_cast<Sha512State*>(block)->variant = VariantOf(id);
  InitState(id, block);
  return block;
}

// DeleteState wipes and frees a state (states may hold key-dependent HMAC data).
void DeleteState(int32_t id, void* state) {
  if (state == nullptr) return;
  if (IsKeccak(id) || IsShake(id)) static_cast<KeccakState*>(state)->~KeccakState();
  platform::SecureZero(state, StateSize(id));
  platform::Free(state, StateSize(id));
}

int CopyState(int32_t id, void* to, const void* from) {
  if (IsKeccak(id) || IsShake(id)) return static_cast<KeccakState*>(to)->CopyFrom(*static_cast<const KeccakState*>(from));
  std::memcpy(to, from, StateSize(id));
  return 0;
}

}  // namespace

// ---- tables -------------------------------------------------------------------------------------------

int32_t HashDigestSize(int32_t id) { return id >= 0 && id < kHashAlgorithmCount ? kDigestSizes[id] : 0; }

int32_t EngineIdToHashId(int32_t engine_id) {
  if (engine_id >= kEngineFirstDigest && engine_id < kEngineFirstKeccak) return engine_id - kEngineFirstDigest;
  if (engine_id >= kEngineFirstKeccak && engine_id <= kEngineLastDigest) return engine_id - kKeccakIdOffset;
  return -1;
}

int32_t HmacIdToHashId(int32_t engine_id) {
  static constexpr int32_t kHmacDigests[7] = {kHashSha1,   kHashMd5,    kHashSha256,   kHashSha224,
                                              kHashSha512, kHashSha384, kHashRipemd160};
  if (engine_id < kEngineHmacSha1 || engine_id > kEngineHmacRipemd160) return -1;
  return kHmacDigests[engine_id - kEngineHmacSha1];
}

int32_t EngineDigestSize(int32_t engine_id) {
  int32_t id = EngineIdToHashId(engine_id);
  if (id < 0) id = HmacIdToHashId(engine_id);
  return id < 0 ? -1 : kDigestSizes[id];
}

int32_t HashNameToEngineId(const char* name) {
  const int32_t id = LookUpName(name, true);
  return id < 0 ? -1 : id + kEngineFirstDigest;
}

int32_t PlatformDigestIndex(int32_t engine_id) {
  switch (engine_id) {
    case kEngineSha1:
      return 0;
    case kEngineSha256:
      return 1;
    case kEngineSha384:
      return 2;
    case kEngineSha512:
      return 3;
    default:
      return -1;
  }
}

int32_t PlatformHmacIndex(int32_t engine_id) {
  switch (engine_id) {
    case kEngineHmacSha1:
      return 0;
    case kEngineHmacSha256:
      return 1;
    case kEngineHmacSha384:
      return 2;
    case kEngineHmacSha512:
      return 3;
    default:
      return -1;
  }
}

int32_t HmacBlockSize(int32_t id) { return id >= kHashSha512 && id <= kHashSha384 ? 128 : 64; }

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
    InitState(id, states_[id]);
    if (IsKeccak(id) || IsShake(id)) {
      auto* sponge = static_cast<KeccakState*>(states_[id]);
      sponge->SetKeccakPadding(0);
      sponge->SetOutputBits(kKeccakShapes[id - kHashSha3_224].output_bits);
    }
    return 0;
  }
  states_[id] = NewState(id);
  return states_[id] != nullptr ? 0 : core::kOutOfMemory;
}

int HashCtx::SetAlgorithmByName(const char* name) {
  const int32_t id = LookUpName(name, false);
  return id < 0 ? kUnknownDigest : SetAlgorithm(id);
}

int HashCtx::Update(const void* data, uint32_t length) {
  if (id_ < 0 || id_ >= kHashAlgorithmCount) return kUnknownDigest;
  void* state = states_[id_];
  if (state == nullptr) return core::kOutOfMemory;
  if (data == nullptr || length == 0) return 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  switch (id_) {
    case kHashSha1:
      (void)static_cast<Sha1State*>(state)->Update(bytes, length);
      break;
    case kHashMd5:
      static_cast<Md5State*>(state)->Update(bytes, length);
      break;
    case kHashSha256:
    case kHashSha224:
      static_cast<Sha256State*>(state)->Update(bytes, length);
      break;
    case kHashSha512:
    case kHashSha512_224:
    case kHashSha512_256:
    case kHashSha384:
      static_cast<Sha512State*>(state)->Update(bytes, length);
      break;
    case kHashRipemd160:
      static_cast<Ripemd160State*>(state)->Update(bytes, length);
      break;
    case kHashMd4:
      static_cast<Md4State*>(state)->Update(bytes, length);
      break;
    case kHashMd2:
      static_cast<Md2State*>(state)->Update(bytes, length);
      break;
    case kHashMd5Sha1:
      static_cast<Md5Sha1State*>(state)->Update(bytes, length);
      break;
    default:
      static_cast<KeccakState*>(state)->Absorb(bytes, length);
      break;
  }
  return 0;
}

int HashCtx::Final() {
  if (id_ < 0 || id_ >= kHashAlgorithmCount) return kUnknownDigest;
  void* state = states_[id_];
  if (state == nullptr) return core::kOutOfMemory;
  const uint8_t* digest = nullptr;
  int32_t size = kDigestSizes[id_];
  switch (id_) {
    case kHashSha1:
      digest = static_cast<Sha1State*>(state)->Final();
      if (digest == nullptr) return static_cast<Sha1State*>(state)->corrupted;
      break;
    case kHashMd5:
      digest = static_cast<Md5State*>(state)->Final();
      break;
    case kHashSha256:
    case kHashSha224:
      digest = static_cast<Sha256State*>(state)->Final();
      break;
    case kHashSha512:
    case kHashSha512_224:
    case kHashSha512_256:
    case kHashSha384:
      digest = static_cast<Sha512State*>(state)->Final();
      break;
    case kHashRipemd160:
      digest = static_cast<Ripemd160State*>(state)->Final();
      break;
    case kHashMd4:
      digest = static_cast<Md4State*>(state)->Final();
      break;
    case kHashMd2:
      digest = static_cast<Md2State*>(state)->Final();
      break;
    case kHashMd5Sha1:
      digest = static_cast<Md5Sha1State*>(state)->Final();
      if (digest == nullptr) return static_cast<Md5Sha1State*>(state)->sha1.corrupted;
      break;
    default: {
      auto* sponge = static_cast<KeccakState*>(state);
      digest = sponge->Final();
      if (digest == nullptr) return core::kOutOfMemory;
      size = sponge->Output().Length();
      break;
    }
  }
  return output_.SetData(size, digest);
}

int HashCtx::Reset() {
  for (int32_t id = 0; id < kHashAlgorithmCount; ++id) {
    if (states_[id] != nullptr) InitState(id, states_[id]);
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
    rc = CopyState(id, states_[id], source.states_[id]);
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
  if (!IsKeccak(ctx.Id())) return 0;
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

}  // namespace velmora::crypto
