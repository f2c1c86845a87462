// The BLE operations whose platform work this build does not carry out yet. Each answers with
// kNotAvailable and a text naming the operation, so that a caller gets a recorded failure rather than a
// silent success; out values are set to their empty forms.
#include "ble/ble_client_engine.h"

namespace velmora::ble {

int BLEClientEngine::ConfigMaxPduSize(const char** reply) {
  // Without a service list no selected service is found: the reply stays empty.
  return ConfigTextReply("", reply);
}

}  // namespace velmora::ble
