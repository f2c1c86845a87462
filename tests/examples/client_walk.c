/*
 * A session through the public header, as an application writes it, for valgrind's memcheck: pairing refused
 * for a wrong PIN and then done with the right one, discovery of everything with descriptors, the subscription
 * state read from the device, a subscription, a read of a value that needs pairing, a scan, the tree dump, and
 * Destroy while still subscribed and scanning. Each step checks its result code; the first that differs ends
 * the program with 1 and the step, the code and the last-error text on standard error.
 *   velmorable_client_walk <scenario-file>   (the pin_pairing scenario: its lock, PIN 123456)
 */
#define _POSIX_C_SOURCE 200809L

#include <inttypes.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velmorable.h"

#define LOCK_ID "C0FFEE000002"
#define LOCK_SERVICE "000100000000"
#define LOCK_STATE "000100030000"  /* read|write, encrypted */
#define LOCK_EVENTS "000100050000" /* read|notify, encrypted, with a CCCD */
#define RIGHT_PIN "123456"
#define WRONG_PIN "654321"
#define SCAN_STEPS 60

/* The PIN the sink answers with; events arrive on the radio's threads. */
static _Atomic(const char*) pin_answer;
static atomic_int pairing_requests;
static atomic_int advertisements;

static int32_t Sink(void* context, int32_t event_id, int32_t param_count, intptr_t* params, int32_t* cbparams) {
  (void)context;
  (void)param_count;
  (void)cbparams;
  if (event_id == VELMORABLE_EVENT_ADVERTISEMENT) atomic_fetch_add(&advertisements, 1);
  if (event_id == VELMORABLE_EVENT_PAIRING_REQUEST) {
    atomic_fetch_add(&pairing_requests, 1);
    (void)VelmoraBLE_EvtStr((VelmoraBLE_EventString*)params[2], VELMORABLE_EVTSTR_SET_BY_COPY,
                            atomic_load(&pin_answer), VELMORABLE_EVTSTR_NARROW);
    params[3] = 1;
  }
  return 0;
}

static VelmoraBLE_BLEClient* client;

/* Expect ends the program unless the step gave `expected`. */
static void Expect(const char* step, int32_t code, int32_t expected) {
  if (code == expected) return;
  const char* text = VelmoraBLE_BLEClient_GetLastError(client);
  fprintf(stderr, "%s: result %" PRId32 " (expected %" PRId32 "): %s\n", step, code, expected,
          text != NULL ? text : "(no error text)");
  exit(1);
}

static int32_t Do(int32_t method, intptr_t* params, int32_t* cbparams) {
  return VelmoraBLE_BLEClient_Do(client, method, 0, params, cbparams);
}

static int32_t Config(const char* setting, const char** reply) {
  intptr_t params[2] = {(intptr_t)setting, 0};
  int32_t cbparams[2] = {0, 0};
  const int32_t code = Do(VELMORABLE_METHOD_CONFIG, params, cbparams);
  if (reply != NULL) *reply = (const char*)params[1];
  return code;
}

static int32_t Connect(const char* pin) {
  intptr_t params[1] = {(intptr_t)LOCK_ID};
  int32_t cbparams[1] = {0};
  atomic_store(&pin_answer, pin);
  return Do(VELMORABLE_METHOD_CONNECT, params, cbparams);
}

/* Subscription gives QuerySubscriptionState of the selected service's characteristic `index`. */
static int32_t Subscription(int32_t index, int32_t* state) {
  intptr_t params[2] = {index, -1};
  int32_t cbparams[2] = {0, 0};
  const int32_t code = Do(VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, params, cbparams);
  *state = (int32_t)params[1];
  return code;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <scenario-file>\n", argv[0]);
    return 2;
  }
  /* Read by the simulated radio when the library first uses Bluetooth, that is after this. */
  if (setenv("VELMORABLE_SIM_SCENARIO", argv[1], 1) != 0) return 2;
  client = VelmoraBLE_BLEClient_Create(Sink, NULL, 0);
  if (client == NULL) return 1;

  Expect("PairingMode=1", Config("PairingMode=1", NULL), 0);
  Expect("Connect with a wrong PIN", Connect(WRONG_PIN), 604);
  Expect("Connect with the right PIN", Connect(RIGHT_PIN), 0);
  Expect("pairing requests", atomic_load(&pairing_requests), 2);

  Expect("AutoDiscoverIncludedServices=1", Config("AutoDiscoverIncludedServices=1", NULL), 0);
  intptr_t everything[4] = {(intptr_t) "", (intptr_t) "", 1, (intptr_t) ""};
  int32_t no_lengths[4] = {0, 0, 0, 0};
  Expect("Discover", Do(VELMORABLE_METHOD_DISCOVER, everything, no_lengths), 0);

  /* Before Subscribe, the state of the notifying characteristic (index 1) comes from the device's CCCD. */
  intptr_t lock_events[2] = {(intptr_t)LOCK_SERVICE, (intptr_t)LOCK_EVENTS};
  Expect("Select", Do(VELMORABLE_METHOD_SELECT, lock_events, no_lengths), 0);
  int32_t state = -1;
  Expect("QuerySubscriptionState before Subscribe", Subscription(1, &state), 0);
  Expect("state before Subscribe", state, 0);
  Expect("Subscribe", Do(VELMORABLE_METHOD_SUBSCRIBE, lock_events, no_lengths), 0);
  for (int32_t index = 0; index < 2; ++index) {
    Expect("QuerySubscriptionState after Subscribe", Subscription(index, &state), 0);
    Expect("state after Subscribe", state, index == 1);
  }
  Expect("QuerySubscriptionState past the characteristics", Subscription(2, &state), 432);

  intptr_t lock_state[4] = {(intptr_t)LOCK_SERVICE, (intptr_t)LOCK_STATE, (intptr_t) "", 0};
  int32_t read_lengths[4] = {0, 0, 0, 0};
  Expect("ReadValue of the lock", Do(VELMORABLE_METHOD_READ_VALUE, lock_state, read_lengths), 0);
  Expect("the lock's value length", read_lengths[3], 1);

  intptr_t no_filter[1] = {(intptr_t) ""};
  Expect("StartScanning", Do(VELMORABLE_METHOD_START_SCANNING, no_filter, no_lengths), 0);
  for (int i = 0; i < SCAN_STEPS; ++i) (void)Do(VELMORABLE_METHOD_PROCESS_EVENTS, NULL, NULL);
  Expect("Scanning", (int32_t)VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SCANNING, 0), 1);

  const char* tree = NULL;
  Expect("GattObjTreeInfo", Config("GattObjTreeInfo", &tree), 0);
  Expect("the tree names the lock's events", tree != NULL && strstr(tree, "ID=" LOCK_EVENTS) != NULL, 1);

  /* Still subscribed and scanning. */
  Expect("Destroy", VelmoraBLE_BLEClient_Destroy(client), 0);
  printf("Walked: %d advertisements while scanning.\n", atomic_load(&advertisements));
  return 0;
}
