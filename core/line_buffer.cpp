#include "core/line_buffer.h"

#include <climits>
#include <cstring>

#include "core/numbers.h"
#include "platform/memory.h"

namespace velmora::core {

namespace {

constexpr uint8_t kCr = 13;
constexpr uint8_t kLf = 10;
// CR + LF: the byte that completes a line end is this minus the one seen.
constexpr uint8_t kLineEndSum = kCr + kLf;

}  // namespace

void LineBuffer::ReleaseBlock() {
  if (owns_data_) platform::Free(data_, static_cast<size_t>(capacity_) + 1);
  data_ = nullptr;
  owns_data_ = false;
  capacity_ = 0;
  start_ = 0;
  used_ = 0;
}

int LineBuffer::Allocate(uint32_t size) {
  if (owns_data_ && data_ != nullptr && capacity_ == size) {
    start_ = 0;
    return 1;
  }
  ReleaseBlock();
  if (size > INT32_MAX - 1) return 0;
  auto* block = static_cast<char*>(platform::Alloc(static_cast<size_t>(size) + 1));
  if (block == nullptr) return 0;
  block[size] = '\0';
  data_ = block;
  owns_data_ = true;
  capacity_ = size;
  return 1;
}

void LineBuffer::Wrap(const void* bytes, uint32_t count) {
  ReleaseBlock();
  data_ = static_cast<char*>(const_cast<void*>(bytes));
  used_ = bytes == nullptr ? 0 : (count > INT32_MAX ? INT32_MAX : count);
}

int LineBuffer::Release() {
  ReleaseBlock();
  platform::Free(delimiter_, delimiter_length_);
  delimiter_ = nullptr;
  delimiter_length_ = 0;
  line_mode_ = 0;
  pending_line_end_ = 0;
  return 1;
}

int LineBuffer::SetDelimiter(const void* bytes, uint32_t length) {
  platform::Free(delimiter_, delimiter_length_);
  delimiter_ = nullptr;
  delimiter_length_ = 0;
  if (bytes == nullptr || length == 0) return 1;
  if (length > INT32_MAX - 1) return 0;
  auto* copy = static_cast<char*>(platform::Alloc(length));
  if (copy == nullptr) return 0;
  std::memcpy(copy, bytes, length);
  delimiter_ = copy;
  delimiter_length_ = length;
  return 1;
}

void LineBuffer::Compact() {
  if (start_ == 0 || !owns_data_) return;
  std::memmove(data_, data_ + start_, used_);
  start_ = 0;
}

int LineBuffer::Append(const void* bytes, uint32_t count) {
  if (count > FreeTotal()) return 0;
  if (count == 0) return 1;
  if (count > FreeAtEnd()) Compact();
  std::memcpy(data_ + start_ + used_, bytes, count);
  used_ += count;
  return 1;
}

int LineBuffer::WriteSpan(char** out, uint32_t* count) {
  if (FreeAtEnd() == 0) Compact();
  const uint32_t total = FreeTotal();
  if (*count <= total && total != 0) {
    if (*count > FreeAtEnd()) Compact();
    *out = data_ + start_ + used_;
    *count = FreeAtEnd();
    return *count != 0 ? 1 : 0;
  }
  Compact();
  *out = data_ + start_ + used_;
  *count = FreeTotal();
  return 0;
}

int LineBuffer::CommitWrite(uint32_t count) {
  if (count > FreeAtEnd()) return 0;
  used_ += count;
  return 1;
}

void LineBuffer::Consume(uint32_t n) {
  start_ += n;
  used_ -= n;
  if (used_ == 0) start_ = 0;
}

int LineBuffer::Take(const char** out, uint32_t* count) {
  if (used_ == 0) {
    *out = "";
    *count = 0;
    return 0;
  }
  const uint32_t n = (*count != 0 && *count <= used_) ? *count : used_;
  *out = data_ + start_;
  *count = n;
  Consume(n);
  return 1;
}

int LineBuffer::ReadLine(const char** out, uint32_t* count) {
  *out = nullptr;
  *count = 0;
  if (used_ == 0) return 0;
  if (pending_line_end_ != 0) {
    // The first byte completes the line end that ended the previous fill; whatever it is, the pair
    // cannot be completed later, so the pending byte is forgotten either way.
    if (static_cast<uint8_t>(data_[start_]) == pending_line_end_) Consume(1);
    pending_line_end_ = 0;
  }
  const auto* p = reinterpret_cast<const uint8_t*>(data_ + start_);
  uint32_t k = 0;
  while (k < used_ && p[k] != kCr && p[k] != kLf) ++k;
  if (k == used_) {
    Compact();
    return 0;
  }
  *out = reinterpret_cast<const char*>(p);
  *count = k;
  if (k + 1 == used_) {
    pending_line_end_ = static_cast<uint8_t>(kLineEndSum - p[k]);
    Consume(k + 1);
    return 1;
  }
  Consume(p[k] + p[k + 1] == kLineEndSum ? k + 2 : k + 1);
  return 1;
}

int LineBuffer::NextRecord(const char** out, uint32_t* count) {
  if (delimiter_ == nullptr) return Take(out, count);
  if (line_mode_) return ReadLine(out, count);
  const int32_t at = MemFind(data_ + start_, static_cast<int32_t>(used_), delimiter_,
                             static_cast<int32_t>(delimiter_length_));
  if (at < 0) {
    Compact();
    *out = nullptr;
    *count = 0;
    return 0;
  }
  *out = data_ + start_;
  *count = static_cast<uint32_t>(at);
  Consume(static_cast<uint32_t>(at) + delimiter_length_);
  return 1;
}

}  // namespace velmora::core
