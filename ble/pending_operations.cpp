// The BLE operations whose platform work this build does not carry out yet. Each answers with
// kNotAvailable and a text naming the operation, so that a caller gets a recorded failure rather than a
// silent success; out values are set to their empty forms.
#include "ble/ble_client_engine.h"

namespace velmora::ble {

// The user description write comes with the value writes.
int GattCharacteristicRecord::SetUserDescription(const char*) {
  return engine != nullptr ? engine->NotAvailable("CharacteristicUserDescription") : kNotAvailable;
}

// The GATT operations demand a connection before anything else.

int BLEClientEngine::PostValue(const char*, const char*, const uint8_t*, int32_t) {
  const int rc = RequireConnection();
  return rc != 0 ? rc : NotAvailable("PostValue");
}

int BLEClientEngine::Subscribe(const char*, const char*) {
  const int rc = RequireConnection();
  return rc != 0 ? rc : NotAvailable("Subscribe");
}

int BLEClientEngine::Unsubscribe(const char*, const char*) {
  const int rc = RequireConnection();
  return rc != 0 ? rc : NotAvailable("Unsubscribe");
}

int BLEClientEngine::WriteValue(const char*, const char*, const char*, const uint8_t*, int32_t) {
  const int rc = RequireConnection();
  return rc != 0 ? rc : NotAvailable("WriteValue");
}

int BLEClientEngine::ConfigMaxPduSize(const char** reply) {
  // Without a service list no selected service is found: the reply stays empty.
  return ConfigTextReply("", reply);
}

}  // namespace velmora::ble
