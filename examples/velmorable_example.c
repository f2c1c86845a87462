/*
 * The VelmoraBLE example: a heart-rate monitor session from scan to disconnect, through the public header only.
 *
 *   velmorable_example [scenario-file] [--pair [--pin <digits>]]
 *   VELMORABLE_BT_BACKEND=bluez velmorable_example [--pair [--pin <digits>]]   (the machine's bluetoothd)
 *
 * It scans for a few seconds and prints each advertisement, connects to the device that advertises the Heart
 * Rate service (else to the first connectable one), discovers its services, characteristics and descriptors,
 * loads each characteristic's properties, prints the GATT tree, reads the battery level, subscribes to the
 * heart-rate measurement, prints ten beats per minute, unsubscribes and disconnects. On a failure it prints the
 * step, the result code and the last-error text and exits with 1.
 *
 * With --pair it pairs while connecting: a PIN the device asks for is the one given with --pin, a PIN the
 * device shows is printed and accepted. Once paired it also reads the lock characteristic, which the
 * pin_pairing scenario's device only lets paired clients read.
 *
 * A scenario file that does not load (it cannot be opened or read, or a line of it is not valid) ends it with 2
 * and one line on standard error that names the file (and the line, for content that is not valid). A PIN
 * request without --pin and bad arguments end it with 2 as well.
 *
 * Events reach the sink on this thread while a method runs and on the radio's threads otherwise, so everything
 * the sink shares with main() is kept under one mutex, which main() never holds across a library call.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "velmorable.h"
#ifdef VELMORABLE_EXAMPLE_SCENARIO_CHECK
#include "scenario_check.h"
#endif

#define SCAN_SECONDS 3
#define WANTED_BEATS 10
#define BEAT_TIMEOUT_SECONDS 30
#define MAX_DEVICES 16
#define MAX_CHARACTERISTICS 64
#define ID_SIZE 40

/* The 128-bit forms of the assigned numbers the example looks for. */
#define BASE_UUID_TAIL "-0000-1000-8000-00805F9B34FB"
#define HEART_RATE_SERVICE "0000180D" BASE_UUID_TAIL
#define HEART_RATE_MEASUREMENT "00002A37" BASE_UUID_TAIL
#define BATTERY_LEVEL "00002A19" BASE_UUID_TAIL
/* The lock characteristic of the pin_pairing scenario: readable once paired. */
#define LOCK_STATE "7A1C0002-5D2E-4B8F-9C3A-1F2E3D4C5B6A"

/* Pairing kinds of the PairingRequest event. */
#define PAIRING_CONFIRM_ONLY 1
#define PAIRING_DISPLAY_PIN 2
#define PAIRING_PROVIDE_PIN 4
#define PAIRING_CONFIRM_PIN_MATCH 8

/* Exit status for a usage error, a scenario that does not load or a PIN that was not given. */
#define EXIT_USAGE 2

typedef struct Device {
  char id[ID_SIZE];
  char name[64];
  int connectable;
  int heart_rate;
} Device;

typedef struct Characteristic {
  char service_id[ID_SIZE];
  char id[ID_SIZE];
  char uuid[40];
} Characteristic;

/* Session: what the sink learns, read by main(). Every field is guarded by `lock`. */
typedef struct Session {
  pthread_mutex_t lock;
  Device devices[MAX_DEVICES];
  int device_count;
  unsigned advertisements;
  char scan_error[256]; /* the text of the last Error event, empty before one */
  Characteristic characteristics[MAX_CHARACTERISTICS];
  int characteristic_count;
  char measurement_id[ID_SIZE]; /* the characteristic whose Value events are heart-rate measurements */
  int beats[WANTED_BEATS];
  int beat_count;
  unsigned malformed_measurements;
  const char* pin;      /* the PIN of --pin, NULL when none was given */
  int32_t pairing_kind; /* the kind of the last PairingRequest, 0 before one */
  int pin_refused;      /* a PIN was asked for while none was given */
} Session;

static void CopyText(char* to, size_t size, const char* from) {
  snprintf(to, size, "%s", from != NULL ? from : "");
}

/* ShortUuid writes a UUID on the Bluetooth base as "0x180D", any other as it is. */
static void ShortUuid(const char* uuid, char* out, size_t size) {
  if (strlen(uuid) == 36 && strcmp(uuid + 8, BASE_UUID_TAIL) == 0 && strncmp(uuid, "0000", 4) == 0) {
    snprintf(out, size, "0x%.4s", uuid + 4);
  } else {
    CopyText(out, size, uuid);
  }
}

/* ShortUuidList writes a comma-separated UUID list with each base UUID shortened. */
static void ShortUuidList(const char* list, char* out, size_t size) {
  size_t used = 0;
  out[0] = '\0';
  while (list != NULL && *list != '\0' && used + 1 < size) {
    const char* comma = strchr(list, ',');
    size_t length = comma != NULL ? (size_t)(comma - list) : strlen(list);
    char one[40];
    char shown[40];
    if (length < sizeof(one)) {
      memcpy(one, list, length);
      one[length] = '\0';
      ShortUuid(one, shown, sizeof(shown));
      used += (size_t)snprintf(out + used, size - used, "%s%s", used > 0 ? " " : "", shown);
    }
    if (comma == NULL) break;
    list = comma + 1;
  }
}

/* HeartRateBpm decodes a Heart Rate Measurement value: flags bit 0 selects a uint8 or a little-endian uint16
 * rate after the flags byte. Returns -1 for a value too short to hold the rate. */
static int HeartRateBpm(const uint8_t* value, int32_t length) {
  if (value == NULL || length < 2) return -1;
  if ((value[0] & 0x01) == 0) return value[1];
  if (length < 3) return -1;
  return value[1] | (value[2] << 8);
}

static void OnAdvertisement(Session* session, const intptr_t* params, const int32_t* cbparams) {
  const char* id = (const char*)params[0];
  const char* name = (const char*)params[1];
  const int32_t rssi = (int32_t)params[2];
  const int32_t tx_power = (int32_t)params[3];
  const char* services = (const char*)params[4];
  const char* service_data = (const char*)params[5];
  const int32_t company = (int32_t)params[7];
  const int connectable = (int32_t)params[9] != 0;
  const int scan_response = (int32_t)params[10] != 0;
  char shown[256];
  char shown_data[256];
  ShortUuidList(services, shown, sizeof(shown));
  ShortUuidList(service_data, shown_data, sizeof(shown_data));

  pthread_mutex_lock(&session->lock);
  ++session->advertisements;
  Device* device = NULL;
  for (int i = 0; i < session->device_count; ++i) {
    if (strcmp(session->devices[i].id, id) == 0) device = &session->devices[i];
  }
  if (device == NULL && session->device_count < MAX_DEVICES) {
    device = &session->devices[session->device_count++];
    memset(device, 0, sizeof(*device));
    CopyText(device->id, sizeof(device->id), id);
  }
  if (device != NULL) {
    if (name != NULL && name[0] != '\0') CopyText(device->name, sizeof(device->name), name);
    if (connectable) device->connectable = 1;
    if (services != NULL && strstr(services, HEART_RATE_SERVICE) != NULL) device->heart_rate = 1;
  }
  printf("  %s  %-16s %4" PRId32 " dBm  %s", id, name != NULL && name[0] != '\0' ? name : "(no name)", rssi,
         scan_response ? "scan response" : connectable ? "connectable" : "not connectable");
  if (shown[0] != '\0') printf("  services %s", shown);
  if (shown_data[0] != '\0') printf("  service data %s", shown_data);
  if (tx_power >= -127 && tx_power <= 127) printf("  tx %" PRId32 " dBm", tx_power);
  if (company >= 0) {
    const uint8_t* data = (const uint8_t*)params[8];
    printf("  manufacturer 0x%04" PRIX32 " data", company);
    for (int32_t i = 0; data != NULL && i < cbparams[8]; ++i) printf(" %02X", data[i]);
  }
  printf("\n");
  pthread_mutex_unlock(&session->lock);
}

static const char* PairingKindName(int32_t kind) {
  switch (kind) {
    case PAIRING_CONFIRM_ONLY:
      return "ConfirmOnly";
    case PAIRING_DISPLAY_PIN:
      return "DisplayPin";
    case PAIRING_PROVIDE_PIN:
      return "ProvidePin";
    case PAIRING_CONFIRM_PIN_MATCH:
      return "ConfirmPinMatch";
    default:
      return "unknown";
  }
}

/* OnPairingRequest answers the request: the PIN of --pin for ProvidePin (refused without one), acceptance for
 * the kinds that only confirm or show a PIN. The answer goes back through the PIN record and the accept slot. */
static void OnPairingRequest(Session* session, intptr_t* params) {
  const char* server_id = (const char*)params[0];
  const int32_t kind = (int32_t)params[1];
  VelmoraBLE_EventString* pin_record = (VelmoraBLE_EventString*)params[2];
  const char* shown = (const char*)VelmoraBLE_EvtStr(pin_record, VELMORABLE_EVTSTR_GET, NULL, VELMORABLE_EVTSTR_NARROW);
  int32_t accept = 0;

  pthread_mutex_lock(&session->lock);
  session->pairing_kind = kind;
  printf("  [pairing request from %s: %s", server_id, PairingKindName(kind));
  switch (kind) {
    case PAIRING_PROVIDE_PIN:
      if (session->pin != NULL) {
        /* A copy: the record keeps the PIN after this sink has returned. */
        (void)VelmoraBLE_EvtStr(pin_record, VELMORABLE_EVTSTR_SET_BY_COPY, session->pin, VELMORABLE_EVTSTR_NARROW);
        accept = 1;
        printf(", answered with the PIN %s]\n", session->pin);
      } else {
        session->pin_refused = 1;
        printf(", refused: no PIN was given]\n");
      }
      break;
    case PAIRING_CONFIRM_ONLY:
      accept = 1;
      printf(", accepted]\n");
      break;
    case PAIRING_CONFIRM_PIN_MATCH:
      accept = 1;
      printf(", the device shows the PIN %s, accepted]\n", shown != NULL ? shown : "");
      break;
    case PAIRING_DISPLAY_PIN:
      accept = 1;
      printf(", enter the PIN %s on the device]\n", shown != NULL ? shown : "");
      break;
    default:
      printf(", refused]\n");
      break;
  }
  fflush(stdout);
  pthread_mutex_unlock(&session->lock);
  params[3] = accept;
}

static void OnValue(Session* session, const intptr_t* params, const int32_t* cbparams) {
  const char* characteristic_id = (const char*)params[1];
  pthread_mutex_lock(&session->lock);
  if (session->measurement_id[0] != '\0' && strcmp(characteristic_id, session->measurement_id) == 0 &&
      session->beat_count < WANTED_BEATS) {
    const int bpm = HeartRateBpm((const uint8_t*)params[5], cbparams[5]);
    if (bpm < 0) {
      ++session->malformed_measurements;
    } else {
      session->beats[session->beat_count++] = bpm;
    }
  }
  pthread_mutex_unlock(&session->lock);
}

static int32_t Sink(void* context, int32_t event_id, int32_t param_count, intptr_t* params, int32_t* cbparams) {
  Session* session = (Session*)context;
  (void)param_count;
  switch (event_id) {
    case VELMORABLE_EVENT_ADVERTISEMENT:
      OnAdvertisement(session, params, cbparams);
      break;
    case VELMORABLE_EVENT_DISCOVERED:
      if ((int32_t)params[0] == 1) {
        pthread_mutex_lock(&session->lock);
        if (session->characteristic_count < MAX_CHARACTERISTICS) {
          Characteristic* c = &session->characteristics[session->characteristic_count++];
          CopyText(c->service_id, sizeof(c->service_id), (const char*)params[1]);
          CopyText(c->id, sizeof(c->id), (const char*)params[2]);
          CopyText(c->uuid, sizeof(c->uuid), (const char*)params[4]);
        }
        pthread_mutex_unlock(&session->lock);
      }
      break;
    case VELMORABLE_EVENT_VALUE:
      OnValue(session, params, cbparams);
      break;
    case VELMORABLE_EVENT_PAIRING_REQUEST:
      OnPairingRequest(session, params);
      break;
    case VELMORABLE_EVENT_CONNECTED:
    case VELMORABLE_EVENT_DISCONNECTED:
    case VELMORABLE_EVENT_ERROR:
    case VELMORABLE_EVENT_STOP_SCAN: {
      /* Status changes reported by the radio; a zero code is the normal end of a scan. */
      const int32_t code = (int32_t)params[0];
      const char* text = (const char*)params[1];
      const char* what = event_id == VELMORABLE_EVENT_CONNECTED      ? (code == 0 ? "connected" : "connection failed")
                         : event_id == VELMORABLE_EVENT_DISCONNECTED ? "disconnected"
                         : event_id == VELMORABLE_EVENT_ERROR        ? "error"
                                                                     : "scan stopped";
      if (event_id == VELMORABLE_EVENT_STOP_SCAN && code == 0) break;
      pthread_mutex_lock(&session->lock);
      if (event_id == VELMORABLE_EVENT_ERROR) CopyText(session->scan_error, sizeof(session->scan_error), text);
      printf("  [%s %" PRId32 "%s%s]\n", what, code, text != NULL && text[0] != '\0' ? ": " : "",
             text != NULL ? text : "");
      pthread_mutex_unlock(&session->lock);
      break;
    }
    default:
      break; /* Log lines and the rest are not shown */
  }
  return 0;
}

static double Now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* Failed prints the step, the result code and the client's last-error text; returns 1 for main(). */
static int Failed(VelmoraBLE_BLEClient* client, const char* step, int32_t code) {
  const char* text = VelmoraBLE_BLEClient_GetLastError(client);
  fflush(stdout);
  fprintf(stderr, "\n%s failed: result %" PRId32 ": %s\n", step, code,
          text != NULL && text[0] != '\0' ? text : "(no error text)");
  return 1;
}

static int32_t Do(VelmoraBLE_BLEClient* client, int32_t method, intptr_t* params, int32_t* cbparams) {
  return VelmoraBLE_BLEClient_Do(client, method, 0, params, cbparams);
}

static int32_t Config(VelmoraBLE_BLEClient* client, const char* setting, const char** reply) {
  intptr_t params[2] = {(intptr_t)setting, 0};
  int32_t cbparams[2] = {0, 0};
  const int32_t code = Do(client, VELMORABLE_METHOD_CONFIG, params, cbparams);
  if (reply != NULL) *reply = params[1] != 0 ? (const char*)params[1] : "";
  return code;
}

/* FindCharacteristic copies the ids of the first discovered characteristic with that UUID; 0 when none. */
static int FindCharacteristic(Session* session, const char* uuid, Characteristic* found) {
  int ok = 0;
  pthread_mutex_lock(&session->lock);
  for (int i = 0; i < session->characteristic_count && !ok; ++i) {
    if (strcmp(session->characteristics[i].uuid, uuid) == 0) {
      *found = session->characteristics[i];
      ok = 1;
    }
  }
  pthread_mutex_unlock(&session->lock);
  return ok;
}

/* PrintTree prints the tree dump with its CR LF line ends as plain lines. */
static void PrintTree(const char* tree) {
  while (*tree != '\0') {
    size_t length = strcspn(tree, "\r\n");
    printf("  %.*s\n", (int)length, tree);
    tree += length;
    if (*tree == '\r') ++tree;
    if (*tree == '\n') ++tree;
  }
}

/* LoadCharacteristicProperties reads the Flags of every characteristic of every service, which loads its
 * properties: the tree dump shows the flags loaded so far and loads none itself. It leaves the last service
 * selected. Returns the result code of the first Select that fails, else 0. */
static int32_t LoadCharacteristicProperties(VelmoraBLE_BLEClient* client) {
  const int32_t services = (int32_t)VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVICE_COUNT, 0);
  for (int32_t s = 0; s < services; ++s) {
    intptr_t select[2] = {VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVICE_ID, s), (intptr_t) ""};
    int32_t no_lengths[2] = {0, 0};
    const int32_t code = Do(client, VELMORABLE_METHOD_SELECT, select, no_lengths);
    if (code != 0) return code;
    const int32_t characteristics = (int32_t)VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0);
    for (int32_t c = 0; c < characteristics; ++c) {
      (void)VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_CHARACTERISTIC_FLAGS, c);
    }
  }
  return 0;
}

/* Scan runs a scan for SCAN_SECONDS and picks the device to connect to into `chosen`; 0 when none. */
static int Scan(VelmoraBLE_BLEClient* client, Session* session, Device* chosen, int32_t* code) {
  printf("Scanning for %d seconds...\n", SCAN_SECONDS);
  /* Active scanning also brings the scan responses (manufacturer and service data). */
  *code = VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_ACTIVE_SCANNING, 0, 1);
  if (*code != 0) return 0;
  intptr_t params[1] = {(intptr_t) ""};
  int32_t cbparams[1] = {0};
  *code = Do(client, VELMORABLE_METHOD_START_SCANNING, params, cbparams);
  if (*code != 0) return 0;
  if (VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SCANNING, 0) == 0) {
    /* The scan's Error event says why (a powered-off adapter, for one); it may still be queued. */
    (void)Do(client, VELMORABLE_METHOD_PROCESS_EVENTS, NULL, NULL);
    char text[320];
    pthread_mutex_lock(&session->lock);
    if (session->scan_error[0] != '\0') {
      snprintf(text, sizeof(text), "The scan did not start. %s", session->scan_error);
    } else {
      snprintf(text, sizeof(text), "The scan did not start.");
    }
    pthread_mutex_unlock(&session->lock);
    *code = VelmoraBLE_BLEClient_SetLastErrorAndCode(client, 613, text);
    return 0;
  }
  const double end = Now() + SCAN_SECONDS;
  while (Now() < end) (void)Do(client, VELMORABLE_METHOD_PROCESS_EVENTS, NULL, NULL);
  *code = Do(client, VELMORABLE_METHOD_STOP_SCANNING, NULL, NULL);
  if (*code != 0) return 0;

  int found = 0;
  pthread_mutex_lock(&session->lock);
  printf("%u advertisement%s from %d device%s.\n", session->advertisements, session->advertisements == 1 ? "" : "s",
         session->device_count, session->device_count == 1 ? "" : "s");
  for (int i = 0; i < session->device_count && !found; ++i) {
    if (session->devices[i].connectable && session->devices[i].heart_rate) {
      *chosen = session->devices[i];
      found = 1;
    }
  }
  for (int i = 0; i < session->device_count && !found; ++i) {
    if (session->devices[i].connectable) {
      *chosen = session->devices[i];
      found = 1;
    }
  }
  pthread_mutex_unlock(&session->lock);
  return found;
}

/* ReadByUuid reads the first discovered characteristic with that UUID into *value and *length (bytes owned
 * by the client). Without one it prints "The device has no <what>." and leaves *value NULL. Returns the
 * read's result code. */
static int32_t ReadByUuid(VelmoraBLE_BLEClient* client, Session* session, const char* uuid, const char* what,
                          const uint8_t** value, int32_t* length) {
  Characteristic found;
  *value = NULL;
  *length = 0;
  if (!FindCharacteristic(session, uuid, &found)) {
    printf("\nThe device has no %s.\n", what);
    return 0;
  }
  intptr_t params[4] = {(intptr_t)found.service_id, (intptr_t)found.id, (intptr_t) "", 0};
  int32_t cbparams[4] = {0, 0, 0, 0};
  const int32_t code = Do(client, VELMORABLE_METHOD_READ_VALUE, params, cbparams);
  if (code != 0) return code;
  static const uint8_t kEmpty[1] = {0};
  *value = params[3] != 0 ? (const uint8_t*)params[3] : kEmpty;
  *length = params[3] != 0 ? cbparams[3] : 0;
  return 0;
}

/* ReadBatteryLevel reads 0x2A19 when the device has it. */
static int32_t ReadBatteryLevel(VelmoraBLE_BLEClient* client, Session* session) {
  const uint8_t* value;
  int32_t length;
  const int32_t code = ReadByUuid(client, session, BATTERY_LEVEL, "Battery Level characteristic", &value, &length);
  if (code != 0 || value == NULL) return code;
  if (length >= 1) {
    printf("\nBattery level: %u %%\n", value[0]);
  } else {
    printf("\nBattery level: (empty value)\n");
  }
  return 0;
}

/* ReadLockState reads the lock characteristic, which needs pairing, when the device has it. */
static int32_t ReadLockState(VelmoraBLE_BLEClient* client, Session* session) {
  const uint8_t* value;
  int32_t length;
  const int32_t code =
      ReadByUuid(client, session, LOCK_STATE, "lock characteristic to read after pairing", &value, &length);
  if (code != 0 || value == NULL) return code;
  printf("\nLock state (readable once paired):");
  for (int32_t i = 0; i < length; ++i) printf(" %02X", value[i]);
  printf("%s\n", length > 0 ? "" : " (empty value)");
  return 0;
}

/* WaitForBeats prints heart-rate measurements as they arrive until WANTED_BEATS were shown or the time runs
 * out. Returns the number shown. */
static int WaitForBeats(VelmoraBLE_BLEClient* client, Session* session) {
  int shown = 0;
  const double start = Now();
  while (shown < WANTED_BEATS && Now() - start < BEAT_TIMEOUT_SECONDS) {
    (void)Do(client, VELMORABLE_METHOD_PROCESS_EVENTS, NULL, NULL);
    pthread_mutex_lock(&session->lock);
    for (; shown < session->beat_count; ++shown) {
      printf("  %2d  %3d bpm   (%.1f s)\n", shown + 1, session->beats[shown], Now() - start);
    }
    pthread_mutex_unlock(&session->lock);
    fflush(stdout);
  }
  return shown;
}

static int RunSession(VelmoraBLE_BLEClient* client, Session* session, int pair) {
  int32_t code = 0;
  Device device;
  const char* reply = NULL;

  if (!Scan(client, session, &device, &code)) {
    if (code != 0) return Failed(client, "Scanning", code);
    fprintf(stderr, "\nNo connectable device was found.\n");
    return 1;
  }
  if (pair) {
    code = Config(client, "PairingMode=1", NULL);
    if (code != 0) return Failed(client, "PairingMode=1", code);
  }
  printf("\nConnecting to %s (%s)%s...\n", device.id, device.name[0] != '\0' ? device.name : "no name",
         pair ? " with pairing" : "");
  intptr_t connect[1] = {(intptr_t)device.id};
  int32_t no_lengths[4] = {0, 0, 0, 0};
  code = Do(client, VELMORABLE_METHOD_CONNECT, connect, no_lengths);
  pthread_mutex_lock(&session->lock);
  const int32_t pairing_kind = session->pairing_kind;
  const int pin_refused = session->pin_refused;
  pthread_mutex_unlock(&session->lock);
  if (code != 0 && pin_refused) {
    fflush(stdout);
    fprintf(stderr, "\nThe device asks for a PIN: pass it with --pin <digits>.\n");
    return EXIT_USAGE;
  }
  if (code != 0) return Failed(client, "Connect", code);
  if (pair && pairing_kind != 0) {
    printf("Paired (%s) and connected.\n", PairingKindName(pairing_kind));
  } else if (pair) {
    printf("Connected; the device asked for no pairing confirmation.\n");
  } else {
    printf("Connected.\n");
  }

  /* Everything: with these settings each service found, root or included, has its characteristics found,
   * and each characteristic its descriptors. */
  static const char* const auto_discover[] = {"AutoDiscoverIncludedServices=1", "AutoDiscoverCharacteristics=1",
                                              "AutoDiscoverDescriptors=1"};
  for (size_t i = 0; i < sizeof(auto_discover) / sizeof(auto_discover[0]); ++i) {
    code = Config(client, auto_discover[i], NULL);
    if (code != 0) return Failed(client, auto_discover[i], code);
  }
  intptr_t discover[4] = {(intptr_t) "", (intptr_t) "", 1, (intptr_t) ""};
  code = Do(client, VELMORABLE_METHOD_DISCOVER, discover, no_lengths);
  if (code != 0) return Failed(client, "Discover", code);
  code = LoadCharacteristicProperties(client);
  if (code != 0) return Failed(client, "Selecting a service", code);
  code = Config(client, "GattObjTreeInfo", &reply);
  if (code != 0) return Failed(client, "GattObjTreeInfo", code);
  printf("\nGATT tree:\n");
  PrintTree(reply);

  code = ReadBatteryLevel(client, session);
  if (code != 0) return Failed(client, "Reading the battery level", code);
  if (pair) {
    code = ReadLockState(client, session);
    if (code != 0) return Failed(client, "Reading the lock characteristic", code);
  }

  Characteristic measurement;
  if (FindCharacteristic(session, HEART_RATE_MEASUREMENT, &measurement)) {
    pthread_mutex_lock(&session->lock);
    CopyText(session->measurement_id, sizeof(session->measurement_id), measurement.id);
    pthread_mutex_unlock(&session->lock);
    printf("\nSubscribing to the heart-rate measurement %s...\n", measurement.id);
    intptr_t ids[2] = {(intptr_t)measurement.service_id, (intptr_t)measurement.id};
    code = Do(client, VELMORABLE_METHOD_SUBSCRIBE, ids, no_lengths);
    if (code != 0) return Failed(client, "Subscribe", code);
    printf("Heart rate:\n");
    const int shown = WaitForBeats(client, session);
    code = Do(client, VELMORABLE_METHOD_UNSUBSCRIBE, ids, no_lengths);
    if (code != 0) return Failed(client, "Unsubscribe", code);
    printf("Unsubscribed.\n");
    if (shown < WANTED_BEATS) {
      fprintf(stderr, "\nOnly %d of %d heart-rate measurements arrived within %d seconds.\n", shown, WANTED_BEATS,
              BEAT_TIMEOUT_SECONDS);
      return 1;
    }
  } else {
    printf("\nThe device has no Heart Rate Measurement characteristic: nothing to subscribe to.\n");
  }

  code = Do(client, VELMORABLE_METHOD_DISCONNECT, NULL, NULL);
  if (code != 0) return Failed(client, "Disconnect", code);
  printf("Disconnected.\n");
  return 0;
}

static int Usage(const char* program) {
  fprintf(stderr, "usage: %s [scenario-file] [--pair [--pin <digits>]]\n", program);
  return EXIT_USAGE;
}

/* IsPin accepts a PIN of 1 to 16 decimal digits. */
static int IsPin(const char* text) {
  const size_t length = strlen(text);
  return length >= 1 && length <= 16 && strspn(text, "0123456789") == length;
}

int main(int argc, char** argv) {
  const char* scenario_arg = NULL;
  const char* pin = NULL;
  int pair = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--pair") == 0) {
      pair = 1;
    } else if (strcmp(argv[i], "--pin") == 0 && i + 1 < argc && IsPin(argv[i + 1])) {
      pin = argv[++i];
    } else if (i == 1 && argv[i][0] != '-') {
      scenario_arg = argv[i];
    } else {
      return Usage(argv[0]);
    }
  }
  if (pin != NULL && !pair) return Usage(argv[0]);
  /* The simulated radio reads its scenario when the library first uses Bluetooth, that is after this. */
  if (scenario_arg != NULL && setenv("VELMORABLE_SIM_SCENARIO", scenario_arg, 1) != 0) {
    perror("setenv");
    return 1;
  }
  /* With VELMORABLE_BT_BACKEND=bluez the library talks to the machine's bluetoothd: no scenario is needed. */
  const char* backend = getenv("VELMORABLE_BT_BACKEND");
  const char* scenario = getenv("VELMORABLE_SIM_SCENARIO");
  if (backend != NULL && strcmp(backend, "bluez") == 0) {
    printf("VelmoraBLE example on BlueZ\n\n");
  } else {
    if (scenario == NULL || scenario[0] == '\0') {
      fprintf(stderr, "No scenario: pass a scenario file or set VELMORABLE_SIM_SCENARIO.\n");
      return EXIT_USAGE;
    }
    FILE* check = fopen(scenario, "r");
    if (check == NULL) {
      fprintf(stderr, "%s: cannot open the file: %s\n", scenario, strerror(errno));
      return EXIT_USAGE;
    }
    fclose(check);
#ifdef VELMORABLE_EXAMPLE_SCENARIO_CHECK
    /* Checked here, as the library would go on with an empty radio. Only the build in the source tree has the
     * check: it uses the simulated radio's own loader, which the installed library does not export, so a build
     * against the installed library alone leaves the reason to the library's message on standard error. */
    char reason[512];
    const int loaded = ExampleCheckScenario(scenario, reason, sizeof(reason));
    if (loaded == EXAMPLE_SCENARIO_UNREADABLE) {
      fprintf(stderr, "%s: cannot read the file\n", scenario);
      return EXIT_USAGE;
    }
    if (loaded != EXAMPLE_SCENARIO_OK) {
      fprintf(stderr, "%s\n", reason);
      return EXIT_USAGE;
    }
#endif
    printf("VelmoraBLE example on the simulated radio, scenario %s\n\n", scenario);
  }

  static Session session;
  if (pthread_mutex_init(&session.lock, NULL) != 0) return 1;
  session.pin = pin;
  VelmoraBLE_BLEClient* client = VelmoraBLE_BLEClient_Create(Sink, &session, 0);
  if (client == NULL) {
    fprintf(stderr, "Could not create a client: out of memory.\n");
    return 1;
  }
  const int status = RunSession(client, &session, pair);
  /* Destroy waits for events still running on the radio's threads; none reaches the sink afterwards. */
  VelmoraBLE_BLEClient_Destroy(client);
  pthread_mutex_destroy(&session.lock);
  if (status == 0) printf("\nDone.\n");
  return status;
}
