// HostStream: the stream object of a host wrapper, driven through the exported VelmoraBLE_Stream by
// operation code. The library only calls it; the host implements it.
#pragma once

#include <cstdint>

#include "velmorable.h"

namespace velmora::ble {

// HostStream lists the stream's virtual operations in the order of its table. NOTE: it declares no virtual
// destructor: under the Itanium C++ ABI a virtual destructor takes two table slots and would move every
// operation after it; release(flags) is an ordinary operation instead. Only hosts built for this ABI fit.
class HostStream {
 public:
  virtual void Reserved0() = 0;
  virtual void Reserved1() = 0;
  // Release frees the object when bit 0 of flags is set.
  virtual void Release(int32_t flags) = 0;
  virtual const char* ErrorText() = 0;
  virtual int32_t ErrorCode() = 0;
  virtual void Reserved5() = 0;
  virtual bool QueryFlag(int32_t which) = 0;
  virtual int64_t Query64() = 0;
  virtual int32_t Set64(int64_t value) = 0;
  virtual int32_t TransferA(void* data, int32_t length) = 0;
  virtual int32_t TransferB(void* data, int32_t length) = 0;
  virtual int32_t Position(int64_t offset, int32_t origin) = 0;
  virtual int32_t Control(int32_t zero, VelmoraBLE_StreamArg* arg, void* out) = 0;
  virtual int32_t Close() = 0;

 protected:
  HostStream() = default;
  ~HostStream() = default;
  HostStream(const HostStream&) = default;
  HostStream& operator=(const HostStream&) = default;
};

// StreamOperation runs VelmoraBLE_Stream on stream (null allowed); see the public header for the results.
int32_t StreamOperation(HostStream* stream, int32_t operation, VelmoraBLE_StreamArg* arg, void* out);

}  // namespace velmora::ble
