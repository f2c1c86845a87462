// The client through its exports: settings, result recording and method dispatch.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ble/ble_client.h"
#include "tests/ble/ble_test_support.h"
#include "ble/internal.h"
#include "component/socket_base.h"
#include "platform/memory.h"
#include "velmorable.h"

namespace velmora::ble {
namespace {

class ClientTest : public testing::Test {
 protected:
  void SetUp() override {
    component::SocketBase::StaticInit();
    handle_ = VelmoraBLE_BLEClient_Create(nullptr, nullptr, 0);
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    VelmoraBLE_BLEClient_Destroy(handle_);
    component::SocketBase::StaticDestroy();
    platform::test::FailAllocAfter(-1);
  }

  // Config runs a configuration text; reply receives the reply text.
  int Config(const char* text, std::string* reply = nullptr) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(text), 0};
    int32_t cbparams[2] = {0, 0};
    const int rc = VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_CONFIG, 1, params, cbparams);
    if (reply != nullptr) *reply = params[1] != 0 ? reinterpret_cast<const char*>(params[1]) : "<null>";
    return rc;
  }
  int WideConfig(const char16_t* text, std::u16string* reply) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(text), 0};
    int32_t cbparams[2] = {0, 0};
    const int rc =
        VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_UTF16_VARIANT + VELMORABLE_METHOD_CONFIG, 1, params, cbparams);
    *reply = params[1] != 0 ? reinterpret_cast<const char16_t*>(params[1]) : u"<null>";
    return rc;
  }
  std::string Query(const char* name) {
    std::string reply;
    EXPECT_EQ(Config(name, &reply), 0) << name << ": " << LastError();
    return reply;
  }
  std::string LastError() { return VelmoraBLE_BLEClient_GetLastError(handle_); }
  int LastCode() { return VelmoraBLE_BLEClient_GetLastErrorCode(handle_); }
  int Do(int id, intptr_t* params = nullptr, int32_t* cbparams = nullptr, int count = 0) {
    return VelmoraBLE_BLEClient_Do(handle_, id, count, params, cbparams);
  }
  int ConnectTo(const char* server_id) {
    intptr_t params[1] = {reinterpret_cast<intptr_t>(server_id)};
    int32_t cbparams[1] = {0};
    return Do(VELMORABLE_METHOD_CONNECT, params, cbparams, 1);
  }
  BLEClientEngine& Engine() { return reinterpret_cast<BLEClient*>(handle_)->Engine(); }

  VelmoraBLE_BLEClient* handle_ = nullptr;
};

// ---- Settings ----------------------------------------------------------------------------------------------

TEST_F(ClientTest, NewClientAnswersItsDefaults) {
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_CODE_PAGE, 0), 65001);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_TIMEOUT, 0), 60);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_ACTIVE_SCANNING, 0), 0);
  for (const char* name : {"AutoDiscoverCharacteristics", "AutoDiscoverDescriptors", "AutoDiscoverIncludedServices",
                           "PreferIndications", "QueryAdditionalDeviceInfo"}) {
    EXPECT_EQ(Query(name), "False") << name;
  }
  EXPECT_EQ(Query("IncludeRediscovered"), "True");
  EXPECT_EQ(Query("LogLevel"), "1");
  EXPECT_EQ(Query("ScanStartedTimeout"), "2");
  EXPECT_EQ(Query("PairingMode"), "0");
  EXPECT_EQ(Query("SelectWaitMillis"), "20");
  EXPECT_EQ(Query("TimeoutInMilliseconds"), "0");
}

TEST_F(ClientTest, BuildInfoAndMajorVersionAnyCase) {
  EXPECT_EQ(Query("BuildInfo"), "24.0.9385");
  EXPECT_EQ(Query("bUILDiNFO"), "24.0.9385");
  EXPECT_EQ(Query("MajorVersion"), "24");
  std::string reply;
  EXPECT_EQ(Config("BuildInfo=1", &reply), -1);  // only the exact name answers
  EXPECT_EQ(LastError(), "Unknown config setting.");
}

TEST_F(ClientTest, SettingsStoreWithCaseInsensitiveNamesAndValues) {
  EXPECT_EQ(Config("autodiscovercharacteristics=TRUE"), 0);
  EXPECT_EQ(Query("AutoDiscoverCharacteristics"), "True");
  EXPECT_EQ(Config("PreferIndications=yes"), 0);
  EXPECT_EQ(Query("PreferIndications"), "True");
  EXPECT_EQ(Config("IncludeRediscovered=0"), 0);
  EXPECT_EQ(Query("IncludeRediscovered"), "False");
  EXPECT_EQ(Config("PairingMode=0x1"), 0);
  EXPECT_EQ(Query("PairingMode"), "1");
  EXPECT_EQ(Config("ScanStartedTimeout=7"), 0);
  EXPECT_EQ(Query("ScanStartedTimeout"), "7");
  // The engine's LogLevel shadows the component's: the base value stays.
  EXPECT_EQ(Config("LogLevel=3"), 0);
  EXPECT_EQ(Query("LogLevel"), "3");
  EXPECT_EQ(Engine().LogLevel(), 1);
  EXPECT_EQ(Engine().BleSettings().log_level.load(), 3);
}

TEST_F(ClientTest, QueryOnlyKeysGivenAValueAreUnknownFurtherDown) {
  for (const char* text : {"GattObjTreeInfo=1", "ManufacturerDataCount=2", "MaxPduSize=5", "AdvertisementRawData=x",
                           "ServiceData"}) {
    EXPECT_EQ(Config(text), -1) << text;
    EXPECT_EQ(LastError(), "Unknown config setting.");
  }
}

TEST_F(ClientTest, AdvertisementSettingsOutsideTheEvent) {
  const struct {
    const char* text;
    const char* key;
  } cases[] = {{"ManufacturerDataCount", "ManufacturerDataCount"},
               {"ManufacturerCompanyId[0]", "ManufacturerCompanyId"},
               {"manufacturerdata[1]", "ManufacturerData"},
               {"ServiceData=0000180D-0000-1000-8000-00805F9B34FB", "ServiceData"}};
  for (const auto& c : cases) {
    std::string reply;
    EXPECT_EQ(Config(c.text, &reply), kNotInAdvertisementEvent) << c.text;
    EXPECT_EQ(reply, "");
    EXPECT_EQ(LastCode(), kNotInAdvertisementEvent);
    EXPECT_EQ(LastError(),
              std::string("The ") + c.key + " setting is only usable within the Advertisement event handler.");
  }
  std::string reply = "x";
  EXPECT_EQ(Config("AdvertisementRawData", &reply), 0);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(Config("MaxPduSize", &reply), 0);
  EXPECT_EQ(reply, "");
}

TEST_F(ClientTest, ManufacturerIndexErrorNamesIndexAndKey) {
  EXPECT_EQ(Engine().CheckManufacturerIndex(1, 2, "ManufacturerData"), 0);
  EXPECT_EQ(Engine().CheckManufacturerIndex(2, 2, "ManufacturerData"), kInvalidArgument);
  EXPECT_EQ(Engine().LastErrorText().Data(), std::string("Index '2' is invalid for ManufacturerData."));
  EXPECT_EQ(Engine().CheckManufacturerIndex(-1, 2, "ManufacturerCompanyId"), kInvalidArgument);
  EXPECT_EQ(Engine().LastErrorText().Data(), std::string("Index '-1' is invalid for ManufacturerCompanyId."));
}

TEST_F(ClientTest, TimeoutIsCappedAndNeverNegative) {
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 9999999), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_TIMEOUT, 0), 2147483);
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, -5), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_TIMEOUT, 0), 0);
  EXPECT_EQ(Engine().TimeoutMs(), 0u);
  EXPECT_EQ(Config("TimeoutInMilliseconds=True"), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_UTF16_VARIANT + VELMORABLE_PROP_TIMEOUT, 0, 1500), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_NARROW_VARIANT + VELMORABLE_PROP_TIMEOUT, 0), 1500);
  EXPECT_EQ(Engine().TimeoutMs(), 1500u);
}

TEST_F(ClientTest, VersionMarkerIsNarrowInEveryVariant) {
  for (int id : {0, VELMORABLE_UTF16_VARIANT, VELMORABLE_NARROW_VARIANT}) {
    EXPECT_STREQ(reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(handle_, id, 0)), kVersionMarker) << id;
  }
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_VERSION, 0, 1), -1);
}

TEST_F(ClientTest, CreateFailsCleanlyWhenMemoryRunsOut) {
  platform::test::FailAllocAfter(0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Create(nullptr, nullptr, 0), nullptr);
  platform::test::FailAllocAfter(-1);
}

// ---- Result recording --------------------------------------------------------------------------------------

TEST_F(ClientTest, SetLastErrorAndCodeTakesNullAsEmpty) {
  EXPECT_EQ(VelmoraBLE_BLEClient_SetLastErrorAndCode(handle_, 7, "seven"), 7);
  EXPECT_FAILS_WITH(VelmoraBLE_BLEClient_SetLastErrorAndCode(handle_, 5, nullptr), 5, "");
  EXPECT_EQ(LastCode(), 5);
}

TEST_F(ClientTest, EachFailureRecordsItsTextWhichSuccessAndLastErrorQueriesKeep) {
  const char* invalid = "Invalid server ID \"hello world!\".";
  EXPECT_FAILS_WITH(ConnectTo("hello world!"), 202, invalid);
  EXPECT_EQ(Query("LastError"), invalid);  // asked during a call: the earlier text
  EXPECT_EQ(Query("BuildInfo"), "24.0.9385");
  EXPECT_FAILS_WITH(LastCode(), 0, invalid);
  EXPECT_FAILS_WITH(Config("NoSuchSetting"), -1, "Unknown config setting.");
  EXPECT_FAILS_WITH(Do(21), -1, "Unknown method.");
}

// The recording rule itself, with calls that fail with and without a text of their own.
TEST_F(ClientTest, RecordingFillsTheTextOnlyWhenTheCallSetNone) {
  BLEClientEngine& engine = Engine();
  (void)engine.SetErrorText(9, "an earlier failure");
  {
    RecordedCall call(engine);
    EXPECT_STREQ(engine.VisibleLastErrorText(), "an earlier failure");
    EXPECT_EQ(call.Finish(200), 200);  // failed without a text
  }
  EXPECT_STREQ(engine.LastErrorText().Data(), "Out of memory.");
  {
    RecordedCall call(engine);
    EXPECT_EQ(call.Finish(10060), 10060);
  }
  EXPECT_EQ(std::string(engine.LastErrorText().Data()).rfind("[10060] ", 0), 0u) << engine.LastErrorText().Data();
  {
    // The same text written again is still this call's text: a second timeout keeps "Timeout.".
    (void)engine.SetErrorText(301, "Timeout.");
    RecordedCall call(engine);
    (void)engine.SetErrorText(0, "Timeout.");
    EXPECT_EQ(call.Finish(301), 301);
  }
  EXPECT_STREQ(engine.LastErrorText().Data(), "Timeout.");
  {
    RecordedCall call(engine);
    EXPECT_EQ(call.Finish(0), 0);
  }
  EXPECT_STREQ(engine.LastErrorText().Data(), "Timeout.");
  EXPECT_EQ(engine.LastErrorCode(), 0);
  EXPECT_EQ(engine.EarlierErrorText(), nullptr);
}

// ---- Method dispatch ---------------------------------------------------------------------------------------

// Without a connection every method id reaches its own operation: each answers with that operation's own
// code and text (never the unknown-method result), the same in the narrow and the UTF-16 variant.
TEST_F(ClientTest, EveryMethodReachesItsOperation) {
  const int methods[] = {2, 4, 5, 6, 7, 8, 9, 11, 12, 13, 14, 15, 17, 18, 19, 20};
  const std::u16string wide_arg = u"00112233445566";
  const std::string narrow_arg = "00112233445566";
  for (int id : methods) {
    int narrow_code = 0;
    std::string narrow_text;
    for (int variant : {0, VELMORABLE_UTF16_VARIANT}) {
      intptr_t params[4] = {0, 0, 0, 0};
      int32_t cbparams[4] = {0, 0, 0, 0};
      params[0] = variant != 0 ? reinterpret_cast<intptr_t>(wide_arg.c_str()) : reinterpret_cast<intptr_t>(narrow_arg.c_str());
      const int code = Do(variant + id, params, cbparams, 4);
      EXPECT_NE(code, -1) << variant + id;
      EXPECT_EQ(LastCode(), code);
      EXPECT_NE(LastError(), "Unknown method.");
      if (variant == 0) {
        narrow_code = code;
        narrow_text = LastError();
      } else {
        EXPECT_EQ(code, narrow_code) << variant + id;
        if (code != 0) {
          EXPECT_EQ(LastError(), narrow_text) << variant + id;
        }
      }
    }
  }
  EXPECT_EQ(Do(VELMORABLE_METHOD_PROCESS_EVENTS), 0);
  EXPECT_EQ(Do(VELMORABLE_UTF16_VARIANT + VELMORABLE_METHOD_PROCESS_EVENTS), 0);
}

TEST_F(ClientTest, UnknownMethodIdsAreRecordedAsMinusOne) {
  for (int id : {0, 1, 21, 2002, 2004, 10000, 10021, 30000}) {
    EXPECT_EQ(VelmoraBLE_BLEClient_SetLastErrorAndCode(handle_, 77, "before"), 77);
    EXPECT_EQ(Do(id), -1) << id;
    EXPECT_FAILS_WITH(LastCode(), -1, "Unknown method.");
  }
}

TEST_F(ClientTest, OutSlotsOfTheIndexedAndReadMethods) {
  intptr_t params[4] = {0, 77, 77, 77};
  int32_t cbparams[4] = {9, 9, 9, 9};
  EXPECT_NE(Do(VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, params, cbparams), 0);
  EXPECT_EQ(params[1], 0);  // a failed query never reads as "subscribed"
  EXPECT_NE(Do(VELMORABLE_METHOD_READ_CHARACTERISTIC_VALUE_AT, params, cbparams), 0);
  EXPECT_NE(params[1], 0);
  EXPECT_EQ(cbparams[1], 0);
  EXPECT_NE(Do(VELMORABLE_METHOD_READ_VALUE, params, cbparams), 0);
  EXPECT_NE(params[3], 0);
  EXPECT_EQ(cbparams[3], 0);
  // Without arrays nothing is written and nothing breaks.
  EXPECT_NE(Do(VELMORABLE_METHOD_READ_VALUE), 0);
  EXPECT_NE(Do(VELMORABLE_METHOD_WRITE_VALUE), 0);
}

TEST_F(ClientTest, NullTextArgumentsAreEmpty) {
  intptr_t params[2] = {0, 0};
  int32_t cbparams[2] = {0, 0};
  EXPECT_EQ(Do(VELMORABLE_METHOD_CONFIG, params, cbparams), -1);  // Config of "" names no setting
  EXPECT_STREQ(reinterpret_cast<const char*>(params[1]), "");
  EXPECT_EQ(Do(VELMORABLE_UTF16_VARIANT + VELMORABLE_METHOD_CONFIG, params, cbparams), -1);
  EXPECT_EQ(reinterpret_cast<const char16_t*>(params[1])[0], u'\0');
  EXPECT_EQ(LastError(), "Unknown config setting.");
}

TEST_F(ClientTest, Utf16ConfigTakesAndGivesUtf16) {
  std::u16string reply;
  EXPECT_EQ(WideConfig(u"BuildInfo", &reply), 0);
  EXPECT_EQ(reply, u"24.0.9385");
  EXPECT_EQ(WideConfig(u"LogLevel=2", &reply), 0);
  EXPECT_EQ(WideConfig(u"loglevel", &reply), 0);
  EXPECT_EQ(reply, u"2");
  EXPECT_EQ(WideConfig(u"ManufacturerDataCount", &reply), kNotInAdvertisementEvent);
  EXPECT_EQ(reply, u"");
  // A non-ASCII value crosses both ways in UTF-8.
  EXPECT_EQ(WideConfig(u"LogDebugFile=\u00e9t\u00e9.log", &reply), 0);
  EXPECT_EQ(WideConfig(u"LogDebugFile", &reply), 0);
  EXPECT_EQ(reply, u"\u00e9t\u00e9.log");
  EXPECT_EQ(Query("LogDebugFile"), "\xc3\xa9t\xc3\xa9.log");
}

TEST_F(ClientTest, UnconvertibleUtf16ArgumentIsRecordedWithItsName) {
  EXPECT_EQ(Config("CodePage=12345"), 0);  // a code page the system cannot convert with
  EXPECT_EQ(VelmoraBLE_BLEClient_SetLastErrorAndCode(handle_, 77, "before"), 77);
  intptr_t params[4] = {reinterpret_cast<intptr_t>(u"AB"), reinterpret_cast<intptr_t>(u"CD"), 0, 0};
  int32_t cbparams[4] = {0, 0, 0, 0};
  EXPECT_EQ(Do(VELMORABLE_UTF16_VARIANT + VELMORABLE_METHOD_CONNECT, params, cbparams), 434);
  EXPECT_FAILS_WITH(LastCode(), 434,
                    "The server ID (parameter 0) cannot be converted from UTF-16 in code page 12345.");
  EXPECT_EQ(Do(VELMORABLE_UTF16_VARIANT + VELMORABLE_METHOD_CONFIG, params, cbparams), 434);
  EXPECT_FAILS_WITH(LastCode(), 434, "The setting (parameter 0) cannot be converted from UTF-16 in code page 12345.");
  // A null text is "" and needs no conversion: the first text that fails is the one named.
  params[0] = 0;
  EXPECT_EQ(Do(VELMORABLE_UTF16_VARIANT + VELMORABLE_METHOD_SELECT, params, cbparams), 434);
  EXPECT_FAILS_WITH(LastCode(), 434,
                    "The characteristic ID (parameter 1) cannot be converted from UTF-16 in code page 12345.");
}

// A count under a code page the system cannot convert fails as the conversion does, rather than tell a text
// that is not empty to need no units.
TEST_F(ClientTest, TextConversionCountUnderACodePageThatCannotConvertFails) {
  intptr_t config[2] = {reinterpret_cast<intptr_t>("CodePage=12345678"), 0};
  int32_t config_sizes[2] = {0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_CONFIG, 1, config, config_sizes), 0);
  intptr_t params[3] = {reinterpret_cast<intptr_t>("abc"), 0, 99};
  int32_t cbparams[3] = {3, 0, 0};
  EXPECT_EQ(Do(VELMORABLE_METHOD_TEXT_TO_UTF16, params, cbparams, 2), 87);
  EXPECT_EQ(params[2], 0);
}

TEST_F(ClientTest, TextConversionMethod) {
  char16_t out[8] = {};
  intptr_t params[3] = {reinterpret_cast<intptr_t>("hello"), reinterpret_cast<intptr_t>(out), 99};
  int32_t cbparams[3] = {5, 0, 0};
  EXPECT_EQ(VelmoraBLE_BLEClient_SetLastErrorAndCode(handle_, 77, "before"), 77);
  EXPECT_EQ(Do(VELMORABLE_METHOD_TEXT_TO_UTF16, params, cbparams, 1), -1);
  EXPECT_EQ(Do(VELMORABLE_METHOD_TEXT_TO_UTF16, params, cbparams, 2), 0);  // size query
  EXPECT_EQ(params[2], 5);
  cbparams[1] = 8;
  EXPECT_EQ(Do(VELMORABLE_UTF16_VARIANT + VELMORABLE_METHOD_TEXT_TO_UTF16, params, cbparams, 2), 0);
  EXPECT_EQ(params[2], 5);
  EXPECT_EQ(std::u16string(out, 5), u"hello");
  cbparams[1] = 3;  // too small: the platform's error number
  EXPECT_EQ(Do(VELMORABLE_METHOD_TEXT_TO_UTF16, params, cbparams, 2), 122);
  EXPECT_EQ(params[2], 0);
  cbparams[0] = 0;  // an empty source converts to nothing
  EXPECT_EQ(Do(VELMORABLE_METHOD_TEXT_TO_UTF16, params, cbparams, 2), 0);
  EXPECT_EQ(params[2], 0);
  cbparams[0] = -1;
  EXPECT_EQ(Do(VELMORABLE_METHOD_TEXT_TO_UTF16, params, cbparams, 2), 87);
  cbparams[0] = 5;
  params[1] = 0;  // no destination for a conversion
  EXPECT_EQ(Do(VELMORABLE_METHOD_TEXT_TO_UTF16, params, cbparams, 2), 87);
  EXPECT_EQ(Do(VELMORABLE_METHOD_TEXT_TO_UTF16, nullptr, cbparams, 2), 87);
  EXPECT_EQ(Do(VELMORABLE_METHOD_TEXT_TO_UTF16, params, nullptr, 2), 87);
  EXPECT_FAILS_WITH(LastCode(), 77, "before");
}

}  // namespace
}  // namespace velmora::ble
