// UUID lists as the application writes them ("180D,0000180F-0000-1000-8000-00805F9B34FB") and as the
// engine reports them, for scan filters, discovery filters and the UUID values of the Advertisement event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "ble/uuid_text.h"
#include "component/component_base.h"
#include "core/buffer.h"

namespace velmora::ble {

// UuidList is an ordered list of UUIDs. A list from ParseUuidList holds no duplicates; lists read from an
// advertisement keep them.
using UuidList = std::vector<Guid>;

// Result codes of scanning.
constexpr int kNoAdapter = 613;
constexpr int kScanAborted = 603;
constexpr int kNotConnected = 605;
// kStillStopping is StartScanning's code on a platform event thread while the scan it stopped has not ended.
constexpr int kStillStopping = 614;

constexpr const char kNoAdapterText[] = "No Bluetooth adapter found.";
constexpr const char kNoLowEnergyText[] = "Bluetooth adapter does not support Low Energy.";
constexpr const char kStillStoppingText[] =
    "Scanning is still stopping; start it again once the StopScan event has arrived.";
constexpr const char kNotConnectedText[] = "You must be connected to a server to perform the requested action.";

// ParseUuidList appends to list the UUIDs of text (null counts as ""), items separated by ",". Empty items
// are skipped; every other item goes to ParseUuid as it stands (so an item of blanks fails). A UUID already
// in the list is not added again. Returns 0; on the first item that does not parse, the parser's reason
// becomes engine's last error text and its code (600, or 200) is returned, the UUIDs before it staying in
// the list. The caller's thread.
[[nodiscard]] int ParseUuidList(const char* text, component::ComponentBase& engine, UuidList& list);

// UuidListToText appends the canonical text of each UUID of list (36 upper-case characters, see
// GuidToUuidText), joined by ",". out is not emptied first. 0, or 200 when out cannot grow.
[[nodiscard]] int UuidListToText(const UuidList& list, core::BufferCore& out);

// AppendUuidText appends the canonical text of one UUID to out. 0 or 200.
[[nodiscard]] int AppendUuidText(const Guid& guid, core::BufferCore& out);

// GuidListContains is true when a UUID equal to guid (all 16 bytes) is in list.
bool GuidListContains(const UuidList& list, const Guid& guid);

// UniqueUuids appends UUIDs to a list once each. Short lists are searched; once a list grows past a few
// dozen entries it is indexed, so that long lists from remote devices or applications cost linear time.
class UniqueUuids {
 public:
  // The list may hold UUIDs already; they count as present. It must outlive this object and change only
  // through Add meanwhile.
  explicit UniqueUuids(UuidList& list) : list_(list) {}
  // Add appends uuid unless an equal one is in the list; true when it was appended.
  bool Add(const Guid& uuid);

 private:
  struct Hash {
    size_t operator()(const Guid& guid) const;
  };
  static constexpr size_t kLinearLimit = 32;

  UuidList& list_;
  std::unordered_set<Guid, Hash> index_;  // every UUID of the list, once the list passed kLinearLimit
};

}  // namespace velmora::ble
