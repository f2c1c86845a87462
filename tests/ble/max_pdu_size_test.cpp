// The "MaxPduSize" setting through the exported interface against a scenario on the simulated radio: the
// session's size for the selected service, nothing without a selection or after Disconnect, and a platform
// failure that ends the query with a code and a text.
#include <string>

#include <gtest/gtest.h>

#include "platform/bluetooth/sim/scenario.h"
#include "tests/ble/scan_test_util.h"

namespace velmora::ble::testing {
namespace {

constexpr const char kServerId[] = "00A1B2C3D4E5";
constexpr const char kBattery[] = "000100000000";

class MaxPduSize : public ScanFixture {
 protected:
  // Start loads a one-service device (with the extra scenario lines), connects and discovers it.
  void Start(const std::string& extra) {
    bt::sim::ScenarioError error;
    ASSERT_EQ(bt::sim::LoadScenario("peripheral 00A1B2C3D4E5\n" + extra +
                                        "service 0x0001 180F\n"
                                        "  characteristic 0x0003 2A19 read 5A\n",
                                    *radio_, &error),
              bt::sim::kScenarioOk)
        << error.line << ": " << error.message;
    ASSERT_EQ(Do(VELMORABLE_METHOD_CONNECT, kServerId), 0) << LastError();
    ASSERT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 0, Text("")}), 0) << LastError();
  }
  int Select(const char* service_id) { return Call(VELMORABLE_METHOD_SELECT, {Text(service_id), Text("")}); }
  // Query gives the reply, expecting result 0.
  std::string Query() {
    std::string reply = "unchanged";
    EXPECT_EQ(Config("MaxPduSize", &reply), 0) << LastError();
    return reply;
  }
};

TEST_F(MaxPduSize, AnswersForTheSelectedServiceOnly) {
  Start("");
  EXPECT_EQ(Query(), "");
  ASSERT_EQ(Select(kBattery), 0) << LastError();
  EXPECT_EQ(Query(), "247");
  ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0) << LastError();
  EXPECT_EQ(Query(), "");
}

TEST_F(MaxPduSize, FollowsTheScenarioSession) {
  Start("max-pdu 23\n");
  ASSERT_EQ(Select(kBattery), 0) << LastError();
  EXPECT_EQ(Query(), "23");
}

TEST_F(MaxPduSize, PlatformFailureGivesCodeAndTextAndAnEmptyReply) {
  Start("");
  ASSERT_EQ(Select(kBattery), 0) << LastError();
  for (const char* api : {"GattDeviceService.Session", "GattSession.MaxPduSize"}) {
    radio_->FailCall(api, bt::kEAccessDenied);
    std::string reply = "unchanged";
    EXPECT_EQ(Config("MaxPduSize", &reply), 610) << api;
    EXPECT_EQ(reply, "");
    EXPECT_EQ(LastCode(), 610);
    EXPECT_EQ(LastError(), "Platform error 0x80070005.");
  }
  // The failure was one call's: the next query answers again.
  EXPECT_EQ(Query(), "247");
}

}  // namespace
}  // namespace velmora::ble::testing
