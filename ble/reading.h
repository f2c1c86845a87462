// Reading attribute values, the listed subscription states, and the helpers that turn platform values into
// the engine's forms.
//
// The read operations themselves are members of BLEClientEngine (reading.cpp): ReadValue, the two cached
// reads, ReadCharacteristic/ReadDescriptor, GetCccdState, and OnValueChanged with ProcessValueChanged for
// the values a server pushes on a platform thread.
#pragma once

#include <cstdint>
#include <mutex>

#include "core/buffer.h"
#include "core/str_list.h"
#include "platform/bluetooth/bluetooth.h"

namespace velmora::ble {

namespace bt = platform::bluetooth;

// SubscriptionStates is the engine's list of the subscription states that QuerySubscriptionState reads: two
// lists kept in step, the characteristic ids (compared exactly) and at the same index the CCCD value last
// written or read ("0" unsubscribed, "1" notifications, "2" indications, "3" both). A characteristic enters
// the lists through a CCCD state query (the device's value, which may be another client's subscription), a
// Subscribe, an Unsubscribe or the platform's end of a subscription; a CCCD write then updates its value in
// place. A CCCD read and a notification never do. Whether this client holds a subscription of its own is
// the record's (GattCharacteristicRecord::values_stopped). Any thread: the platform's end of a subscription
// updates states on a platform thread while the application's thread reads and adds them, so every member
// takes the lists' own lock.
class SubscriptionStates {
 public:
  SubscriptionStates() = default;
  SubscriptionStates(const SubscriptionStates&) = delete;
  SubscriptionStates& operator=(const SubscriptionStates&) = delete;

  // Find returns 1 and sets *subscribed (the value is not 0) and *cccd (the value) when the id is listed,
  // else 0.
  int Find(const char* characteristic_id, bool* subscribed, int32_t* cccd = nullptr) const;
  // Update replaces the CCCD value of a listed id and sets *listed to whether it was listed and *previous to
  // whether it was subscribed before (false when unlisted; an unlisted id is not added). 0, or 200.
  [[nodiscard]] int Update(const char* characteristic_id, int32_t cccd, bool* listed, bool* previous = nullptr);
  // Set lists the id with its CCCD value, replacing the value when it is listed already. 0, or 200 (lists
  // unchanged).
  [[nodiscard]] int Set(const char* characteristic_id, int32_t cccd);
  // Fill lists the id with its CCCD value unless it is listed already (then nothing changes). 0, or 200.
  [[nodiscard]] int Fill(const char* characteristic_id, int32_t cccd);
  // Forget takes the id off the lists: its state is not known any more.
  void Forget(const char* characteristic_id);
  void Clear();
  int32_t Count() const;

 private:
  // Add lists the id with cccd, replacing the value of a listed id when replace is set.
  [[nodiscard]] int Add(const char* characteristic_id, int32_t cccd, bool replace);

  mutable std::mutex mutex_;
  core::StrList ids_;
  core::StrList states_;
};

// CopyPlatformBytes appends the bytes of a platform buffer to out. 0, or 200 with out as it was: a value is
// never handed on shortened.
[[nodiscard]] int CopyPlatformBytes(const bt::Bytes& bytes, core::BufferCore& out);

// MapPresentationFormatType returns the 1-based position (Boolean 1 ... Struct 27) of the platform's
// presentation format type equal to format, or 0 when none is. May raise PlatformError.
int32_t MapPresentationFormatType(uint8_t format);

}  // namespace velmora::ble
