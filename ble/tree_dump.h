// The GATT tree dump: the "GattObjTreeInfo" setting's text, one line per discovered service,
// characteristic and descriptor with ids, relations, flags, subscription state, user description and the
// number of presentation formats.
#pragma once

#include <cstdint>
#include <mutex>

#include "ble/gatt_records.h"
#include "ble/reading.h"
#include "core/buffer.h"

namespace velmora::ble {

// FlagsText sets out to the abbreviations of the set characteristic flags, in bit order and joined with
// ",": B, R, WWR, W, N, I, ASR, RW, WA. Flags 0 give "". 0, or 200.
[[nodiscard]] int FlagsText(uint32_t flags, core::BufferCore& out);

// AppendDumpText appends text (length bytes) so that it can neither start a line nor end a quoted value in
// the dump: control characters (C0, DEL, and C1 in UTF-8) become one blank each, and a double quote and a
// backslash are written as \" and \\. 0, or 200 (out then holds a prefix of the addition).
[[nodiscard]] int AppendDumpText(const char* text, int32_t length, core::BufferCore& out);

// BuildGattObjTreeInfo replaces out with the dump of the tree with the subscription states: the header
// line, then each service followed by its characteristics, each followed by its descriptors; every line
// ends with CR LF. The tree is read under tree_mutex, the services' id lists included, all at one moment;
// the platform reads, the subscription states (under their own lock) and the formatting follow once
// tree_mutex is released, so no lock is held across another. Flags are the stored ones (0 until the record's properties
// are loaded); the user description and the format count are read from the platform object (no descriptor
// is discovered for them), and a record without one shows UserDescr="" and VFCount=0. Returns 0, or 200
// with out holding the lines written so far. May raise PlatformError from those platform reads. Any thread
// (a sink may ask while the application's thread discovers).
[[nodiscard]] int BuildGattObjTreeInfo(const GattTree& tree, std::mutex& tree_mutex, SubscriptionStates& subscriptions,
                                       core::BufferCore& out);

}  // namespace velmora::ble
