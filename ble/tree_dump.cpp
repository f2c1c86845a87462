#include "ble/tree_dump.h"

#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "ble/await.h"
#include "ble/gatt_records.h"
#include "ble/uuid_text.h"
#include "platform/text.h"

namespace velmora::ble {

namespace {

constexpr const char kHeader[] = "GATT Object Tree Info [>Services, >>Characteristics, >>>Descriptors]:\r\n";

struct FlagName {
  uint32_t bit;
  const char* text;
};

constexpr FlagName kFlagNames[] = {
    {kFlagBroadcast, ",B"},
    {kFlagRead, ",R"},
    {kFlagWriteWithoutResponse, ",WWR"},
    {kFlagWrite, ",W"},
    {kFlagNotify, ",N"},
    {kFlagIndicate, ",I"},
    {kFlagAuthenticatedSignedWrites, ",ASR"},
    {kFlagReliableWrites, ",RW"},
    {kFlagWritableAuxiliaries, ",WA"},
};

// One line of the dump: the record it shows, taken from the tree under its mutex so that the platform
// reads and the formatting run without it. Exactly one of the records is set, or none for a list slot
// that holds no record yet (written as an empty record of the line's kind). A service's id lists grow
// while the record is in the tree (discovery links the services under the same mutex), so a service line
// carries them as they were then, joined with commas; the other fields the lines show are fixed once a
// record is in the tree.
struct DumpLine {
  enum Kind : uint8_t { kService, kCharacteristic, kDescriptor } kind;
  std::shared_ptr<GattServiceRecord> service;
  std::shared_ptr<GattCharacteristicRecord> characteristic;
  std::shared_ptr<GattDescriptorRecord> descriptor;
  std::string parent_svc_ids;
  std::string included_svc_ids;
};

// JoinedIds gives the items of ids joined with commas. Under the tree mutex; may raise std::bad_alloc.
std::string JoinedIds(const core::StrList& ids) {
  std::string joined;
  for (int32_t i = 0; i < ids.Count(); ++i) {
    if (i > 0) joined += ',';
    joined.append(ids.Item(i), static_cast<size_t>(ids.ItemLength(i)));
  }
  return joined;
}

void CollectLines(const GattTree& tree, std::vector<DumpLine>& lines) {
  for (int32_t s = 0; s < tree.services.Count(); ++s) {
    std::shared_ptr<GattServiceRecord> service = RecordAt(tree.services, s);
    const int32_t service_index = service != nullptr ? tree.ServiceIndex(service->id.Data()) : -1;
    std::string parent_svc_ids = service != nullptr ? JoinedIds(service->parent_svc_ids) : std::string();
    std::string included_svc_ids = service != nullptr ? JoinedIds(service->included_svc_ids) : std::string();
    lines.push_back({DumpLine::kService, std::move(service), nullptr, nullptr, std::move(parent_svc_ids),
                     std::move(included_svc_ids)});
    const CharacteristicArray* characteristics = tree.service_characteristics.Get(service_index);
    if (characteristics == nullptr) continue;
    for (int32_t c = 0; c < characteristics->Count(); ++c) {
      std::shared_ptr<GattCharacteristicRecord> characteristic = RecordAt(*characteristics, c);
      const int32_t characteristic_index =
          characteristic != nullptr ? tree.CharacteristicIndex(characteristic->id.Data()) : -1;
      lines.push_back({DumpLine::kCharacteristic, nullptr, std::move(characteristic), nullptr, {}, {}});
      const DescriptorArray* descriptors = tree.characteristic_descriptors.Get(characteristic_index);
      if (descriptors == nullptr) continue;
      for (int32_t d = 0; d < descriptors->Count(); ++d) {
        lines.push_back({DumpLine::kDescriptor, nullptr, nullptr, RecordAt(*descriptors, d), {}, {}});
      }
    }
  }
}

// LineWriter appends the pieces of the dump's lines, remembering the first failure and skipping the rest.
class LineWriter {
 public:
  explicit LineWriter(core::BufferCore& out) : out_(out) {}
  int Code() const { return code_; }

  void Text(const char* text) {
    if (code_ == core::kOk) code_ = out_.AppendCString(text);
  }
  void Escaped(const core::BufferCore& text) {
    if (code_ == core::kOk) code_ = AppendDumpText(text.Data(), text.Length(), out_);
  }
  // Head writes the line's marker, the UUID text (empty without a platform object) and the quoted
  // description when there is one, then "[ID=" and the id.
  void Head(const char* marker, bool has_object, const Guid& uuid, const core::BufferCore& description,
            const core::BufferCore& id) {
    Text(marker);
    if (has_object && code_ == core::kOk) code_ = GuidToUuidText(uuid, scratch_);
    if (has_object) Text(scratch_.Data());
    Text(" ");
    if (!description.IsEmpty()) {
      Text("\"");
      Escaped(description);
      Text("\" ");
    }
    Text("[ID=");
    Escaped(id);
  }
  // IdList writes a joined id list (see DumpLine); a comma needs no escape, so the ids are escaped as one.
  void IdList(const std::string& ids) {
    if (code_ == core::kOk) code_ = AppendDumpText(ids.data(), static_cast<int32_t>(ids.size()), out_);
  }
  void Service(const DumpLine& line) {
    const GattServiceRecord* record = line.service.get();
    if (record == nullptr) {
      Text("> [ID=, ParentSvcIds=\"\", IncludedSvcIds=\"\"]\r\n");
      return;
    }
    Head(">", record->service != nullptr, record->uuid, record->description, record->id);
    Text(", ParentSvcIds=\"");
    IdList(line.parent_svc_ids);
    Text("\", IncludedSvcIds=\"");
    IdList(line.included_svc_ids);
    Text("\"]\r\n");
  }
  void Characteristic(const GattCharacteristicRecord* record, const SubscriptionStates& subscriptions) {
    if (record == nullptr) {
      Text(">> [ID=, Flags=0x0 (), Subscribed=False, UserDescr=\"\", VFCount=0]\r\n");
      return;
    }
    const bool has_object = record->characteristic != nullptr;
    Head(">>", has_object, record->uuid, record->description, record->id);
    char number[16];
    // Read once: another thread may load the flags meanwhile, and the number and the names show the same.
    const uint32_t flags = record->flags.load();
    platform::Format(number, sizeof(number), "%X", static_cast<unsigned>(flags));
    Text(", Flags=0x");
    Text(number);
    Text(" (");
    if (code_ == core::kOk) code_ = FlagsText(flags, scratch_);
    Text(scratch_.Data());
    // Find leaves subscribed false for an id that is not listed.
    bool subscribed = false;
    if (!record->id.IsEmpty()) (void)subscriptions.Find(record->id.Data(), &subscribed);
    Text(subscribed ? "), Subscribed=True, UserDescr=\"" : "), Subscribed=False, UserDescr=\"");
    uint32_t format_count = 0;
    if (has_object && code_ == core::kOk) {
      code_ = PlatformStringToText(record->characteristic->UserDescription(), scratch_);
      Escaped(scratch_);
      const size_t size = record->characteristic->PresentationFormats().size();
      format_count = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    }
    platform::Format(number, sizeof(number), "%u", format_count);
    Text("\", VFCount=");
    Text(number);
    Text("]\r\n");
  }
  void Descriptor(const GattDescriptorRecord* record) {
    if (record == nullptr) {
      Text(">>> [ID=]\r\n");
      return;
    }
    Head(">>>", record->descriptor != nullptr, record->uuid, record->description, record->id);
    Text("]\r\n");
  }

 private:
  core::BufferCore& out_;
  core::Buffer scratch_;
  int code_ = core::kOk;
};

}  // namespace

int FlagsText(uint32_t flags, core::BufferCore& out) {
  (void)out.Clear();
  for (const FlagName& name : kFlagNames) {
    if ((flags & name.bit) == 0) continue;
    // Each name is written with its separator; the first one's is left out.
    const char* text = out.IsEmpty() ? name.text + 1 : name.text;
    const int rc = out.AppendCString(text);
    if (rc != core::kOk) return rc;
  }
  return core::kOk;
}

int AppendDumpText(const char* text, int32_t length, core::BufferCore& out) {
  int32_t start = 0;  // first byte not yet appended
  for (int32_t i = 0; i < length; ++i) {
    const auto byte = static_cast<uint8_t>(text[i]);
    const char* replacement = nullptr;
    int32_t consumed = 1;
    if (byte < 0x20 || byte == 0x7F) {
      replacement = " ";
    } else if (byte == '"') {
      replacement = "\\\"";
    } else if (byte == '\\') {
      replacement = "\\\\";
    } else if (byte == 0xC2 && i + 1 < length && static_cast<uint8_t>(text[i + 1]) >= 0x80 &&
               static_cast<uint8_t>(text[i + 1]) <= 0x9F) {
      // A C1 control character (U+0080..U+009F, NEL among them) in UTF-8.
      replacement = " ";
      consumed = 2;
    }
    if (replacement == nullptr) continue;
    int rc = out.Append(text + start, i - start);
    if (rc == core::kOk) rc = out.AppendCString(replacement);
    if (rc != core::kOk) return rc;
    i += consumed - 1;
    start = i + 1;
  }
  return out.Append(text + start, length - start);
}

int BuildGattObjTreeInfo(const GattTree& tree, std::mutex& tree_mutex, SubscriptionStates& subscriptions,
                         core::BufferCore& out) {
  int rc = out.SetString(kHeader);
  if (rc != core::kOk) return rc;
  std::vector<DumpLine> lines;
  try {
    std::lock_guard<std::mutex> lock(tree_mutex);
    CollectLines(tree, lines);
  } catch (const std::bad_alloc&) {
    return core::kOutOfMemory;
  }
  LineWriter writer(out);
  for (const DumpLine& line : lines) {
    switch (line.kind) {
      case DumpLine::kService:
        writer.Service(line);
        break;
      case DumpLine::kCharacteristic:
        writer.Characteristic(line.characteristic.get(), subscriptions);
        break;
      case DumpLine::kDescriptor:
        writer.Descriptor(line.descriptor.get());
        break;
    }
    if (writer.Code() != core::kOk) return writer.Code();
  }
  return core::kOk;
}

}  // namespace velmora::ble
