// BLEClientEngine: the object that does the Bluetooth work of a BLEClient. It is a SocketBase (notification
// window, wait step, Timeout) and adds the BLE settings with their configuration keys, the event bridge that
// platform callbacks come through, the event firers, and the BLE operations that the methods call.
//
// Threads: the application's thread runs the operations and Config. Platform threads fire events through
// the bridge (BLEEvent::Enter first); the int settings are atomics so that those threads may read them, and
// state that both sides write (event error, advertisement context) is guarded by StateMutex().
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "ble/ble_event.h"
#include "component/socket_base.h"
#include "core/buffer.h"

namespace velmora::ble {

class BLEClient;

// Result codes of the engine's own checks.
constexpr int kInvalidArgument = 202;
constexpr int kNotInAdvertisementEvent = 602;
// kNotAvailable is the code of an operation that this build does not carry out yet.
constexpr int kNotAvailable = 9998;

class BLEClientEngine : public component::SocketBase {
 public:
  // The default of every int setting, as Init sets it.
  struct Settings {
    std::atomic<int32_t> auto_discover_characteristics{0};
    std::atomic<int32_t> auto_discover_descriptors{0};
    std::atomic<int32_t> auto_discover_included_services{0};
    std::atomic<int32_t> include_rediscovered{1};
    std::atomic<int32_t> prefer_indications{0};
    std::atomic<int32_t> active_scanning{0};
    std::atomic<int32_t> not_connected{1};
    std::atomic<int32_t> query_additional_device_info{0};
    std::atomic<int32_t> log_level{1};
    std::atomic<int32_t> scan_started_timeout{2};
    std::atomic<int32_t> pairing_mode{0};
  };

  explicit BLEClientEngine(BLEClient* owner);
  ~BLEClientEngine() override;

  // Init starts the engine on the creating thread: the socket layer's Init, a new event bridge (an older
  // one is detached), empty selection, the setting defaults and Timeout 60 s. Returns 1.
  int Init();

  // Config answers the BLE keys and hands every other name (and a query-only key given a value) to
  // SocketBase::Config. Codes: 0, 602 for an advertisement key outside the Advertisement event, 202 for a
  // bad index, kNotAvailable for work this build does not carry out, or the code of the base chain.
  int Config(const component::ConfigSettingParts& setting, const char** reply) override;

  // SetTimeoutSeconds stores Timeout (negative counts as 0, above 2147483 as 2147483) and clears the
  // running deadline when asked. Returns 0. GetTimeoutSeconds reads it back in the unit it was given in.
  int SetTimeoutSeconds(int32_t seconds, bool clear_deadline);
  int32_t GetTimeoutSeconds() const;

  // RequireAdvertisementContext returns 0 while the calling thread delivers an Advertisement event, else
  // 602 with the text naming key.
  int RequireAdvertisementContext(const char* key);
  // CheckManufacturerIndex returns 0 when 0 <= index < count, else 202 with the text naming the index and key.
  int CheckManufacturerIndex(int32_t index, int32_t count, const char* key);
  // Begin/EndAdvertisement mark the calling thread as delivering an Advertisement event of advertisement
  // (an opaque platform object, kept by the caller until EndAdvertisement).
  void BeginAdvertisement(const void* advertisement);
  void EndAdvertisement();

  // NotAvailable sets the text "<what> is not available in this build." and returns kNotAvailable.
  int NotAvailable(const char* what);

  // ---- Event firers: each passes the event to the owning client, with null texts as "" and byte values
  // followed by a zero byte. Always 0: an operation never sees what the sink returned. A platform thread
  // calls them only between BLEEvent::Enter and Leave.
  virtual int FireAdvertisement(const char* server_id, const char* name, int32_t rssi, int32_t tx_power,
                                const char* service_uuids, const char* service_data_uuids,
                                const char* solicited_uuids, int32_t company_id, const uint8_t* data,
                                int32_t data_len, int32_t connectable, int32_t scan_response);
  virtual int FireConnected(int32_t status, const char* description);
  virtual int FireDisconnected(int32_t status, const char* description);
  virtual int FireDiscovered(int32_t kind, const char* service_id, const char* characteristic_id,
                             const char* descriptor_id, const char* uuid, const char* description);
  virtual int FireError(int32_t code, const char* description);
  virtual int FireLog(int32_t level, const char* message, const char* log_type);
  // FirePairingRequest offers the PIN in pin to the sink and leaves in pin the PIN the sink gave (empty when
  // it gave none) and in *accept its answer.
  virtual int FirePairingRequest(const char* server_id, int32_t kind, core::Buffer* pin, int32_t* accept);
  virtual int FireServerUpdate(const char* name, const char* changed_services);
  virtual int FireStartScan(const char* service_uuids);
  virtual int FireStopScan(int32_t code, const char* description);
  virtual int FireSubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                             const char* description);
  virtual int FireUnsubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                               const char* description);
  virtual int FireValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                        const char* uuid, const char* description, const uint8_t* value, int32_t value_len);
  virtual int FireWriteResponse(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                                const char* uuid, const char* description);

  // ---- BLE operations called by the methods. Each returns its result code with the last error text set
  // for a failure. Out pointers stay valid until the next operation of the engine.
  int GetCccdState(int32_t characteristic_index, int32_t* state);
  int Connect(const char* server_id);
  int Disconnect();
  int Discover(const char* service_uuids, const char* characteristic_uuids, int32_t include_descriptors,
               const char* service_id);
  int DiscoverCharacteristics(const char* service_id, const char* characteristic_uuids);
  int DiscoverDescriptors(const char* service_id, const char* characteristic_id);
  int DiscoverServices(const char* service_uuids, const char* service_id);
  int PostValue(const char* service_id, const char* characteristic_id, const uint8_t* value, int32_t length);
  int ReadCharacteristicCached(int32_t characteristic_index, const uint8_t** value, int32_t* length);
  int ReadDescriptorCached(int32_t descriptor_index, const uint8_t** value, int32_t* length);
  int ReadValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                const uint8_t** value, int32_t* length);
  int Select(const char* service_id, const char* characteristic_id);
  int StartScanning(const char* service_uuids);
  int StopScanning();
  int Subscribe(const char* service_id, const char* characteristic_id);
  int Unsubscribe(const char* service_id, const char* characteristic_id);
  int WriteValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                 const uint8_t* value, int32_t length);
  bool IsScanning() const;

  BLEClient* Owner() const { return owner_; }
  // Bridge is the event bridge that platform callbacks hold; null before Init.
  const std::shared_ptr<BLEEvent>& Bridge() const { return bridge_; }
  Settings& BleSettings() { return settings_; }
  std::mutex& StateMutex() { return state_mutex_; }
  const core::Buffer& SelectedServiceId() const { return selected_service_id_; }
  const core::Buffer& SelectedCharacteristicId() const { return selected_characteristic_id_; }

  // The last error text of earlier calls while the running method keeps it aside (see BLEClient); null
  // when none is kept. VisibleLastErrorText is the text the application sees meanwhile.
  void SetEarlierErrorText(const core::BufferCore* text) { earlier_error_text_ = text; }
  const core::BufferCore* EarlierErrorText() const { return earlier_error_text_; }
  const char* VisibleLastErrorText() const;

 private:
  int ConfigAdvertisementKey(int key, const component::ConfigSettingParts& setting, const char** reply);
  int ConfigMaxPduSize(const char** reply);
  int ResetSettings();

  BLEClient* const owner_;
  std::shared_ptr<BLEEvent> bridge_;
  // The advertisement being delivered and the thread delivering it; guarded by state_mutex_.
  const void* current_advertisement_ = nullptr;
  std::thread::id advertisement_thread_;
  core::Buffer selected_service_id_;
  core::Buffer selected_characteristic_id_;
  Settings settings_;
  std::mutex state_mutex_;
  const core::BufferCore* earlier_error_text_ = nullptr;
};

}  // namespace velmora::ble
