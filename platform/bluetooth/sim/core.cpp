#include "platform/bluetooth/sim/core.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "platform/code_page.h"

namespace velmora::platform::bluetooth::sim {
namespace {

constexpr uint32_t kCodePageUtf8 = 65001;

bool Matches(const SimFault& fault, SimOp op, uint64_t address, uint16_t handle) {
  return fault.op == op && (!fault.address || *fault.address == address) && (!fault.handle || *fault.handle == handle);
}

}  // namespace

void SimReportBuffer::Post(Executor& events, std::function<void()> deliver) {
  std::function<void()> gave_way;  // destroyed after the lock, as whatever a task holds
  std::lock_guard lock(mutex_);
  if (waiting_.size() >= capacity_) {
    // A report a worker has taken already is dropped when it runs, since it is no longer waiting.
    gave_way = events.Cancel(waiting_.front().second);
    waiting_.pop_front();
  }
  const uint64_t number = next_number_++;
  const Executor::TaskId id = events.Post([self = shared_from_this(), number, deliver = std::move(deliver)] {
    if (self->Take(number)) deliver();
  });
  waiting_.emplace_back(number, id);
}

bool SimReportBuffer::Take(uint64_t number) {
  std::lock_guard lock(mutex_);
  // Several event threads may take reports out of order, so the report is looked for, not assumed first.
  auto found = std::lower_bound(waiting_.begin(), waiting_.end(), number,
                                [](const auto& entry, uint64_t value) { return entry.first < value; });
  if (found == waiting_.end() || found->first != number) return false;
  waiting_.erase(found);
  return true;
}

std::unique_lock<std::mutex> SimCore::Call(SimCall call) {
  std::unique_lock lock(mutex);
  for (auto rule = fail_rules.begin(); rule != fail_rules.end(); ++rule) {
    if (rule->api != call.api) continue;
    const int32_t hresult = rule->hresult;
    if (rule->remaining > 0 && --rule->remaining == 0) fail_rules.erase(rule);
    Journal(std::move(call));
    throw PlatformError(hresult);
  }
  Journal(std::move(call));
  return lock;
}

void SimCore::Journal(SimCall&& call) {
  if (journal_limit == 0) return;
  journal.push_back(std::move(call));
  if (journal.size() > journal_limit) journal.pop_front();
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
    std::unique_lock lock(mutex);
    if (released.count(rule_id) == 0) {
      if (!shut_down) held[rule_id].push_back(std::move(finish));
      return;
    }
    lock.unlock();
    completions.Post(std::move(finish), fault.delay_ms);
  } else {
    completions.Post(std::move(finish), fault.delay_ms);
  }
}

std::shared_ptr<PeripheralState> SimCore::Peripheral(uint64_t address) {
  auto found = peripherals.find(address);
  return found == peripherals.end() ? nullptr : found->second;
}

// FindAttribute first takes the usual layout of a database, sorted by handle at every level with each
// service's attributes between its handle and the next service's, and finds the handle by binary search;
// a database laid out otherwise is searched in full.
AttributeRef FindAttribute(SimGattDb& db, uint16_t handle) {
  auto below = [](const auto& item, uint16_t value) { return item.handle < value; };
  auto above = [](uint16_t value, const auto& item) { return value < item.handle; };
  auto service = std::lower_bound(db.services.begin(), db.services.end(), handle, below);
  if (service != db.services.end() && service->handle == handle) return {&*service, nullptr, nullptr};
  if (service != db.services.begin()) {
    SimService& owner = *std::prev(service);
    auto characteristic = std::upper_bound(owner.characteristics.begin(), owner.characteristics.end(), handle, above);
    if (characteristic != owner.characteristics.begin()) {
      SimCharacteristic& found = *std::prev(characteristic);
      if (found.handle == handle) return {&owner, &found, nullptr};
      auto descriptor = std::lower_bound(found.descriptors.begin(), found.descriptors.end(), handle, below);
      if (descriptor != found.descriptors.end() && descriptor->handle == handle) return {&owner, &found, &*descriptor};
    }
  }
  for (SimService& item : db.services) {
    if (item.handle == handle) return {&item, nullptr, nullptr};
    for (SimCharacteristic& characteristic : item.characteristics) {
      if (characteristic.handle == handle) return {&item, &characteristic, nullptr};
      for (SimDescriptor& descriptor : characteristic.descriptors) {
        if (descriptor.handle == handle) return {&item, &characteristic, &descriptor};
      }
    }
  }
  return {};
}

HString Utf8ToHString(const Bytes& utf8) {
  if (utf8.empty()) return {};
  const char* in = reinterpret_cast<const char*>(utf8.data());
  const int in_len = static_cast<int>(utf8.size());
  HString out(static_cast<size_t>(MultiByteToWideChar(kCodePageUtf8, in, in_len, nullptr, 0)), u'\0');
  out.resize(
      static_cast<size_t>(MultiByteToWideChar(kCodePageUtf8, in, in_len, out.data(), static_cast<int>(out.size()))));
  return out;
}

}  // namespace velmora::platform::bluetooth::sim
