// Writing values to the connected server: characteristic writes with and without response, descriptor
// writes, the Characteristic User Description write, and subscribing to notifications and indications by
// writing a characteristic's Client Characteristic Configuration Descriptor (CCCD).
//
// The operations themselves are members of BLEClientEngine (writing.cpp): WriteValue, PostValue, Subscribe,
// Unsubscribe, WriteCharacteristic, WriteDescriptor, SetSubscription and WriteUserDescription. They run on
// the application's thread and wait for the platform in place. Log lines are composed into buffers of the
// call itself, so that a composition on one thread never overwrites a text another thread is using.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "platform/bluetooth/bluetooth.h"

namespace velmora::ble {

namespace bt = platform::bluetooth;

// kCharacteristicLacksFlag: the characteristic lacks Notify and Indicate (to subscribe or unsubscribe) or
// Writable Auxiliaries (to change its user description). kNoUserDescriptionDescriptor: it has Writable
// Auxiliaries but no User Description descriptor was found.
constexpr int kCharacteristicLacksFlag = 602;
constexpr int kNoUserDescriptionDescriptor = 611;

// BufferToIBuffer sets out to a platform buffer holding the length bytes at bytes; a length below 1 (or no
// bytes) gives an empty buffer. 0, or 200 when memory runs out.
[[nodiscard]] int BufferToIBuffer(const uint8_t* bytes, int32_t length, bt::Bytes& out);

}  // namespace velmora::ble
