// Shared by the tests of clients under threads: a client owned for the length of a test, a bounded poll, and
// a busy peripheral that advertises, notifies and pairs with a PIN.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/ble/scan_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {

inline constexpr uint16_t kMeasurementHandle = 0x0003;
inline constexpr char kPin[] = "123456";
// Flags, manufacturer data of company 0x1234 (bytes AB CD), service data of 0x180F (byte 0x64).
inline constexpr char kAdvertisement[] = "02 01 06 05 FF 34 12 AB CD 04 16 0F 18 64";

// Id is the server id of address: 12 hex digits.
inline std::string Id(uint64_t address) {
  char text[16];
  std::snprintf(text, sizeof(text), "%012llX", static_cast<unsigned long long>(address));
  return text;
}

// BusyPeripheral advertises every millisecond, notifies its measurement every millisecond while subscribed,
// and asks for a PIN when paired.
inline SimPeripheral BusyPeripheral(uint64_t address) {
  SimPeripheral peripheral;
  peripheral.address = address;
  peripheral.name = u"Busy";
  SimAdvert advert;
  EXPECT_TRUE(bt::sim::ParseAdvertisingData(Hex(kAdvertisement), &advert.sections));
  peripheral.adverts.push_back(advert);
  peripheral.advertising_interval_ms = 1;
  peripheral.pairing_kind = bt::DevicePairingKinds::ProvidePin;
  peripheral.pin = u"123456";
  bt::sim::SimService heart_rate = Service(0x0001, 0x180D);
  bt::sim::SimCharacteristic measurement = Characteristic(kMeasurementHandle, 0x2A37, 0x10);
  measurement.descriptors.push_back({0x0004, bt::BluetoothBaseUuid(0x2902), {0, 0}});
  heart_rate.characteristics.push_back(measurement);
  peripheral.gatt.services.push_back(heart_rate);
  peripheral.gatt.services.push_back(Service(0x0010, 0x180F));
  peripheral.periodic_values.push_back({kMeasurementHandle, 1, false, {{0x06, 0x48}, {0x06, 0x49}}});
  return peripheral;
}

// AnswerPin answers a PairingRequest event's params with kPin and accepts.
inline void AnswerPin(intptr_t* params) {
  VelmoraBLE_EvtStr(reinterpret_cast<VelmoraBLE_EventString*>(params[2]), VELMORABLE_EVTSTR_SET_BY_COPY, kPin,
                    VELMORABLE_EVTSTR_NARROW);
  params[3] = 1;
}

// Eventually polls done every millisecond until it holds (true) or ten seconds have passed (false).
inline bool Eventually(const std::function<bool()>& done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Client owns a client for a test and destroys it on every way out of the test, an ASSERT included. Declared
// after the sink and the state that the sink reaches, it goes before them, so no event finds them gone.
class Client {
 public:
  Client(VelmoraBLE_Sink sink, void* context, uint32_t options = 0)
      : handle_(VelmoraBLE_BLEClient_Create(sink, context, options)) {}
  ~Client() { Destroy(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  operator VelmoraBLE_BLEClient*() const { return handle_; }
  VelmoraBLE_BLEClient* get() const { return handle_; }
  void Destroy() {
    if (handle_ != nullptr) VelmoraBLE_BLEClient_Destroy(handle_);
    handle_ = nullptr;
  }
  // Forget lets go of a client that a sink destroyed: it is not destroyed again.
  void Forget() { handle_ = nullptr; }

 private:
  VelmoraBLE_BLEClient* handle_;
};

}  // namespace velmora::ble::testing
