// Shared set-up of the scanning and advertisement tests: a client on the exported interface with the
// simulated radio installed as the Bluetooth platform, a sink that records every event (from any thread)
// and may act inside an event, the order check of one client's scan events, and small builders for
// advertisements.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "ble/ble_client.h"
#include "tests/ble/ble_test_support.h"
#include "component/socket_base.h"
#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "velmorable.h"

namespace velmora::ble::testing {

namespace bt = platform::bluetooth;
using bt::sim::SimAdvert;
using bt::sim::SimPeripheral;
using bt::sim::SimRadio;

// One event as the sink saw it: ints, and texts or bytes as strings.
using Param = std::variant<int32_t, std::string>;
struct Event {
  int32_t id = 0;
  std::vector<Param> params;
  int32_t Int(size_t i) const { return std::get<int32_t>(params.at(i)); }
  const std::string& Text(size_t i) const { return std::get<std::string>(params.at(i)); }
};

// Sink records events; `inside` runs on the delivering thread before the sink returns.
class Sink {
 public:
  std::function<void(const Event&)> inside;
  // keep = false only counts events (for long runs).
  bool keep = true;
  // on_entry records each event as the sink enters it, before `inside` runs, so that the record shows the
  // order in which events reached the sink rather than the order in which they left it.
  bool on_entry = false;

  static int32_t Call(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
    auto* sink = static_cast<Sink*>(context);
    Event event{id, {}};
    event.params.reserve(static_cast<size_t>(count > 0 ? count : 0));
    for (int32_t i = 0; i < count; ++i) {
      const char kind = SlotKind(id, i);
      if (kind == 'i') {
        event.params.emplace_back(static_cast<int32_t>(params[i]));
      } else if (kind == 'b') {
        event.params.emplace_back(std::string(reinterpret_cast<const char*>(params[i]), cbparams[i]));
      } else {
        event.params.emplace_back(std::string(reinterpret_cast<const char*>(params[i])));
      }
    }
    if (sink->on_entry && sink->keep) sink->Record(event);
    if (sink->inside) sink->inside(event);
    if (!sink->on_entry && sink->keep) sink->Record(std::move(event));
    return 0;
  }

  std::vector<Event> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<Event> Of(int32_t id) {
    std::vector<Event> found;
    for (Event& event : Events()) {
      if (event.id == id) found.push_back(std::move(event));
    }
    return found;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }
  // WaitFor waits until `count` events of id have arrived; false after a generous wait.
  bool WaitFor(int32_t id, size_t count = 1) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
      size_t seen = 0;
      for (const Event& event : events_) seen += event.id == id ? 1 : 0;
      return seen >= count;
    });
  }

 private:
  void Record(Event event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }
  // 'i' int, 't' text, 'b' bytes.
  static char SlotKind(int32_t id, int32_t slot) {
    static const char* const kLayouts[] = {"",   "ttiitttibii", "it", "it", "ittttt", "it", "itt",
                                           "tii", "tt",         "t",  "it", "tttt",   "tttt", "tttttb", "ttttt"};
    if (id < 1 || id > 14) return 'i';
    const std::string layout = kLayouts[id];
    return slot < static_cast<int32_t>(layout.size()) ? layout[slot] : 'i';
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

// ScanOrder follows the scan events of one client as its sink sees them on entry: a StartScan while a scan is
// reported running (its StopScan not yet seen), a StopScan without a running scan, or an Advertisement between
// a StopScan and the next StartScan is a crossing; an Advertisement once `stopped` is set (StopScanning has
// returned on the application thread) is a late one, counted when the sink returns.
struct ScanOrder {
  std::mutex mutex;
  bool running = false;
  std::vector<std::string> crossings;
  std::atomic<bool> stopped{false};
  std::atomic<int> advertisements{0};
  std::atomic<int> late{0};

  void Enter(int32_t id) {
    std::lock_guard lock(mutex);
    const bool was_running = running;
    if (id == VELMORABLE_EVENT_START_SCAN) running = true;
    if (id == VELMORABLE_EVENT_STOP_SCAN) running = false;
    const bool crossing = id == VELMORABLE_EVENT_START_SCAN ? was_running : id == VELMORABLE_EVENT_STOP_SCAN ? !was_running
                          : id == VELMORABLE_EVENT_ADVERTISEMENT                                          ? !was_running
                                                                                                         : false;
    if (crossing && crossings.size() < 5) {
      crossings.push_back(std::to_string(id) + (was_running ? " while scanning" : " while stopped"));
    }
  }
  void Leave(int32_t id) {
    if (id == VELMORABLE_EVENT_ADVERTISEMENT && stopped.load()) ++late;
  }
  std::string Crossings() {
    std::lock_guard lock(mutex);
    std::string all;
    for (const std::string& crossing : crossings) all += crossing + "; ";
    return all;
  }
};

// Exported-interface calls on a handle, for tests and for sinks acting inside an event.
inline int Do(VelmoraBLE_BLEClient* handle, int32_t method, const char* text = nullptr) {
  intptr_t params[4] = {reinterpret_cast<intptr_t>(text), 0, 0, 0};
  int32_t cbparams[4] = {0, 0, 0, 0};
  return VelmoraBLE_BLEClient_Do(handle, method, 1, params, cbparams);
}

// Config runs a setting text and gives its reply.
inline int Config(VelmoraBLE_BLEClient* handle, const char* text, std::string* reply = nullptr) {
  intptr_t params[2] = {reinterpret_cast<intptr_t>(text), 0};
  int32_t cbparams[2] = {0, 0};
  const int rc = VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_CONFIG, 1, params, cbparams);
  if (reply != nullptr) *reply = params[1] != 0 ? reinterpret_cast<const char*>(params[1]) : "";
  return rc;
}

inline std::string LastError(VelmoraBLE_BLEClient* handle) { return VelmoraBLE_BLEClient_GetLastError(handle); }

// RadioFixture gives each test a fresh radio with `EventThreads` event threads and no client: the test makes
// its clients itself (and destroys them before the radio goes).
template <int EventThreads>
class RadioFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    component::SocketBase::StaticInit();
    radio_ = std::make_shared<SimRadio>(EventThreads);
    bt::InstallProvider(radio_);
  }
  void TearDown() override {
    bt::InstallProvider(nullptr);
    radio_.reset();
    component::SocketBase::StaticDestroy();
  }

  std::shared_ptr<SimRadio> radio_;
};

// ScanFixture gives each test a fresh radio and client; the client is destroyed before the radio.
class ScanFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    component::SocketBase::StaticInit();
    radio_ = std::make_shared<SimRadio>(EventThreads());
    bt::InstallProvider(radio_);
    handle_ = VelmoraBLE_BLEClient_Create(&Sink::Call, &sink_, 0);
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) VelmoraBLE_BLEClient_Destroy(handle_);
    bt::InstallProvider(nullptr);
    radio_.reset();
    component::SocketBase::StaticDestroy();
  }
  virtual int EventThreads() const { return 1; }

  int Do(int32_t method, const char* text = nullptr) { return testing::Do(handle_, method, text); }
  int Config(const char* text, std::string* reply = nullptr) { return testing::Config(handle_, text, reply); }
  std::string LastError() { return testing::LastError(handle_); }
  int32_t LastCode() { return VelmoraBLE_BLEClient_GetLastErrorCode(handle_); }
  bool ScanningProperty() { return VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SCANNING, 0) != 0; }
  int StartScanning(const char* filter = "") { return Do(VELMORABLE_METHOD_START_SCANNING, filter); }
  int StopScanning() { return Do(VELMORABLE_METHOD_STOP_SCANNING); }
  // Call runs a method with several slots; sizes default to 0.
  int Call(int32_t method, std::vector<intptr_t> params, std::vector<int32_t> sizes = {}) {
    sizes.resize(params.size(), 0);
    return VelmoraBLE_BLEClient_Do(handle_, method, static_cast<int32_t>(params.size()), params.data(), sizes.data());
  }
  static intptr_t Text(const char* text) { return reinterpret_cast<intptr_t>(text); }
  BLEClientEngine& Engine() { return reinterpret_cast<BLEClient*>(handle_)->Engine(); }

  // AddAdvertiser adds a peripheral sending one advertisement made of raw AD bytes.
  void AddAdvertiser(uint64_t address, const std::vector<uint8_t>& ad_bytes, int16_t rssi = -60,
                     bt::BluetoothLEAdvertisementType type = bt::BluetoothLEAdvertisementType::ConnectableUndirected,
                     std::u16string name = u"") {
    SimPeripheral peripheral;
    peripheral.address = address;
    peripheral.name = std::move(name);
    SimAdvert advert;
    advert.type = type;
    advert.rssi = rssi;
    ASSERT_TRUE(bt::sim::ParseAdvertisingData(ad_bytes, &advert.sections));
    peripheral.adverts.push_back(std::move(advert));
    radio_->AddPeripheral(std::move(peripheral));
  }
  // Emit sends the advertisement of address and waits until the radio has delivered it.
  void Emit(uint64_t address) {
    ASSERT_TRUE(radio_->EmitAdvertisement(address));
    radio_->WaitIdle();
  }

  std::shared_ptr<SimRadio> radio_;
  Sink sink_;
  VelmoraBLE_BLEClient* handle_ = nullptr;
};

// Builders of simulated GATT objects (UUIDs are 16-bit short forms on the Bluetooth base).
inline bt::sim::SimCharacteristic Characteristic(uint16_t handle, uint16_t uuid, uint32_t properties = 0x02) {
  bt::sim::SimCharacteristic characteristic;
  characteristic.handle = handle;
  characteristic.uuid = bt::BluetoothBaseUuid(uuid);
  characteristic.properties = properties;
  characteristic.value = {0x2A};
  return characteristic;
}
inline bt::sim::SimService Service(uint16_t handle, uint16_t uuid, bool primary = true) {
  bt::sim::SimService service;
  service.handle = handle;
  service.uuid = bt::BluetoothBaseUuid(uuid);
  service.primary = primary;
  return service;
}

// Hex turns "02 01 06" into bytes.
inline std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits.push_back(c);
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

}  // namespace velmora::ble::testing
