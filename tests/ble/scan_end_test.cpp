// A scan's end read while the platform aborts the scan: the application's wait for the end of a scan
// (StopScanning, Connect's stop, StartScanning behind a stop) reads the platform's report of the run's end and the
// watcher's status one after the other, and the platform may abort the run between the two reads.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kServer = 0xD0C0B0A00001;

// AbortsAfterALook is the simulated radio whose watchers let the test place the platform's abort of a run at
// one moment: right after the client has read the watcher's report of the last run's end (LastStopped) and
// before it reads anything else, as the platform's own thread may end the run at any moment between two reads.
class AbortsAfterALook final : public bt::BluetoothPlatform {
 public:
  explicit AbortsAfterALook(std::shared_ptr<SimRadio> radio) : radio_(std::move(radio)) {}
  // Arm makes the radio abort its scans right after the (skip + 1)-th read of a watcher's LastStopped from now.
  void Arm(int skip) {
    skip_ = skip;
    armed = true;
  }
  std::atomic<bool> armed{false};
  std::atomic<bool> stop_with_error{false};  // end the run Stopped with the error instead of Aborted
  std::atomic<int> skip_{0};
  std::atomic<int> aborted{0};

  class Watcher final : public bt::BluetoothLEAdvertisementWatcher {
   public:
    Watcher(AbortsAfterALook& owner, std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> inner)
        : owner_(owner), inner_(std::move(inner)) {}
    bt::BluetoothLEAdvertisementWatcherStatus Status() override { return inner_->Status(); }
    void SetAdvertisementFilter(std::shared_ptr<bt::BluetoothLEAdvertisementFilter> f) override {
      inner_->SetAdvertisementFilter(std::move(f));
    }
    void SetScanningMode(bt::BluetoothLEScanningMode mode) override { inner_->SetScanningMode(mode); }
    void Start() override { inner_->Start(); }
    void Stop() override { inner_->Stop(); }
    void StopRun(uint64_t run) override { inner_->StopRun(run); }
    uint64_t Run() override { return inner_->Run(); }
    std::shared_ptr<bt::BluetoothLEAdvertisementWatcherStoppedEventArgs> LastStopped() override {
      auto report = inner_->LastStopped();
      if (owner_.armed.load() && owner_.skip_.fetch_sub(1) == 0 && owner_.armed.exchange(false)) {
        if (owner_.stop_with_error.load()) {
          owner_.radio_->StopWatchersWithError(bt::BluetoothError::RadioNotAvailable);
        } else {
          owner_.radio_->AbortWatchers(bt::BluetoothError::RadioNotAvailable);
        }
        ++owner_.aborted;
      }
      return report;
    }
    bt::EventToken AddReceived(bt::TypedEventHandler<bt::BluetoothLEAdvertisementWatcher,
                                                     bt::BluetoothLEAdvertisementReceivedEventArgs> h) override {
      return inner_->AddReceived(std::move(h));
    }
    void RemoveReceived(bt::EventToken token) override { inner_->RemoveReceived(token); }
    bt::EventToken AddStopped(bt::TypedEventHandler<bt::BluetoothLEAdvertisementWatcher,
                                                    bt::BluetoothLEAdvertisementWatcherStoppedEventArgs> h) override {
      return inner_->AddStopped(std::move(h));
    }
    void RemoveStopped(bt::EventToken token) override { inner_->RemoveStopped(token); }

   private:
    AbortsAfterALook& owner_;
    std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> inner_;
  };

  bt::AsyncOp<bt::BluetoothAdapter> GetDefaultAdapterAsync() override { return radio_->GetDefaultAdapterAsync(); }
  bt::AsyncOp<bt::BluetoothLEDevice> FromBluetoothAddressAsync(uint64_t a) override {
    return radio_->FromBluetoothAddressAsync(a);
  }
  std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> CreateWatcher() override {
    return std::make_shared<Watcher>(*this, radio_->CreateWatcher());
  }
  std::shared_ptr<bt::BluetoothLEAdvertisementFilter> CreateFilter() override { return radio_->CreateFilter(); }
  std::shared_ptr<bt::BluetoothLEAdvertisement> CreateAdvertisement() override { return radio_->CreateAdvertisement(); }
  bt::Bytes CreateBuffer(std::span<const uint8_t> bytes) override { return radio_->CreateBuffer(bytes); }
  std::optional<uint32_t> TryGetShortId(const bt::Guid& uuid) override { return radio_->TryGetShortId(uuid); }
  uint8_t AdvertisementDataTypeValue(bt::BluetoothLEAdvertisementDataType t) override {
    return radio_->AdvertisementDataTypeValue(t);
  }
  uint8_t GattProtocolErrorValue(bt::GattProtocolError e) override { return radio_->GattProtocolErrorValue(e); }
  uint8_t GattPresentationFormatTypeValue(bt::GattPresentationFormatType t) override {
    return radio_->GattPresentationFormatTypeValue(t);
  }
  bt::HString GuidToString(const bt::Guid& uuid) override { return radio_->GuidToString(uuid); }
  bt::HString EnumText(bt::BluetoothError v) override { return radio_->EnumText(v); }
  bt::HString EnumText(bt::BluetoothConnectionStatus v) override { return radio_->EnumText(v); }
  bt::HString EnumText(bt::GattCommunicationStatus v) override { return radio_->EnumText(v); }
  void PostEvent(std::function<void()> task) override { radio_->PostEvent(std::move(task)); }

 private:
  std::shared_ptr<SimRadio> radio_;
};

// HoldEventThreads keeps the radio's event threads busy for a while, so that the platform's own report of the
// run's end reaches the client only after the application's thread has read the platform meanwhile.
void HoldEventThreads(SimRadio& radio, int threads, int ms) {
  for (int i = 0; i < threads; ++i) {
    radio.PostEvent([ms] { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); });
  }
}

// The platform aborts the scan (its radio went away) while the application's thread waits for the scan's end,
// just after the wait has read the platform's report of the last run's end and before it reads the watcher's
// status: StopScanning, Connect's stop, and StartScanning behind a stop that its Advertisement sink asked for.
// The scan's end must reach the sink as the platform reported it: Error 603 with the platform's reason and
// StopScan 603 "RadioNotAvailable".
class ScanEndReadMidAbort : public RadioFixture<4> {};

TEST_F(ScanEndReadMidAbort, ReachesTheSinkAsThePlatformReportedIt) {
  const uint64_t server = kServer;
  radio_->AddPeripheral(BusyPeripheral(server));
  auto platform = std::make_shared<AbortsAfterALook>(radio_);
  bt::InstallProvider(platform);
  enum Way { kStopScanning, kConnect, kStartScanning };
  for (const int way : {kStopScanning, kConnect, kStartScanning}) {
    SCOPED_TRACE(way == kStopScanning ? "StopScanning" : way == kConnect ? "Connect" : "StartScanning");
    radio_->SetWatcherTiming(0, 0);
    Sink sink;
    std::atomic<bool> ask_stop{false};
    std::atomic<bool> stop_asked{false};
    Client a(&Sink::Call, &sink);
    ASSERT_NE(a.get(), nullptr);
    sink.inside = [&](const Event& event) {
      if (event.id != VELMORABLE_EVENT_ADVERTISEMENT || !ask_stop.exchange(false)) return;
      (void)Do(a, VELMORABLE_METHOD_STOP_SCANNING);
      stop_asked = true;
    };
    ASSERT_EQ(VelmoraBLE_BLEClient_Set(a, VELMORABLE_PROP_TIMEOUT, 0, 5), 0);
    ASSERT_EQ(Do(a, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(a);
    ASSERT_TRUE(sink.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
    // The platform takes its time to stop, so that the wait looks at it while it is stopping.
    radio_->SetWatcherTiming(0, 300);
    int result = -1;
    switch (way) {
      case kStopScanning:
        HoldEventThreads(*radio_, 4, 200);
        platform->Arm(0);
        result = Do(a, VELMORABLE_METHOD_STOP_SCANNING);
        break;
      case kConnect:
        HoldEventThreads(*radio_, 4, 200);
        platform->Arm(0);
        result = Do(a, VELMORABLE_METHOD_CONNECT, Id(server).c_str());
        break;
      case kStartScanning:
        ask_stop = true;
        ASSERT_TRUE(Eventually([&] { return stop_asked.load(); }));
        // StartScanning first looks whether the platform ended the running scan, then waits for its end.
        HoldEventThreads(*radio_, 4, 200);
        platform->Arm(1);
        result = Do(a, VELMORABLE_METHOD_START_SCANNING, "");
        break;
    }
    EXPECT_EQ(result, 0) << LastError(a);
    radio_->WaitIdle();
    EXPECT_EQ(platform->aborted.exchange(0), 1);
    std::vector<Event> ends;
    for (const Event& event : sink.Events()) {
      if (event.id == VELMORABLE_EVENT_ERROR || event.id == VELMORABLE_EVENT_STOP_SCAN) ends.push_back(event);
    }
    ASSERT_GE(ends.size(), 2u);
    EXPECT_EQ(ends[0].id, VELMORABLE_EVENT_ERROR);
    EXPECT_EQ(ends[0].Int(0), 603);
    EXPECT_EQ(ends[0].Text(1), "Scanning was aborted for the following reason: RadioNotAvailable");
    EXPECT_EQ(ends[1].id, VELMORABLE_EVENT_STOP_SCAN);
    EXPECT_EQ(ends[1].Int(0), 603);
    EXPECT_EQ(ends[1].Text(1), "RadioNotAvailable");
    radio_->SetWatcherTiming(0, 0);
    (void)Do(a, VELMORABLE_METHOD_STOP_SCANNING);
    (void)Do(a, VELMORABLE_METHOD_DISCONNECT);
    a.Destroy();
    radio_->WaitIdle();
  }
  bt::InstallProvider(radio_);
}

// The platform ends the run Stopped with an error (not aborted) at the same moment: the StopScan must carry
// that error, 603 "RadioNotAvailable", after "Scanning stopped.".
TEST_F(ScanEndReadMidAbort, StoppedWithAnErrorReachesTheSinkAsReported) {
  auto platform = std::make_shared<AbortsAfterALook>(radio_);
  platform->stop_with_error = true;
  bt::InstallProvider(platform);
  Sink sink;
  Client a(&Sink::Call, &sink);
  ASSERT_EQ(Do(a, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(a);
  ASSERT_TRUE(sink.WaitFor(VELMORABLE_EVENT_START_SCAN));
  radio_->SetWatcherTiming(0, 300);
  HoldEventThreads(*radio_, 4, 200);
  platform->Arm(0);
  EXPECT_EQ(Do(a, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(a);
  radio_->WaitIdle();
  const std::vector<Event> stops = sink.Of(VELMORABLE_EVENT_STOP_SCAN);
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_EQ(stops[0].Int(0), 603);
  EXPECT_EQ(stops[0].Text(1), "RadioNotAvailable");
  a.Destroy();
  bt::InstallProvider(radio_);
}

}  // namespace
}  // namespace velmora::ble::testing
