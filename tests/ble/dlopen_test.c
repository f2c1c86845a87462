/*
 * Loads libvelmorable.so the way a host does (dlopen, dlsym) and checks what a new client answers through
 * the sixteen exports. Written in C against the public header, so it also checks that the header is C.
 * Usage: velmorable_dlopen_test <path of libvelmorable.so>
 * It runs on the simulated radio without a scenario file (one adapter, no devices).
 */
#define _POSIX_C_SOURCE 200809L

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velmorable.h"

static int failures = 0;

#define CHECK(condition)                                               \
  do {                                                                 \
    if (!(condition)) {                                                \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                      \
    }                                                                  \
  } while (0)

#define CHECK_TEXT(actual, expected) CHECK((actual) != NULL && strcmp((actual), (expected)) == 0)

/* The exports, looked up by name. */
static struct {
  __typeof__(&VelmoraBLE_BLEClient_Create) Create;
  __typeof__(&VelmoraBLE_BLEClient_Destroy) Destroy;
  __typeof__(&VelmoraBLE_BLEClient_Do) Do;
  __typeof__(&VelmoraBLE_BLEClient_Get) Get;
  __typeof__(&VelmoraBLE_BLEClient_Set) Set;
  __typeof__(&VelmoraBLE_BLEClient_CheckIndex) CheckIndex;
  __typeof__(&VelmoraBLE_BLEClient_GetLastError) GetLastError;
  __typeof__(&VelmoraBLE_BLEClient_GetLastErrorCode) GetLastErrorCode;
  __typeof__(&VelmoraBLE_BLEClient_SetLastErrorAndCode) SetLastErrorAndCode;
  __typeof__(&VelmoraBLE_BLEClient_GetEventError) GetEventError;
  __typeof__(&VelmoraBLE_BLEClient_GetEventErrorCode) GetEventErrorCode;
  __typeof__(&VelmoraBLE_BLEClient_SetEventErrorAndCode) SetEventErrorAndCode;
  __typeof__(&VelmoraBLE_BLEClient_StaticInit) StaticInit;
  __typeof__(&VelmoraBLE_BLEClient_StaticDestroy) StaticDestroy;
  __typeof__(&VelmoraBLE_EvtStr) EvtStr;
  __typeof__(&VelmoraBLE_Stream) Stream;
} api;

static void* Lookup(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  if (symbol == NULL) {
    fprintf(stderr, "missing export %s\n", name);
    ++failures;
  }
  return symbol;
}

#define LOOKUP(field, name) *(void**)(&api.field) = Lookup(library, name)

static int32_t IgnoreEvents(void* context, int32_t event_id, int32_t count, intptr_t* params, int32_t* cbparams) {
  (void)context;
  (void)event_id;
  (void)count;
  (void)params;
  (void)cbparams;
  return 0;
}

/* Config runs a configuration text; *reply receives the reply text. */
static int32_t Config(VelmoraBLE_BLEClient* client, int32_t method, const void* text, const void** reply) {
  intptr_t params[2] = {(intptr_t)text, 0};
  int32_t cbparams[2] = {0, 0};
  int32_t code = api.Do(client, method, 1, params, cbparams);
  *reply = (const void*)params[1];
  return code;
}

static const char* Query(VelmoraBLE_BLEClient* client, const char* name) {
  const void* reply = NULL;
  int32_t code = Config(client, VELMORABLE_METHOD_CONFIG, name, &reply);
  if (code != 0) {
    fprintf(stderr, "query %s failed with %d\n", name, (int)code);
    ++failures;
    return "";
  }
  return (const char*)reply;
}

static void CheckNullHandles(void) {
  intptr_t params[3] = {0, 0, 0};
  int32_t cbparams[3] = {0, 0, 0};
  CHECK(api.Destroy(NULL) == 0);
  CHECK(api.Do(NULL, VELMORABLE_METHOD_CONFIG, 1, params, cbparams) == 200);
  CHECK(api.Get(NULL, VELMORABLE_PROP_TIMEOUT, 0) == 0);
  CHECK(api.Set(NULL, VELMORABLE_PROP_TIMEOUT, 0, 5) == 200);
  CHECK(api.CheckIndex(NULL, VELMORABLE_PROP_CHARACTERISTIC_ID, 0) == 200);
  CHECK(api.GetLastError(NULL) == NULL);
  CHECK(api.GetLastErrorCode(NULL) == 200);
  CHECK(api.SetLastErrorAndCode(NULL, 5, "x") == 200);
  CHECK(api.GetEventError(NULL) == NULL);
  CHECK(api.GetEventErrorCode(NULL) == 200);
  CHECK(api.SetEventErrorAndCode(NULL, 5, "x") == 200);
  CHECK(api.EvtStr(NULL, VELMORABLE_EVTSTR_GET, NULL, VELMORABLE_EVTSTR_NARROW) == NULL);
  {
    int32_t code = 0;
    const char* text = NULL;
    uint8_t flag = 7;
    CHECK(api.Stream(NULL, VELMORABLE_STREAM_ERROR_CODE, NULL, &code) == 0 && code == -1);
    CHECK(api.Stream(NULL, VELMORABLE_STREAM_ERROR_TEXT, NULL, (void*)&text) == 0);
    CHECK_TEXT(text, "Invalid stream pointer.");
    CHECK(api.Stream(NULL, VELMORABLE_STREAM_QUERY_FLAG, NULL, &flag) == 0 && flag == 0);
    CHECK(api.Stream(NULL, VELMORABLE_STREAM_CLOSE, NULL, NULL) == 0);
    CHECK(api.Stream(NULL, VELMORABLE_STREAM_TRANSFER_A, NULL, NULL) == -1);
    CHECK(api.Stream(NULL, 42, NULL, NULL) == -1);
  }
  CHECK(api.StaticInit(NULL) == 0);
  CHECK(api.StaticDestroy() == 0);
}

static void CheckNewClient(void) {
  VelmoraBLE_BLEClient* client = api.Create(IgnoreEvents, NULL, 0);
  const void* reply = NULL;
  static const uint16_t kWideBuildInfo[] = {'B', 'u', 'i', 'l', 'd', 'I', 'n', 'f', 'o', 0};
  static const uint16_t kWideReply[] = {'2', '4', '.', '0', '.', '9', '3', '8', '5', 0};
  CHECK(client != NULL);
  if (client == NULL) return;

  CHECK(api.Get(client, VELMORABLE_PROP_CODE_PAGE, 0) == 65001);
  CHECK(api.Get(client, VELMORABLE_PROP_TIMEOUT, 0) == 60);
  CHECK_TEXT((const char*)api.Get(client, VELMORABLE_PROP_VERSION, 0), "VELMORABLE_VERSION_24_0_9385");
  CHECK_TEXT(api.GetLastError(client), "");
  CHECK(api.GetLastErrorCode(client) == 0);

  CHECK_TEXT(Query(client, "BuildInfo"), "24.0.9385");
  CHECK_TEXT(Query(client, "buildinfo"), "24.0.9385");
  CHECK_TEXT(Query(client, "MajorVersion"), "24");
  CHECK(Config(client, VELMORABLE_UTF16_VARIANT + VELMORABLE_METHOD_CONFIG, kWideBuildInfo, &reply) == 0);
  CHECK(reply != NULL && memcmp(reply, kWideReply, sizeof(kWideReply)) == 0);

  CHECK_TEXT(Query(client, "LogLevel"), "1");
  CHECK_TEXT(Query(client, "IncludeRediscovered"), "True");
  CHECK_TEXT(Query(client, "ScanStartedTimeout"), "2");
  CHECK_TEXT(Query(client, "PairingMode"), "0");
  CHECK_TEXT(Query(client, "AutoDiscoverCharacteristics"), "False");
  CHECK_TEXT(Query(client, "CodePage"), "65001");

  {
    static const char* const kAdvertisementOnly[] = {"ManufacturerDataCount", "ManufacturerCompanyId[0]",
                                                     "ManufacturerData[0]",
                                                     "ServiceData=0000180D-0000-1000-8000-00805F9B34FB"};
    static const char* const kNames[] = {"ManufacturerDataCount", "ManufacturerCompanyId", "ManufacturerData",
                                         "ServiceData"};
    size_t i;
    for (i = 0; i < 4; ++i) {
      char expected[128];
      snprintf(expected, sizeof(expected), "The %s setting is only usable within the Advertisement event handler.",
               kNames[i]);
      CHECK(Config(client, VELMORABLE_METHOD_CONFIG, kAdvertisementOnly[i], &reply) == 602);
      CHECK(api.GetLastErrorCode(client) == 602);
      CHECK_TEXT(api.GetLastError(client), expected);
    }
  }
  CHECK(Config(client, VELMORABLE_METHOD_CONFIG, "GattObjTreeInfo=1", &reply) == -1);
  CHECK_TEXT(api.GetLastError(client), "Unknown config setting.");

  CHECK(api.SetLastErrorAndCode(client, 5, NULL) == 5);
  CHECK_TEXT(api.GetLastError(client), "");
  CHECK(api.GetLastErrorCode(client) == 5);

  CHECK(api.Destroy(client) == 0);
}

/* A host that calls StaticDestroy without a StaticInit of its own (or once more at its end) keeps the
 * start-up that the library's load made: scanning and connecting still reach the radio. */
static void CheckUnmatchedStaticDestroyKeepsTheStartUp(void) {
  VelmoraBLE_BLEClient* client;
  intptr_t params[1] = {0};
  int32_t cbparams[1] = {0};
  CHECK(api.StaticDestroy() == 0);
  client = api.Create(IgnoreEvents, NULL, 0);
  CHECK(client != NULL);
  if (client == NULL) return;
  CHECK(api.Do(client, VELMORABLE_METHOD_START_SCANNING, 1, params, cbparams) == 0);
  CHECK(api.Do(client, VELMORABLE_METHOD_STOP_SCANNING, 0, params, cbparams) == 0);
  params[0] = (intptr_t) "00AABBCC0001";
  CHECK(api.Do(client, VELMORABLE_METHOD_CONNECT, 1, params, cbparams) == 604);
  CHECK_TEXT(api.GetLastError(client), "Connection to server ID 00AABBCC0001 was unsuccessful.");
  CHECK(api.Destroy(client) == 0);
}

int main(int argc, char** argv) {
  void* library;
  if (argc != 2) {
    fprintf(stderr, "usage: %s <libvelmorable.so>\n", argv[0]);
    return 2;
  }
  if (setenv("VELMORABLE_BT_BACKEND", "sim", 1) != 0 || setenv("VELMORABLE_SIM_SCENARIO", "", 1) != 0) return 2;
  library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  LOOKUP(Create, "VelmoraBLE_BLEClient_Create");
  LOOKUP(Destroy, "VelmoraBLE_BLEClient_Destroy");
  LOOKUP(Do, "VelmoraBLE_BLEClient_Do");
  LOOKUP(Get, "VelmoraBLE_BLEClient_Get");
  LOOKUP(Set, "VelmoraBLE_BLEClient_Set");
  LOOKUP(CheckIndex, "VelmoraBLE_BLEClient_CheckIndex");
  LOOKUP(GetLastError, "VelmoraBLE_BLEClient_GetLastError");
  LOOKUP(GetLastErrorCode, "VelmoraBLE_BLEClient_GetLastErrorCode");
  LOOKUP(SetLastErrorAndCode, "VelmoraBLE_BLEClient_SetLastErrorAndCode");
  LOOKUP(GetEventError, "VelmoraBLE_BLEClient_GetEventError");
  LOOKUP(GetEventErrorCode, "VelmoraBLE_BLEClient_GetEventErrorCode");
  LOOKUP(SetEventErrorAndCode, "VelmoraBLE_BLEClient_SetEventErrorAndCode");
  LOOKUP(StaticInit, "VelmoraBLE_BLEClient_StaticInit");
  LOOKUP(StaticDestroy, "VelmoraBLE_BLEClient_StaticDestroy");
  LOOKUP(EvtStr, "VelmoraBLE_EvtStr");
  LOOKUP(Stream, "VelmoraBLE_Stream");
  if (failures == 0) {
    CheckNullHandles();
    CheckNewClient();
    CheckUnmatchedStaticDestroyKeepsTheStartUp();
  }
  if (dlclose(library) != 0) {
    fprintf(stderr, "dlclose: %s\n", dlerror());
    ++failures;
  }
  if (failures != 0) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  printf("all checks passed\n");
  return 0;
}
