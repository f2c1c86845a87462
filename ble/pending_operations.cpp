// The BLE operations whose platform work this build does not carry out yet. Each answers with
// kNotAvailable and a text naming the operation, so that a caller gets a recorded failure rather than a
// silent success; out values are set to their empty forms.
#include "ble/ble_client_engine.h"

namespace velmora::ble {

namespace {

const uint8_t kNoBytes[1] = {0};

int NoValue(const uint8_t** value, int32_t* length) {
  if (value != nullptr) *value = kNoBytes;
  if (length != nullptr) *length = 0;
  return 0;
}

}  // namespace

int BLEClientEngine::GetCccdState(int32_t, int32_t* state) {
  if (state != nullptr) *state = 0;
  return NotAvailable("QuerySubscriptionState");
}

int BLEClientEngine::Connect(const char*) { return NotAvailable("Connect"); }

int BLEClientEngine::Disconnect() { return NotAvailable("Disconnect"); }

int BLEClientEngine::Discover(const char*, const char*, int32_t, const char*) { return NotAvailable("Discover"); }

int BLEClientEngine::DiscoverCharacteristics(const char*, const char*) {
  return NotAvailable("DiscoverCharacteristics");
}

int BLEClientEngine::DiscoverDescriptors(const char*, const char*) { return NotAvailable("DiscoverDescriptors"); }

int BLEClientEngine::DiscoverServices(const char*, const char*) { return NotAvailable("DiscoverServices"); }

int BLEClientEngine::PostValue(const char*, const char*, const uint8_t*, int32_t) { return NotAvailable("PostValue"); }

int BLEClientEngine::ReadCharacteristicCached(int32_t, const uint8_t** value, int32_t* length) {
  (void)NoValue(value, length);
  return NotAvailable("ReadCharacteristicValueAt");
}

int BLEClientEngine::ReadDescriptorCached(int32_t, const uint8_t** value, int32_t* length) {
  (void)NoValue(value, length);
  return NotAvailable("ReadDescriptorValueAt");
}

int BLEClientEngine::ReadValue(const char*, const char*, const char*, const uint8_t** value, int32_t* length) {
  (void)NoValue(value, length);
  return NotAvailable("ReadValue");
}

int BLEClientEngine::Select(const char*, const char*) { return NotAvailable("Select"); }

int BLEClientEngine::StartScanning(const char*) { return NotAvailable("StartScanning"); }

int BLEClientEngine::StopScanning() { return NotAvailable("StopScanning"); }

int BLEClientEngine::Subscribe(const char*, const char*) { return NotAvailable("Subscribe"); }

int BLEClientEngine::Unsubscribe(const char*, const char*) { return NotAvailable("Unsubscribe"); }

int BLEClientEngine::WriteValue(const char*, const char*, const char*, const uint8_t*, int32_t) {
  return NotAvailable("WriteValue");
}

bool BLEClientEngine::IsScanning() const { return false; }

int BLEClientEngine::ConfigAdvertisementKey(int, const component::ConfigSettingParts& setting, const char** reply) {
  if (reply != nullptr) *reply = core::kEmptyText;
  return NotAvailable(setting.Name().Data());
}

int BLEClientEngine::ConfigMaxPduSize(const char** reply) {
  // Without a service list no selected service is found: the reply stays empty.
  return ConfigTextReply("", reply);
}

}  // namespace velmora::ble
