// InternalCipher's streaming pipeline: Encrypt/Decrypt, ProcessUpdate and ProcessFinal with padding,
// and the mode routines (NIST SP 800-38A ECB, CBC, CFB, CFB-8, OFB, CTR; OFB-8; CBC with ciphertext
// stealing in the CS3 arrangement of the SP 800-38A addendum, the last two blocks always swapped).
#include <cstring>

#include "crypto/cipher/aes.h"
#include "crypto/cipher/block_modes.h"
#include "crypto/cipher/cipher_cores.h"
#include "crypto/cipher/internal_cipher.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

bool AddsPadding(int32_t padding) { return padding >= kPaddingPkcs7 && padding <= kPaddingRandomLength; }

uint64_t Load64BE(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

void Store64BE(uint8_t* p, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// LayOutCounters writes `blocks` successive counter values starting at reg and leaves reg at the next
// one; 16-byte counters are stepped as two 64-bit halves.
void LayOutCounters(uint8_t* reg, int32_t b, uint8_t* counters, int32_t blocks) {
  if (b != 16) {
    for (int32_t i = 0; i < blocks; ++i) {
      std::memcpy(counters + i * b, reg, static_cast<size_t>(b));
      IncrementCounterBigEndian(reg, b);
    }
    return;
  }
  uint64_t high = Load64BE(reg);
  uint64_t low = Load64BE(reg + 8);
  for (int32_t i = 0; i < blocks; ++i) {
    Store64BE(counters + 16 * i, high);
    Store64BE(counters + 16 * i + 8, low);
    if (++low == 0) ++high;
  }
  Store64BE(reg, high);
  Store64BE(reg + 8, low);
}

// ShiftIn moves the register one byte towards the front and puts byte at its end.
void ShiftIn(uint8_t* reg, int32_t b, uint8_t byte) {
  std::memmove(reg, reg + 1, static_cast<size_t>(b - 1));
  reg[b - 1] = byte;
}

}  // namespace

// ---- helpers --------------------------------------------------------------------------------------------

// UsesBulkAes: AES with its schedule in place, which the fused whole-block routines take directly.
bool InternalCipher::UsesBulkAes() {
  return algorithm_ == kCipherAes && B() == 16 && Aes().RoundKeys() != nullptr;
}

uint8_t* InternalCipher::Grow(core::BufferCore& out, int32_t n) {
  const int32_t old = out.Length();
  if (out.SetData(old + n, nullptr) != 0) return nullptr;
  return reinterpret_cast<uint8_t*>(out.Data()) + old;
}

uint8_t* InternalCipher::Scratch(int which, int32_t n) {
  if (n <= static_cast<int32_t>(sizeof scratch_[0])) return scratch_[which];
  if (wide_scratch_[which].Resize(n) != 0) return nullptr;
  return reinterpret_cast<uint8_t*>(wide_scratch_[which].Data());
}

uint8_t* InternalCipher::LoadRegister() {
  const int32_t b = B();
  uint8_t* reg = Scratch(0, b);
  if (reg == nullptr) return nullptr;
  const int32_t have = working_iv_.Length() < b ? working_iv_.Length() : b;
  std::memcpy(reg, working_iv_.Data(), static_cast<size_t>(have));
  std::memset(reg + have, 0, static_cast<size_t>(b - have));
  return reg;
}

int InternalCipher::StoreRegister(const uint8_t* reg) { return working_iv_.SetData(B(), reg); }

// ---- the two virtual operations and the pipeline ------------------------------------------------------

int InternalCipher::Encrypt(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                            int32_t final_flag) {
  return final_flag != 0 ? ProcessFinal(data, offset, *length, out) : ProcessUpdate(data, offset, length, out);
}

int InternalCipher::Decrypt(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                            int32_t final_flag) {
  return final_flag != 0 ? ProcessFinal(data, offset, *length, out) : ProcessUpdate(data, offset, length, out);
}

int InternalCipher::ProcessUpdate(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out) {
  if (ready_ == 0) return kWrongPhase;
  const uint8_t* in = data + offset;
  if (IsXts()) return XtsProcess(*this, in, *length, out, 0);
  if (mode_ == kModeXts) return kModeNotSupported;
  // OCB takes whole blocks until the final call.
  if (algorithm_ == kCipherAesOcb) *length -= *length % 16;
  if (stream_ != 0) return StreamProcess(in, *length, out, 0);
  const bool any_length = mode_ == kModeOfb || mode_ == kModeCfb || (mode_ == kModeCtr && padding_ == kPaddingNone);
  if (!any_length) *length -= *length % B();
  return CipherModeDispatch(in, *length, out);
}

int InternalCipher::ProcessFinal(const uint8_t* data, int32_t offset, int32_t length, core::BufferCore& out) {
  if (ready_ == 0) return kWrongPhase;
  const uint8_t* in = data + offset;
  if (IsXts()) return XtsProcess(*this, in, length, out, 1);
  if (mode_ == kModeXts) return kModeNotSupported;
  if (stream_ != 0) return StreamProcess(in, length, out, 1);
  if (mode_ == kModeCts) return CtsFinal(in, length, out);
  const int32_t b = B();
  const bool unpadded_stream = (mode_ == kModeCfb || mode_ == kModeCtr) && padding_ == kPaddingNone;
  if (encrypting_ == 0) {
    if (mode_ != kModeOfb && !unpadded_stream && length % b != 0) return kNotWholeBlocks;
    const int rc = CipherModeDispatch(in, length, out);
    if (rc != 0 || mode_ == kModeOfb) return rc;
    return RemovePadding(out);
  }
  const int32_t r = length % b;
  if (mode_ == kModeOfb || !AddsPadding(padding_)) {
    if (r != 0 && mode_ != kModeOfb && mode_ != kModeCfb && mode_ != kModeCtr) return kNotWholeBlocks;
    return CipherModeDispatch(in, length, out);
  }
  // The last partial block and its padding (a whole block of padding when the data is aligned) go
  // through the mode together; the whole blocks before them need no copy.
  const int32_t whole = length - r;
  int rc = CipherModeDispatch(in, whole, out);
  if (rc != 0) return rc;
  uint8_t* last = Scratch(3, b);
  if (last == nullptr) return core::kOutOfMemory;
  std::memcpy(last, in + whole, static_cast<size_t>(r));
  FillPadding(last + r, b - r, padding_);
  return CipherModeDispatch(last, b, out);
}

// RemovePadding checks and strips the padding of the last block. PKCS#7 takes 1..B bytes that must all
// equal the count; the length-byte paddings take 1..B bytes; zero padding strips trailing zeros of the
// last block only. A bad pad gives 2004 and leaves the decrypted bytes in out.
int InternalCipher::RemovePadding(core::BufferCore& out) {
  const int32_t length = out.Length();
  const int32_t b = B();
  const auto* bytes = reinterpret_cast<const uint8_t*>(out.Data());
  int32_t pad = 0;
  if (padding_ == kPaddingPkcs7 || padding_ == kPaddingZerosLength || padding_ == kPaddingRandomLength) {
    if (length == 0) return kBadPadding;
    pad = bytes[length - 1];
    if (pad < 1 || pad > b || pad > length) return kBadPadding;
    if (padding_ == kPaddingPkcs7) {
      // Every pad byte is compared, without an early exit on the first difference.
      uint32_t differ = 0;
      for (int32_t i = 1; i <= pad; ++i) differ |= static_cast<uint32_t>(bytes[length - i] ^ pad);
      if (differ != 0) return kBadPadding;
    }
  } else if (padding_ == kPaddingZeros) {
    const int32_t limit = length < b ? length : b;
    while (pad < limit && bytes[length - 1 - pad] == 0) ++pad;
  }
  return pad == 0 ? 0 : out.Resize(length - pad);
}

int InternalCipher::StreamProcess(const uint8_t* in, int32_t length, core::BufferCore& out, int32_t final_flag) {
  const CipherCore* core = FindCipherCore(algorithm_);
  if (core == nullptr) return kUnknownCipher;
  if (core->process != nullptr) return core->process(*this, in, length, out, final_flag);
  if (length < 1) return 0;
  const int32_t old = out.Length();
  uint8_t* dst = Grow(out, length);
  if (dst == nullptr) return core::kOutOfMemory;
  const int rc = BlockEncryptByAlgorithm(*this, in, dst, length);
  if (rc != 0) (void)out.Resize(old);
  return rc;
}

// ---- mode dispatch ----------------------------------------------------------------------------------------

int InternalCipher::CipherModeDispatch(const uint8_t* in, int32_t length, core::BufferCore& out) {
  const int32_t old = out.Length();
  int rc;
  switch (mode_) {
    case kModeCbc:
      rc = CbcProcess(in, length, out);
      break;
    case kModeEcb:
      rc = EcbProcess(in, length, out);
      break;
    case kModeOfb:
      rc = feedback_bits_ == 8 ? Ofb8Process(in, length, out) : OfbProcess(in, length, out);
      break;
    case kModeCfb:
      rc = feedback_bits_ == 8 ? Cfb8Process(in, length, out) : CfbProcess(in, length, out);
      break;
    case kModeCts:
      rc = CtsProcess(in, length, out);
      break;
    case kModeCtr:
      rc = CtrProcess(in, length, out);
      break;
    default:
      return kModeNotSupported;
  }
  if (rc != 0) (void)out.Resize(old);
  return rc;
}

int InternalCipher::EcbProcess(const uint8_t* in, int32_t length, core::BufferCore& out) {
  const int32_t blocks = length / B();
  if (blocks == 0) return 0;
  uint8_t* dst = Grow(out, blocks * B());
  if (dst == nullptr) return core::kOutOfMemory;
  return Blocks(in, dst, blocks, encrypting_ != 0);
}

int InternalCipher::CbcProcess(const uint8_t* in, int32_t length, core::BufferCore& out) {
  const int32_t b = B();
  const int32_t blocks = length / b;
  if (blocks == 0) return 0;
  uint8_t* reg = LoadRegister();
  uint8_t* dst = reg != nullptr ? Grow(out, blocks * b) : nullptr;
  if (dst == nullptr) return core::kOutOfMemory;
  int rc = 0;
  if (encrypting_ != 0) {
    const CipherCore* core = FindCipherCore(algorithm_);
    for (int32_t i = 0; i < blocks && rc == 0; ++i) {
      if (i > 0 && core->cbc_encrypt_blocks != nullptr) {
        core->cbc_encrypt_blocks(*this, reg, in + i * b, dst + i * b, static_cast<size_t>(blocks - i));
        break;
      }
      XorBytesInto(reg, in + i * b, b);
      rc = Block(reg, dst + i * b, b, true);
      std::memcpy(reg, dst + i * b, static_cast<size_t>(b));
    }
  } else if (UsesBulkAes()) {
    AesCbcDecryptBlocks(Aes().RoundKeys(), Aes().Rounds(), reg, in, dst, static_cast<size_t>(blocks));
  } else {
    rc = Blocks(in, dst, blocks, false);
    if (rc == 0) {
      XorBytesInto(dst, reg, b);
      XorBytes(dst + b, dst + b, in, (blocks - 1) * b);
      std::memcpy(reg, in + (blocks - 1) * b, static_cast<size_t>(b));
    }
  }
  return rc != 0 ? rc : StoreRegister(reg);
}

// BeginFeedback prepares a feedback-mode call: the register widened to a block, a keystream block and
// length bytes of output. 200 when any of them cannot be had.
int InternalCipher::BeginFeedback(int32_t length, core::BufferCore& out, FeedbackWork* work) {
  work->reg = LoadRegister();
  work->stream = Scratch(1, B());
  work->dst = work->reg != nullptr && work->stream != nullptr ? Grow(out, length) : nullptr;
  return work->dst != nullptr ? 0 : core::kOutOfMemory;
}

// CFB with full-block feedback. After a partial block of n bytes the register holds the n ciphertext
// bytes followed by the unused keystream bytes, and the next call starts a fresh block from it.
int InternalCipher::CfbProcess(const uint8_t* in, int32_t length, core::BufferCore& out) {
  if (length < 1) return 0;
  const int32_t b = B();
  FeedbackWork w;
  int rc = BeginFeedback(length, out, &w);
  for (int32_t at = 0; at < length && rc == 0; at += b) {
    rc = Block(w.reg, w.stream, b, true);
    const int32_t n = length - at < b ? length - at : b;
    XorBytes(w.dst + at, in + at, w.stream, n);
    std::memcpy(w.reg, encrypting_ != 0 ? w.dst + at : in + at, static_cast<size_t>(n));
    std::memcpy(w.reg + n, w.stream + n, static_cast<size_t>(b - n));
  }
  return rc != 0 ? rc : StoreRegister(w.reg);
}

// OFB: the register becomes the last keystream block, also when only part of it was used.
int InternalCipher::OfbProcess(const uint8_t* in, int32_t length, core::BufferCore& out) {
  if (length < 1) return 0;
  const int32_t b = B();
  FeedbackWork w;
  int rc = BeginFeedback(length, out, &w);
  for (int32_t at = 0; at < length && rc == 0; at += b) {
    rc = Block(w.reg, w.reg, b, true);
    XorBytes(w.dst + at, in + at, w.reg, length - at < b ? length - at : b);
  }
  return rc != 0 ? rc : StoreRegister(w.reg);
}

int InternalCipher::Cfb8Process(const uint8_t* in, int32_t length, core::BufferCore& out) {
  return EightBitFeedback(in, length, out, true);
}

int InternalCipher::Ofb8Process(const uint8_t* in, int32_t length, core::BufferCore& out) {
  return EightBitFeedback(in, length, out, false);
}

// EightBitFeedback runs one block operation per byte; the register moves one byte to the front and
// takes the ciphertext byte (CFB-8) or the keystream byte (OFB-8) at its end.
int InternalCipher::EightBitFeedback(const uint8_t* in, int32_t length, core::BufferCore& out, bool cfb) {
  if (length < 1) return 0;
  const int32_t b = B();
  FeedbackWork w;
  int rc = BeginFeedback(length, out, &w);
  for (int32_t i = 0; i < length && rc == 0; ++i) {
    rc = Block(w.reg, w.stream, b, true);
    w.dst[i] = static_cast<uint8_t>(in[i] ^ w.stream[0]);
    ShiftIn(w.reg, b, !cfb ? w.stream[0] : encrypting_ != 0 ? w.dst[i] : in[i]);
  }
  return rc != 0 ? rc : StoreRegister(w.reg);
}

// CTR: the whole block is one big-endian counter, advanced as soon as a keystream block is used up;
// the unused rest of a block and the position carry over to the next call.
int InternalCipher::CtrProcess(const uint8_t* in, int32_t length, core::BufferCore& out) {
  if (length < 1) return 0;
  const int32_t b = B();
  if (ctr_keystream_.Length() != b && ctr_keystream_.Resize(b) != 0) return core::kOutOfMemory;
  auto* stream = reinterpret_cast<uint8_t*>(ctr_keystream_.Data());
  uint8_t* reg = LoadRegister();
  uint8_t* dst = reg != nullptr ? Grow(out, length) : nullptr;
  if (dst == nullptr) return core::kOutOfMemory;
  const int32_t batch = static_cast<int32_t>(sizeof scratch_[0]) / b;
  int32_t at = 0;
  while (at < length) {
    const int32_t remaining = length - at;
    if (ctr_position_ == 0 && remaining >= b && UsesBulkAes()) {
      // AES: the counters, the rounds and the XOR in one pass over all whole blocks.
      const int32_t blocks = remaining / b;
      AesCtrBlocks(Aes().RoundKeys(), Aes().Rounds(), reg, in + at, dst + at, static_cast<size_t>(blocks));
      at += blocks * b;
      continue;
    }
    if (ctr_position_ == 0 && remaining >= 2 * b && batch >= 2) {
      // Several whole blocks at once: lay out the counters, encrypt them together, XOR.
      const int32_t blocks = remaining / b < batch ? remaining / b : batch;
      uint8_t* counters = scratch_[1];
      uint8_t* keystream = scratch_[2];
      LayOutCounters(reg, b, counters, blocks);
      const int rc = Blocks(counters, keystream, blocks, true);
      if (rc != 0) return rc;
      XorBytes(dst + at, in + at, keystream, blocks * b);
      at += blocks * b;
      continue;
    }
    if (ctr_position_ == 0) {
      const int rc = Block(reg, stream, b, true);
      if (rc != 0) return rc;
    }
    const int32_t available = b - ctr_position_;
    const int32_t take = available > remaining ? remaining : available;
    XorBytes(dst + at, in + at, stream + ctr_position_, take);
    at += take;
    if (take == available) {
      IncrementCounterBigEndian(reg, b);
      ctr_position_ = 0;
    } else {
      ctr_position_ += take;
    }
  }
  return StoreRegister(reg);
}

// ---- CBC with ciphertext stealing -----------------------------------------------------------------------

// CtsProcess holds back the last one to two blocks (more than one, at most two) of the stream and runs
// CBC over what comes before them.
int InternalCipher::CtsProcess(const uint8_t* in, int32_t length, core::BufferCore& out) {
  const int32_t b = B();
  const int32_t total = cts_hold_.Length() + length;
  if (total <= 2 * b) return cts_hold_.Append(in, length);
  const int32_t k = (total - 2 * b + b - 1) / b;
  core::SecureBuffer joined;
  int rc = joined.Assign(cts_hold_);
  if (rc == 0) rc = joined.Append(in, length);
  if (rc == 0) rc = CbcProcess(reinterpret_cast<const uint8_t*>(joined.Data()), k * b, out);
  if (rc == 0) rc = cts_hold_.SetData(total - k * b, joined.Data() + k * b);
  return rc;
}

int InternalCipher::CtsFinal(const uint8_t* in, int32_t length, core::BufferCore& out) {
  const int32_t b = B();
  core::SecureBuffer head;
  int rc = CtsProcess(in, length, head);
  if (rc != 0) return rc;
  if (cts_hold_.Length() <= b) return kCtsTooShort;
  const int32_t d = cts_hold_.Length() - b;
  const auto* hold = reinterpret_cast<const uint8_t*>(cts_hold_.Data());
  uint8_t* block = Scratch(2, b);
  if (block == nullptr) return core::kOutOfMemory;
  std::memcpy(block, hold + b, static_cast<size_t>(d));
  std::memset(block + d, 0, static_cast<size_t>(b - d));
  core::SecureBuffer first;
  core::SecureBuffer second;
  if (encrypting_ != 0) {
    rc = CbcProcess(hold, b, first);
    if (rc == 0) rc = CbcProcess(block, b, second);
  } else {
    // The register for the full block is the stolen ciphertext padded with zeros; its plaintext tail
    // and the missing ciphertext bytes come out together.
    core::Buffer saved;
    rc = saved.Assign(working_iv_);
    if (rc == 0) rc = working_iv_.SetData(b, block);
    if (rc == 0) rc = CbcProcess(hold, b, second);
    if (rc == 0) rc = working_iv_.Assign(saved);
    if (rc == 0) {
      std::memcpy(block + d, second.Data() + d, static_cast<size_t>(b - d));
      rc = CbcProcess(block, b, first);
    }
  }
  // Encryption writes C2 whole and the head of C1; decryption P1 whole and the plaintext tail.
  const core::BufferCore& whole = encrypting_ != 0 ? second : first;
  const core::BufferCore& tail = encrypting_ != 0 ? first : second;
  if (rc == 0) rc = out.Append(head);
  if (rc == 0) rc = out.Append(whole.Data(), b);
  if (rc == 0) rc = out.Append(tail.Data(), d);
  cts_hold_.Clear();
  return rc;
}

}  // namespace velmora::crypto
