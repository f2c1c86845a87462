// What only the ble/ sources share: the recording of a method's result as the last error.
#pragma once

#include <cstdint>

#include "ble/ble_client_engine.h"
#include "core/buffer.h"

namespace velmora::ble {

// TextOrEmpty returns text, or "" for null.
inline const char* TextOrEmpty(const char* text) { return text != nullptr ? text : core::kEmptyText; }

// The texts of a GATT operation called without the ids it needs (code 202).
inline constexpr const char* kNoServiceId = "Must supply a service ID.";
inline constexpr const char* kNoCharacteristicId = "Must supply a characteristic ID.";

// RecordedCall records the result of one method call or property write as the last error: the code is
// stored, and the text afterwards describes this call. A text the call set itself stays; a failure that set
// none gets the text made from its code; a success leaves the text of the earlier failure in place.
//
// To tell whether the call set a text, the earlier text is moved aside while the call runs (the engine
// still shows it through VisibleLastErrorText and the LastError query) and the live text starts empty.
// All of it lives in the calling thread's CallResults, so a call on one thread never sees, keeps or puts
// back another thread's text; calls may nest (a sink calling into the client).
class RecordedCall {
 public:
  explicit RecordedCall(BLEClientEngine& engine) : engine_(engine), outer_(engine.EarlierErrorText()) {
    core::Buffer& text = engine_.LastErrorText();
    if (!text.IsEmpty() && earlier_.Assign(text) == core::kOk) {
      (void)text.Clear();
      engine_.SetEarlierErrorText(&earlier_);
      kept_aside_ = true;
    }
  }
  ~RecordedCall() {
    if (!finished_) Restore(true);
  }
  RecordedCall(const RecordedCall&) = delete;
  RecordedCall& operator=(const RecordedCall&) = delete;

  // Finish records code and returns it.
  int Finish(int code) {
    finished_ = true;
    core::Buffer& text = engine_.LastErrorText();
    if (text.IsEmpty() && code != 0) {
      (void)engine_.ReportResult(code);
      Restore(false);
    } else {
      Restore(text.IsEmpty());
    }
    engine_.SetLastErrorCode(code);
    return code;
  }

 private:
  void Restore(bool put_back) {
    if (kept_aside_ && put_back) (void)engine_.LastErrorText().Assign(earlier_);
    engine_.SetEarlierErrorText(outer_);
  }

  BLEClientEngine& engine_;
  const core::BufferCore* outer_;
  core::Buffer earlier_;
  bool kept_aside_ = false;
  bool finished_ = false;
};

}  // namespace velmora::ble
