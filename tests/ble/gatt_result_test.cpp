// Mapping GATT outcomes to result codes, last error texts and the status Log line, row by row, with the
// simulated radio supplying the platform's protocol error values and status names.
#include "ble/gatt_result.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ble/ble_client_engine.h"
#include "tests/ble/gatt_tree_test_util.h"
#include "component/socket_base.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "platform/text.h"

namespace velmora::ble {
namespace {

namespace sim = platform::bluetooth::sim;
using Status = bt::GattCommunicationStatus;

struct LogLine {
  int32_t level;
  std::string message;
  std::string type;
};

// LoggingEngine is an engine without a client that keeps the Log events it fires.
class LoggingEngine : public testing::ClientlessEngine {
 public:
  int FireLog(int32_t level, const char* message, const char* log_type) override {
    logs.push_back({level, message, log_type});
    return 0;
  }
  std::vector<LogLine> logs;
};

class GattResultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    component::SocketBase::StaticInit();
    radio_ = std::make_shared<sim::SimRadio>();
    bt::InstallProvider(radio_);
    engine_ = std::make_unique<LoggingEngine>();
  }
  void TearDown() override {
    engine_.reset();
    bt::InstallProvider(nullptr);
    radio_.reset();
    component::SocketBase::StaticDestroy();
  }

  // Map reports (status, byte) with the last error text preset to "earlier".
  int Map(Status status, uint8_t byte) {
    (void)engine_->SetErrorText(0, "earlier");
    return ReportGattResult(*engine_, status, byte, kGattLogRead);
  }
  std::string Text() const { return engine_->LastErrorText().Data(); }

  std::shared_ptr<sim::SimRadio> radio_;
  std::unique_ptr<LoggingEngine> engine_;
};

std::string Printf(const char* format, int a, int b) {
  char text[256];
  platform::Format(text, sizeof text, format, a, b);
  return text;
}

TEST_F(GattResultTest, AttErrorsGive701To717WithTheByteInBothBrackets) {
  const char* const reasons[] = {
      "Invalid handle.", "Read not permitted.", "Write not permitted.", "Invalid PDU.",
      "Insufficient authentication.", "Request not supported.", "Invalid offset.", "Insufficient authorization.",
      "Prepare queue full.", "Attribute not found.", "Attribute not long.", "Insufficient encryption key size.",
      "Invalid attribute value length.", "Unlikely error.", "Insufficient encryption.", "Unsupported group type.",
      "Insufficient resources.",
  };
  for (int byte = 0x01; byte <= 0x11; ++byte) {
    SCOPED_TRACE(byte);
    EXPECT_EQ(Map(Status::ProtocolError, static_cast<uint8_t>(byte)), 700 + byte);
    EXPECT_EQ(Text(), Printf("Protocol error returned during communication: [%d] {%d}. ", byte, byte) +
                          reasons[byte - 1]);
  }
}

TEST_F(GattResultTest, AttErrorsAreMatchedAgainstThePlatformValuesInOrder) {
  radio_->ClearJournal();
  EXPECT_EQ(Map(Status::ProtocolError, 0x04), 704);
  std::vector<int64_t> asked;
  for (const sim::SimCall& call : radio_->Journal()) {
    if (std::string(call.api) == "GattProtocolError.Statics") asked.push_back(call.mode);
  }
  EXPECT_EQ(asked, (std::vector<int64_t>{1, 2, 3, 4}));

  radio_->FailCall("GattProtocolError.Statics", bt::kEFail);
  EXPECT_THROW((void)Map(Status::ProtocolError, 0x04), bt::PlatformError);
}

TEST_F(GattResultTest, ApplicationCommonAndUnknownProtocolErrors) {
  struct Case {
    uint8_t byte;
    int code;
    std::string text;
  };
  const std::string app =
      "Application-specific protocol error {%d (0x%x) returned during communication. Consult the remote device's "
      "documentation for more information.";
  const std::string unknown = "Unknown protocol error %d (0x%x) returned during communication.";
  const std::string prefix = "Protocol error returned during communication: [%d] {%d}. ";
  const Case cases[] = {
      {0x80, 612, Printf(app.c_str(), 128, 128)},
      {0x9F, 612, Printf(app.c_str(), 159, 159)},
      {0x00, 606, Printf(unknown.c_str(), 0, 0)},
      {0x12, 606, Printf(unknown.c_str(), 18, 18)},
      {0x7F, 606, Printf(unknown.c_str(), 127, 127)},
      {0xA0, 606, Printf(unknown.c_str(), 160, 160)},
      {0xFB, 606, Printf(unknown.c_str(), 251, 251)},
      {0xFC, 952, Printf(prefix.c_str(), 252, 252) + "Write request rejected."},
      {0xFD, 953,
       Printf(prefix.c_str(), 253, 253) + "Client characteristic configuration descriptor (CCCD) improperly configured."},
      {0xFE, 954, Printf(prefix.c_str(), 254, 254) + "A procedure is already in progress."},
      {0xFF, 955, Printf(prefix.c_str(), 255, 255) + "Attribute value is out of range."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.byte);
    EXPECT_EQ(Map(Status::ProtocolError, c.byte), c.code);
    EXPECT_EQ(Text(), c.text);
  }
  // The hexadecimal form is lower case.
  EXPECT_EQ(Map(Status::ProtocolError, 0xA0), 606);
  EXPECT_EQ(Text(), "Unknown protocol error 160 (0xa0) returned during communication.");
}

TEST_F(GattResultTest, StatusesOtherThanProtocolErrorIgnoreTheByte) {
  for (uint8_t byte : {uint8_t{0}, uint8_t{0x04}}) {
    EXPECT_EQ(Map(Status::Success, byte), 0);
    EXPECT_EQ(Text(), "earlier");
    EXPECT_EQ(Map(Status::AccessDenied, byte), 606);
    EXPECT_EQ(Text(), "Error attempting communication: Access denied by system.");
    EXPECT_EQ(Map(Status::Unreachable, byte), 607);
    EXPECT_EQ(Text(), "Error attempting communication: Device unreachable.");
  }
}

TEST_F(GattResultTest, UnknownCommunicationStatusIsAFailureNotASuccess) {
  EXPECT_EQ(Map(static_cast<Status>(4), 0), 606);
  EXPECT_EQ(Text(), "Unknown communication status 4.");
  EXPECT_EQ(Map(static_cast<Status>(-1), 0x04), 606);
  EXPECT_EQ(Text(), "Unknown communication status -1.");
}

TEST_F(GattResultTest, StatusLineIsLoggedForEveryOutcomeFromLogLevelOne) {
  (void)Map(Status::Success, 5);
  (void)Map(Status::ProtocolError, 0xFF);
  (void)ReportGattResult(*engine_, static_cast<Status>(4), 0, kGattLogDiscovery);
  ASSERT_EQ(engine_->logs.size(), 3u);
  EXPECT_EQ(engine_->logs[0].level, 1);
  EXPECT_EQ(engine_->logs[0].message, "BLE Result Status: Success (Protocol Code: 5).");
  EXPECT_EQ(engine_->logs[0].type, "Read");
  EXPECT_EQ(engine_->logs[1].message, "BLE Result Status: ProtocolError (Protocol Code: 255).");
  EXPECT_EQ(engine_->logs[2].message,
            "BLE Result Status: Windows.Devices.Bluetooth.GenericAttributeProfile.GattCommunicationStatus "
            "(Protocol Code: 0).");
  EXPECT_EQ(engine_->logs[2].type, "Discovery");

  engine_->logs.clear();
  engine_->BleSettings().log_level.store(0);
  EXPECT_EQ(Map(Status::Unreachable, 0), 607);
  EXPECT_EQ(Text(), "Error attempting communication: Device unreachable.");
  EXPECT_TRUE(engine_->logs.empty());
}

// FakeWriteResult is a finished write with a scripted status and protocol error.
class FakeWriteResult : public bt::GattWriteResult {
 public:
  FakeWriteResult(bt::GattCommunicationStatus status, std::optional<uint8_t> protocol_error)
      : status_(status), protocol_error_(protocol_error) {}
  bt::GattCommunicationStatus Status() override { return status_; }
  std::optional<uint8_t> ProtocolError() override { return protocol_error_; }

 private:
  bt::GattCommunicationStatus status_;
  std::optional<uint8_t> protocol_error_;
};

TEST_F(GattResultTest, AwaitedResultsAndMissingResults) {
  auto result = std::make_shared<FakeWriteResult>(Status::ProtocolError, uint8_t{0x0A});
  EXPECT_EQ(ReportGattResultOf(*engine_, result, kGattLogWrite), 710);
  // No protocol error on the result counts as byte 0.
  result = std::make_shared<FakeWriteResult>(Status::ProtocolError, std::nullopt);
  EXPECT_EQ(ReportGattResultOf(*engine_, result, kGattLogWrite), 606);
  EXPECT_EQ(Text(), "Unknown protocol error 0 (0x0) returned during communication.");

  // A wait that stopped keeps its code and text.
  std::shared_ptr<bt::GattWriteResult> none;
  engine_->SetLastErrorCode(301);
  (void)engine_->SetErrorText(0, "Timeout.");
  EXPECT_EQ(ReportGattResultOf(*engine_, none, kGattLogWrite), 301);
  EXPECT_EQ(Text(), "Timeout.");
  // A finished operation without a result is a failure, never a success.
  engine_->SetLastErrorCode(0);
  EXPECT_EQ(ReportGattResultOf(*engine_, none, kGattLogWrite), 606);
  EXPECT_EQ(Text(), "No result from the platform.");
}

}  // namespace
}  // namespace velmora::ble
