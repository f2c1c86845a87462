// Standard names of GATT services, characteristics and descriptors: the description a record carries when
// its UUID is one of the Bluetooth assigned numbers the engine knows (Bluetooth Assigned Numbers, GATT
// Services, Characteristics and Descriptors).
#pragma once

#include "ble/uuid_text.h"
#include "core/buffer.h"

namespace velmora::ble {

// LookupServiceName sets out to the standard name of the service type uuid, or to "" when uuid is not a
// known service type. Returns 0, or 200 when out cannot grow. Any thread; the tables are constant.
[[nodiscard]] int LookupServiceName(const Guid& uuid, core::BufferCore& out);

// LookupCharacteristicName sets out to the standard name of the characteristic type uuid; for an unknown
// type it leaves out as it was (its caller passes the still empty description of a new record). Returns 0,
// or 200 when out cannot grow. Any thread.
[[nodiscard]] int LookupCharacteristicName(const Guid& uuid, core::BufferCore& out);

// LookupDescriptorName sets out to the standard name of the descriptor type uuid, or to "" when uuid is not
// a known descriptor type. Returns 0, or 200 when out cannot grow. Any thread.
[[nodiscard]] int LookupDescriptorName(const Guid& uuid, core::BufferCore& out);

}  // namespace velmora::ble
