/*
 * The VelmoraBLE example: creates a client whose sink prints every event, reads the build information and a
 * few settings, shows how a failure is reported through the last error, and destroys the client.
 */
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "velmorable.h"

static const char* EventName(int32_t event_id) {
  switch (event_id) {
    case VELMORABLE_EVENT_ADVERTISEMENT: return "Advertisement";
    case VELMORABLE_EVENT_CONNECTED: return "Connected";
    case VELMORABLE_EVENT_DISCONNECTED: return "Disconnected";
    case VELMORABLE_EVENT_DISCOVERED: return "Discovered";
    case VELMORABLE_EVENT_ERROR: return "Error";
    case VELMORABLE_EVENT_LOG: return "Log";
    case VELMORABLE_EVENT_PAIRING_REQUEST: return "PairingRequest";
    case VELMORABLE_EVENT_SERVER_UPDATE: return "ServerUpdate";
    case VELMORABLE_EVENT_START_SCAN: return "StartScan";
    case VELMORABLE_EVENT_STOP_SCAN: return "StopScan";
    case VELMORABLE_EVENT_SUBSCRIBED: return "Subscribed";
    case VELMORABLE_EVENT_UNSUBSCRIBED: return "Unsubscribed";
    case VELMORABLE_EVENT_VALUE: return "Value";
    case VELMORABLE_EVENT_WRITE_RESPONSE: return "WriteResponse";
    default: return "(unknown)";
  }
}

/* PrintEvent is the sink: it prints the event's name and its parameter count. */
static int32_t PrintEvent(void* context, int32_t event_id, int32_t param_count, intptr_t* params,
                          int32_t* cbparams) {
  unsigned* events = (unsigned*)context;
  (void)params;
  (void)cbparams;
  ++*events;
  printf("event %s (%" PRId32 " parameters)\n", EventName(event_id), param_count);
  return 0;
}

/* Config runs one configuration text and returns its reply ("" when there is none). */
static const char* Config(VelmoraBLE_BLEClient* client, const char* setting, int32_t* code) {
  intptr_t params[2] = {(intptr_t)setting, 0};
  int32_t cbparams[2] = {0, 0};
  *code = VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_CONFIG, 1, params, cbparams);
  return params[1] != 0 ? (const char*)params[1] : "";
}

int main(void) {
  unsigned events = 0;
  VelmoraBLE_BLEClient* client = VelmoraBLE_BLEClient_Create(PrintEvent, &events, 0);
  if (client == NULL) {
    fprintf(stderr, "could not create a client\n");
    return 1;
  }

  static const char* const settings[] = {"BuildInfo", "MajorVersion", "LogLevel", "IncludeRediscovered",
                                         "ScanStartedTimeout", "PairingMode", "CodePage"};
  for (size_t i = 0; i < sizeof(settings) / sizeof(settings[0]); ++i) {
    int32_t code = 0;
    const char* reply = Config(client, settings[i], &code);
    printf("%-20s %s\n", settings[i], code == 0 ? reply : "(failed)");
  }
  printf("%-20s %" PRIdPTR " s\n", "Timeout", VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_TIMEOUT, 0));
  printf("%-20s %s\n", "Version", (const char*)VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_VERSION, 0));

  /* The advertisement settings answer only inside the Advertisement event: this query fails. */
  int32_t code = 0;
  (void)Config(client, "ManufacturerDataCount", &code);
  printf("last error %" PRId32 ": %s\n", VelmoraBLE_BLEClient_GetLastErrorCode(client),
         VelmoraBLE_BLEClient_GetLastError(client));

  VelmoraBLE_BLEClient_Destroy(client);
  printf("%u events received\n", events);
  return code == 602 ? 0 : 1;
}
