#include "platform/bluetooth/sim/core.h"

#include <string_view>

namespace velmora::platform::bluetooth::sim {
namespace {

// The journal keeps the most recent calls only, so that a long-running scenario does not grow without end.
constexpr size_t kJournalLimit = 100000;

bool Matches(const SimFault& fault, SimOp op, uint64_t address, uint16_t handle) {
  return fault.op == op && (!fault.address || *fault.address == address) && (!fault.handle || *fault.handle == handle);
}

}  // namespace

std::unique_lock<std::mutex> SimCore::Call(SimCall call) {
  std::unique_lock lock(mutex);
  for (auto rule = fail_rules.begin(); rule != fail_rules.end(); ++rule) {
    if (rule->api != call.api) continue;
    const int32_t hresult = rule->hresult;
    if (rule->remaining > 0 && --rule->remaining == 0) fail_rules.erase(rule);
    call.text = u"failed";
    journal.push_back(std::move(call));
    if (journal.size() > kJournalLimit) journal.pop_front();
    throw PlatformError(hresult);
  }
  journal.push_back(std::move(call));
  if (journal.size() > kJournalLimit) journal.pop_front();
  return lock;
}

SimFault SimCore::TakeFault(SimOp op, uint64_t address, uint16_t handle, int* rule_id) {
  for (auto rule = faults.begin(); rule != faults.end(); ++rule) {
    if (!Matches(rule->fault, op, address, handle)) continue;
    SimFault fault = rule->fault;
    *rule_id = rule->id;
    if (rule->fault.times > 0 && --rule->fault.times == 0) faults.erase(rule);
    return fault;
  }
  *rule_id = 0;
  SimFault none;
  none.op = op;
  return none;
}

void SimCore::Schedule(const SimFault& fault, int rule_id, std::function<void()> finish) {
  if (fault.complete_inline) {
    finish();
  } else if (fault.hold) {
    std::lock_guard lock(mutex);
    if (!shut_down) held[rule_id].push_back(std::move(finish));
  } else {
    completions.Post(std::move(finish), fault.delay_ms);
  }
}

std::shared_ptr<PeripheralState> SimCore::Peripheral(uint64_t address) {
  auto found = peripherals.find(address);
  return found == peripherals.end() ? nullptr : found->second;
}

AttributeRef FindAttribute(SimGattDb& db, uint16_t handle) {
  for (SimService& service : db.services) {
    if (service.handle == handle) return {&service, nullptr, nullptr};
    for (SimCharacteristic& characteristic : service.characteristics) {
      if (characteristic.handle == handle) return {&service, &characteristic, nullptr};
      for (SimDescriptor& descriptor : characteristic.descriptors) {
        if (descriptor.handle == handle) return {&service, &characteristic, &descriptor};
      }
    }
  }
  return {};
}

// Platform texts are UTF-16 and the simulator's byte texts UTF-8; a malformed sequence becomes U+FFFD.
HString Utf8ToHString(const Bytes& utf8) {
  HString out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const uint8_t lead = utf8[i];
    const int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
    uint32_t code = extra == 0 ? lead : extra == 1 ? (lead & 0x1F) : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
    bool valid = extra >= 0 && i + static_cast<size_t>(extra) < utf8.size();
    for (int k = 1; valid && k <= extra; ++k) {
      valid = (utf8[i + k] & 0xC0) == 0x80;
      code = (code << 6) | (utf8[i + k] & 0x3F);
    }
    if (!valid || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    i += static_cast<size_t>(extra) + 1;
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

Bytes HStringToUtf8(const HString& text) {
  Bytes out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out.push_back(static_cast<uint8_t>(code));
    } else if (code < 0x800) {
      out.insert(out.end(), {static_cast<uint8_t>(0xC0 | (code >> 6)), static_cast<uint8_t>(0x80 | (code & 0x3F))});
    } else if (code < 0x10000) {
      out.insert(out.end(), {static_cast<uint8_t>(0xE0 | (code >> 12)), static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F)),
                             static_cast<uint8_t>(0x80 | (code & 0x3F))});
    } else {
      out.insert(out.end(), {static_cast<uint8_t>(0xF0 | (code >> 18)), static_cast<uint8_t>(0x80 | ((code >> 12) & 0x3F)),
                             static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F)), static_cast<uint8_t>(0x80 | (code & 0x3F))});
    }
  }
  return out;
}

}  // namespace velmora::platform::bluetooth::sim
