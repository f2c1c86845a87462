// BLEEventSink: the events of a client, in event-id order, as one interface. The engine implements it by
// passing each event on to its owner, the client, with null texts as "" (BLEClientEngine::Fire*); the
// client implements it by packing the values into the application's sink's parameter arrays
// (BLEClient::Fire*). Both fire the same events in the same order.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::ble {

class BLEEventSink {
 public:
  // BeforeEvent runs before each event with its code page and its first two texts; nothing by default.
  virtual void BeforeEvent(uint32_t code_page, const char* first, const char* second) {
    (void)code_page;
    (void)first;
    (void)second;
  }
  // The events. A firer returns the sink's result, or the code of the failure reported for it.
  virtual int FireAdvertisement(const char* server_id, const char* name, int32_t rssi, int32_t tx_power,
                                const char* service_uuids, const char* service_data_uuids,
                                const char* solicited_uuids, int32_t company_id, const uint8_t* data,
                                int32_t data_len, int32_t connectable, int32_t scan_response) = 0;
  virtual int FireConnected(int32_t status, const char* description) = 0;
  virtual int FireDisconnected(int32_t status, const char* description) = 0;
  virtual int FireDiscovered(int32_t kind, const char* service_id, const char* characteristic_id,
                             const char* descriptor_id, const char* uuid, const char* description) = 0;
  virtual int FireError(int32_t code, const char* description) = 0;
  virtual int FireLog(int32_t level, const char* message, const char* log_type) = 0;
  // FirePairingRequest hands the PIN to the sink in an in/out record and copies back what the sink left
  // there into pin (emptied when it left nothing), and the accept flag into *accept.
  virtual int FirePairingRequest(const char* server_id, int32_t kind, core::Buffer* pin, int32_t* accept) = 0;
  virtual int FireServerUpdate(const char* name, const char* changed_services) = 0;
  virtual int FireStartScan(const char* service_uuids) = 0;
  virtual int FireStopScan(int32_t code, const char* description) = 0;
  virtual int FireSubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                             const char* description) = 0;
  virtual int FireUnsubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                               const char* description) = 0;
  virtual int FireValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                        const char* uuid, const char* description, const uint8_t* value, int32_t value_len) = 0;
  virtual int FireWriteResponse(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                                const char* uuid, const char* description) = 0;

 protected:
  BLEEventSink() = default;
  ~BLEEventSink() = default;
  BLEEventSink(const BLEEventSink&) = default;
  BLEEventSink& operator=(const BLEEventSink&) = default;
};

}  // namespace velmora::ble
