#include "ble/host_stream.h"

#include <cstring>

namespace velmora::ble {

namespace {

constexpr const char* kInvalidStreamText = "Invalid stream pointer.";

int32_t NullStreamOperation(int32_t operation, void* out) {
  switch (operation) {
    case VELMORABLE_STREAM_CLOSE:
      return 0;
    case VELMORABLE_STREAM_QUERY_FLAG:
      if (out != nullptr) *static_cast<uint8_t*>(out) = 0;
      return 0;
    case VELMORABLE_STREAM_ERROR_TEXT:
      if (out != nullptr) *static_cast<const char**>(out) = kInvalidStreamText;
      return 0;
    case VELMORABLE_STREAM_ERROR_CODE:
      if (out != nullptr) *static_cast<int32_t*>(out) = -1;
      return 0;
    default:
      return -1;
  }
}

// The argument's pointer names a 64-bit value for the position and set operations; a missing one reads 0.
int64_t ArgumentValue64(const VelmoraBLE_StreamArg* arg) {
  int64_t value = 0;
  if (arg != nullptr && arg->data != nullptr) std::memcpy(&value, arg->data, sizeof(value));
  return value;
}

}  // namespace

int32_t StreamOperation(HostStream* stream, int32_t operation, VelmoraBLE_StreamArg* arg, void* out) {
  if (stream == nullptr) return NullStreamOperation(operation, out);
  void* data = arg != nullptr ? arg->data : nullptr;
  const int32_t length = arg != nullptr ? arg->length : 0;
  switch (operation) {
    case VELMORABLE_STREAM_TRANSFER_A:
      return stream->TransferA(data, length);
    case VELMORABLE_STREAM_TRANSFER_B:
      return stream->TransferB(data, length);
    case VELMORABLE_STREAM_POSITION:
      return stream->Position(ArgumentValue64(arg), length);
    case VELMORABLE_STREAM_CONTROL:
      return stream->Control(0, arg, out);
    case VELMORABLE_STREAM_CLOSE:
      (void)stream->Close();
      stream->Release(1);
      return 0;
    case VELMORABLE_STREAM_QUERY_FLAG: {
      int32_t which = 0;
      if (data != nullptr) std::memcpy(&which, data, sizeof(which));
      const uint8_t flag = stream->QueryFlag(which) ? 1 : 0;
      if (out != nullptr) *static_cast<uint8_t*>(out) = flag;
      return 0;
    }
    case VELMORABLE_STREAM_QUERY_64: {
      const int64_t value = stream->Query64();
      if (out != nullptr) std::memcpy(out, &value, sizeof(value));
      return 0;
    }
    case VELMORABLE_STREAM_SET_64:
      return stream->Set64(ArgumentValue64(arg));
    case VELMORABLE_STREAM_ERROR_TEXT: {
      const char* text = stream->ErrorText();
      if (out != nullptr) *static_cast<const char**>(out) = text;
      return 0;
    }
    case VELMORABLE_STREAM_ERROR_CODE: {
      const int32_t code = stream->ErrorCode();
      if (out != nullptr) *static_cast<int32_t*>(out) = code;
      return 0;
    }
    default:
      return 0;
  }
}

}  // namespace velmora::ble
