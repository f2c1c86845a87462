// CallResults: everything that the calls of one thread into a client leave behind and hand out. The
// application's thread has the client's own set; a platform thread that delivers an event of a client gets a
// set of its own for the calls on that client, which lives until the delivery ends; and each event that a
// sink receives, on any thread, gets a set for each other client that its calls reach (outside that client's
// own methods), which lives until the sink returns (see SinkFrame). So no text handed to one thread is
// rewritten by another, no thread's last error state is reached through another thread's pointer, and no
// event's calls on another client see what an earlier event's calls left.
#pragma once

#include <cstdint>
#include <memory>

#include "ble/advertisement.h"
#include "component/component_base.h"
#include "core/buffer.h"

namespace velmora::ble {

// ResultStringPair holds a text handed out in UTF-16: its narrow copy and the UTF-16 form, valid until the
// next conversion into the same record.
struct ResultStringPair {
  core::Buffer narrow;
  core::Buffer wide;
  // ToWide copies text (null as "") and converts it with code_page. 0, 434 or 200.
  [[nodiscard]] int ToWide(const char* text, uint32_t code_page);
  const char16_t* Wide() const { return reinterpret_cast<const char16_t*>(wide.Data()); }
};

// One record per text property, and the last one for the UTF-16 form of a Config reply.
constexpr int kResultRecordCount = 18;
constexpr int kConfigReplyRecord = 17;

struct CallResults : component::ResultState {
  CallResults() = default;
  CallResults(const CallResults&) = delete;
  CallResults& operator=(const CallResults&) = delete;

  // Record returns result record i (0 <= i < kResultRecordCount), made on first use; null when memory
  // runs out.
  ResultStringPair* Record(int i);

  // The last error text of this thread's earlier calls while its running method keeps it aside (see
  // RecordedCall); null when none is kept.
  const core::BufferCore* earlier_error_text = nullptr;
  // The advertisement this thread delivers (owned by the delivery), which the in-event settings read; null
  // outside the Advertisement event.
  AdvertisementContext* advertisement = nullptr;
  // The reply of the names that the client answers itself (BuildInfo, MajorVersion).
  core::Buffer config_reply;
  // The texts of ServerId and ServerName, the bytes of the value reads and the copy of the event error
  // text that GetEventError hands out.
  core::Buffer server_id;
  core::Buffer server_name;
  core::Buffer value;
  core::Buffer event_error;
  // The kept texts of the item of the tree (KeptTexts) whose text a text property (by result record) last
  // handed to this thread, held until the thread reads that property again: a sink on another thread that
  // empties the tree meanwhile frees no text this thread was given.
  std::shared_ptr<const void> held_items[kConfigReplyRecord];

 private:
  std::unique_ptr<ResultStringPair[]> records_;
};

}  // namespace velmora::ble
