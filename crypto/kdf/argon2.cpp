#include "crypto/kdf/argon2.h"

#include <cstring>

#include "core/byte_order.h"
#include "crypto/digest/digest_cores.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kBlockWords = 128;  // 1024-byte blocks of 64-bit words
constexpr int32_t kBlockBytes = kBlockWords * 8;
constexpr int32_t kSlices = 4;
constexpr uint32_t kArgon2Version = 0x13;
constexpr int32_t kMaxLanes = 0xFFFFFF;
constexpr int64_t kMaxMemoryKib = (int64_t{1} << 32) / 1024 - 1;  // m x 1024 stays within 32 bits

struct Block {
  uint64_t v[kBlockWords];
};

uint64_t Rotr(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

// BlaMkaG is the BLAKE2b G function with the multiplication term 2 x lo32(a) x lo32(b) (RFC 9106 3.6).
inline void BlaMkaG(uint64_t& a, uint64_t& b, uint64_t& c, uint64_t& d) {
  auto mul = [](uint64_t x, uint64_t y) { return 2 * (x & 0xFFFFFFFFu) * (y & 0xFFFFFFFFu); };
  a = a + b + mul(a, b);
  d = Rotr(d ^ a, 32);
  c = c + d + mul(c, d);
  b = Rotr(b ^ c, 24);
  a = a + b + mul(a, b);
  d = Rotr(d ^ a, 16);
  c = c + d + mul(c, d);
  b = Rotr(b ^ c, 63);
}

// Argon2Permute is the permutation P (RFC 9106 3.6) on eight 16-byte registers starting at w, step
// words apart: 2 for a row of the block, 16 for a column. The words are worked on in locals so that
// they stay in registers.
template <int32_t kStep>
inline void Argon2Permute(uint64_t* w) {
  uint64_t v[16];
#pragma GCC unroll 16
  for (int32_t k = 0; k < 16; ++k) v[k] = w[(k >> 1) * kStep + (k & 1)];
  BlaMkaG(v[0], v[4], v[8], v[12]);
  BlaMkaG(v[1], v[5], v[9], v[13]);
  BlaMkaG(v[2], v[6], v[10], v[14]);
  BlaMkaG(v[3], v[7], v[11], v[15]);
  BlaMkaG(v[0], v[5], v[10], v[15]);
  BlaMkaG(v[1], v[6], v[11], v[12]);
  BlaMkaG(v[2], v[7], v[8], v[13]);
  BlaMkaG(v[3], v[4], v[9], v[14]);
#pragma GCC unroll 16
  for (int32_t k = 0; k < 16; ++k) w[(k >> 1) * kStep + (k & 1)] = v[k];
}

// Argon2Compress is G(x, y) (RFC 9106 3.5): R = x ^ y, P over the rows then the columns, P(R) ^ R;
// the result is XORed into out when xor_into is set, else stored.
void Argon2Compress(const Block& x, const Block& y, Block& out, bool xor_into) {
  Block r;
  Block z;
  for (int32_t k = 0; k < kBlockWords; ++k) r.v[k] = z.v[k] = x.v[k] ^ y.v[k];
  for (int32_t row = 0; row < 8; ++row) Argon2Permute<2>(z.v + 16 * row);
  for (int32_t column = 0; column < 8; ++column) Argon2Permute<16>(z.v + 2 * column);
  if (xor_into) {
    for (int32_t k = 0; k < kBlockWords; ++k) out.v[k] ^= z.v[k] ^ r.v[k];
  } else {
    for (int32_t k = 0; k < kBlockWords; ++k) out.v[k] = z.v[k] ^ r.v[k];
  }
}

int ValidateParams(const Argon2Params& params, int32_t password_length) {
  const bool valid = params.type >= kArgon2d && params.type <= kArgon2id && params.lanes >= 1 &&
                     params.lanes <= kMaxLanes && params.memory_kib >= 8 * int64_t{params.lanes} &&
                     params.memory_kib <= kMaxMemoryKib && params.passes >= 1 && params.tag_length >= 4 &&
                     params.salt.Length() >= 8 && password_length >= 0;
  return valid ? 0 : kArgon2BadParameters;
}

void AddLength(Blake2bState& hash, Argon2Params& params, uint32_t value) {
  core::PutUIntLittleEndian(value, params.length_word, 4);
  hash.Update(params.length_word, 4);
}

void AddField(Blake2bState& hash, Argon2Params& params, const uint8_t* data, int32_t length) {
  AddLength(hash, params, static_cast<uint32_t>(length));
  if (length > 0) hash.Update(data, static_cast<size_t>(length));
}

// The memory matrix and the position of the fill.
struct Matrix {
  Block* blocks;
  uint32_t lanes;
  uint32_t lane_length;     // 4q blocks
  uint32_t segment_length;  // q blocks
};

// ReferenceIndex maps the pseudo-random J1 to a block of the reference lane (RFC 9106 3.4.1.2).
uint32_t ReferenceIndex(const Matrix& m, uint32_t pass, uint32_t slice, uint32_t index, uint32_t j1,
                        bool same_lane) {
  // Blocks of finished segments, plus those of the current segment when the lane is the block's own
  // (the previous block excluded); another lane's last finished block is excluded at the segment start.
  const uint64_t finished = pass == 0 ? uint64_t{slice} * m.segment_length : m.lane_length - m.segment_length;
  const uint64_t area = same_lane ? finished + index - 1 : finished - (index == 0 ? 1 : 0);
  const uint64_t x = (uint64_t{j1} * j1) >> 32;
  const uint64_t relative = area - 1 - ((area * x) >> 32);
  const uint64_t start = (pass != 0 && slice != kSlices - 1) ? uint64_t{slice + 1} * m.segment_length : 0;
  return static_cast<uint32_t>((start + relative) % m.lane_length);
}

// FillSegment computes the blocks of one lane in one slice.
void FillSegment(const Matrix& m, const Argon2Params& params, uint32_t pass, uint32_t slice, uint32_t lane,
                 uint32_t total_blocks) {
  const bool independent = params.type == kArgon2i || (params.type == kArgon2id && pass == 0 && slice < 2);
  Block zero = {};
  Block input = {};
  Block address = {};
  if (independent) {
    const uint64_t fields[6] = {pass, lane, slice, total_blocks, static_cast<uint64_t>(params.passes),
                                static_cast<uint64_t>(params.type)};
    std::memcpy(input.v, fields, sizeof fields);
  }
  auto next_addresses = [&] {
    ++input.v[6];
    Argon2Compress(zero, input, address, false);
    Argon2Compress(zero, address, address, false);
  };
  uint32_t start = 0;
  if (pass == 0 && slice == 0) {
    start = 2;
    if (independent) next_addresses();
  }
  const uint32_t lane_base = lane * m.lane_length;
  for (uint32_t index = start; index < m.segment_length; ++index) {
    const uint32_t column = slice * m.segment_length + index;
    const uint32_t previous = column == 0 ? m.lane_length - 1 : column - 1;
    uint64_t random;
    if (independent) {
      if (index % kBlockWords == 0) next_addresses();
      random = address.v[index % kBlockWords];
    } else {
      random = m.blocks[lane_base + previous].v[0];
    }
    uint32_t ref_lane = static_cast<uint32_t>((random >> 32) % m.lanes);
    if (pass == 0 && slice == 0) ref_lane = lane;
    const uint32_t ref_index =
        ReferenceIndex(m, pass, slice, index, static_cast<uint32_t>(random), ref_lane == lane);
    Argon2Compress(m.blocks[lane_base + previous], m.blocks[ref_lane * m.lane_length + ref_index],
                   m.blocks[lane_base + column], pass != 0);
  }
}

}  // namespace

int32_t Argon2TypeFromName(const char* name) {
  core::Buffer text;
  if (text.SetString(name != nullptr ? name : "") != 0) return -1;
  if (text.EqualsNoCase("Argon2d") != 0) return kArgon2d;
  if (text.EqualsNoCase("Argon2i") != 0) return kArgon2i;
  if (text.EqualsNoCase("Argon2id") != 0) return kArgon2id;
  return -1;
}

int Argon2HashLongInit(Blake2bState& hash, int32_t out_length) {
  if (hash.Configure(out_length < 64 ? out_length : 64, nullptr, 0) != 0) return kArgon2BadParameters;
  uint8_t length_word[4];
  core::PutUIntLittleEndian(static_cast<uint32_t>(out_length), length_word, 4);
  hash.Update(length_word, 4);
  return 0;
}

int Argon2HashLong(const uint8_t* in, int32_t in_length, int32_t out_length, uint8_t* out) {
  Blake2bState hash;
  if (Argon2HashLongInit(hash, out_length) != 0) return kArgon2BadParameters;
  hash.Update(in, static_cast<size_t>(in_length));
  if (out_length <= 64) {
    std::memcpy(out, hash.Final(), static_cast<size_t>(out_length));
    return 0;
  }
  // RFC 9106 3.3: the first 32 bytes of V1, V2, ... while more than 64 bytes remain, then a last V of
  // the remaining length.
  uint8_t v[64];
  std::memcpy(v, hash.Final(), sizeof v);
  int32_t remaining = out_length;
  while (remaining > 64) {
    std::memcpy(out, v, 32);
    out += 32;
    remaining -= 32;
    if (remaining > 64) {
      hash.Update(v, sizeof v);
      std::memcpy(v, hash.Final(), sizeof v);
    }
  }
  Blake2bState last;
  if (last.Configure(remaining, nullptr, 0) != 0) return kArgon2BadParameters;
  last.Update(v, sizeof v);
  std::memcpy(out, last.Final(), static_cast<size_t>(remaining));
  platform::SecureZero(v, sizeof v);
  return 0;
}

int Argon2Hash(Argon2Params& params, const uint8_t* password, int32_t password_length, core::BufferCore& out) {
  int rc = ValidateParams(params, password_length);
  if (rc != 0) return rc;
  const uint32_t lanes = static_cast<uint32_t>(params.lanes);
  const uint32_t segment = static_cast<uint32_t>(params.memory_kib) / (4 * lanes);
  const uint32_t total = lanes * 4 * segment;

  // H0 (RFC 9106 3.2) followed by the two words that make each lane's first blocks.
  uint8_t h0[64 + 8];
  {
    Blake2bState hash;
    if (hash.Configure(64, nullptr, 0) != 0) return kArgon2BadParameters;
    for (int32_t word : {params.lanes, params.tag_length, params.memory_kib, params.passes}) {
      AddLength(hash, params, static_cast<uint32_t>(word));
    }
    AddLength(hash, params, kArgon2Version);
    AddLength(hash, params, static_cast<uint32_t>(params.type));
    AddField(hash, params, password, password_length);
    AddField(hash, params, params.salt.Bytes(), params.salt.Length());
    AddField(hash, params, params.secret.Bytes(), params.secret.Length());
    AddField(hash, params, params.associated.Bytes(), params.associated.Length());
    std::memcpy(h0, hash.Final(), 64);
  }
  const size_t bytes = size_t{total} * kBlockBytes;
  auto* blocks = static_cast<Block*>(platform::Alloc(bytes));
  if (blocks == nullptr) {
    platform::SecureZero(h0, sizeof h0);
    return core::kOutOfMemory;
  }
  std::memset(blocks, 0, bytes);
  const Matrix m{blocks, lanes, 4 * segment, segment};
  uint8_t block_bytes[kBlockBytes];
  for (uint32_t lane = 0; lane < lanes && rc == 0; ++lane) {
    for (uint32_t first = 0; first < 2 && rc == 0; ++first) {
      core::PutUIntLittleEndian(first, h0 + 64, 4);
      core::PutUIntLittleEndian(lane, h0 + 68, 4);
      rc = Argon2HashLong(h0, sizeof h0, kBlockBytes, block_bytes);
      Block& target = blocks[lane * m.lane_length + first];
      for (int32_t k = 0; k < kBlockWords; ++k) target.v[k] = core::ReadUInt64LE(block_bytes + 8 * k);
    }
  }
  for (uint32_t pass = 0; pass < static_cast<uint32_t>(params.passes) && rc == 0; ++pass) {
    for (uint32_t slice = 0; slice < kSlices; ++slice) {
      for (uint32_t lane = 0; lane < lanes; ++lane) FillSegment(m, params, pass, slice, lane, total);
    }
  }
  if (rc == 0) {
    Block final_block = blocks[m.lane_length - 1];
    for (uint32_t lane = 1; lane < lanes; ++lane) {
      for (int32_t k = 0; k < kBlockWords; ++k) final_block.v[k] ^= blocks[lane * m.lane_length + m.lane_length - 1].v[k];
    }
    for (int32_t k = 0; k < kBlockWords; ++k) core::StoreUInt64LE(block_bytes + 8 * k, final_block.v[k]);
    platform::SecureZero(&final_block, sizeof final_block);
    rc = out.Resize(params.tag_length);
    if (rc == 0) {
      rc = Argon2HashLong(block_bytes, kBlockBytes, params.tag_length, reinterpret_cast<uint8_t*>(out.Data()));
    }
  }
  platform::SecureZero(block_bytes, sizeof block_bytes);
  platform::SecureZero(h0, sizeof h0);
  platform::SecureZero(blocks, bytes);
  platform::Free(blocks, bytes);
  return rc;
}

}  // namespace velmora::crypto
