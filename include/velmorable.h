/*
 * VelmoraBLE: a Bluetooth Low Energy GATT client behind sixteen C functions.
 *
 * An application creates a client with an event sink, calls numbered methods (VelmoraBLE_BLEClient_Do),
 * reads and writes numbered properties (VelmoraBLE_BLEClient_Get / _Set), receives numbered events through
 * the sink, and destroys the client. Each client keeps the code and text of its last error.
 *
 * Text: narrow text crosses the interface in the client's code page (65001, UTF-8, after Create; change it
 * with the Config setting "CodePage"). Method and property ids above 10000 select the UTF-16 variant of the
 * same id: its texts, in and out, are NUL-terminated UTF-16 in 16-bit units (uint16_t). Property ids above
 * 20000 select the narrow variant explicitly.
 *
 * Memory: every text or byte pointer that a function returns belongs to the client. It stays valid for the
 * thread that received it until the same value is produced again for that thread (the next read of the same
 * property, the next call of the same kind) or the client is destroyed; a narrow property text read on the
 * application's thread stays valid until the value itself changes. What the calls of a sink on a platform
 * thread return is valid at most until that sink returns. Nothing returned is freed by the application.
 *
 * Threads: a client is used by one application thread at a time. Events arrive on that thread while a method
 * runs, and on platform threads for notifications (advertisements, values, connection changes, pairing); the sink
 * must tolerate both, and may call the client back from either. Events on several platform threads may run at the
 * same time; the library holds no lock of its own while the sink runs. Each thread's calls keep their own last
 * error: the calls that a sink makes on a platform thread, on the client whose event it runs or on any other
 * client, record their code and text, and keep the texts that Get and Config hand out, apart from that client's
 * application thread, for as long as that event is being delivered. So GetLastError and GetLastErrorCode always
 * describe the calling thread's own last call on that client, and a text read on the application's thread is
 * never rewritten by a sink. The event error is one per client, shared by every thread. From a platform thread, a
 * sink should keep to Config queries (and the in-event settings), Get, CheckIndex, the error functions and
 * VelmoraBLE_EvtStr: a method or Set that changes the connection, the selection or the GATT tree runs at the same
 * time as the application thread's own calls, which then see the change mid-way.
 *
 * Scanning and threads: StopScanning on the application's thread returns 0 once the scan has stopped and no
 * Advertisement of it is being delivered on another thread; no Advertisement of that scan reaches the sink
 * after that (those the platform received but had not yet delivered are dropped). Each of its two waits, for
 * the platform to stop the scan and for those deliveries, is bounded by Timeout (60 s when Timeout is 0); when
 * one runs out, StopScanning returns 301 "Timeout.". StopScanning from a sink on a platform thread, whichever
 * client's event it runs in, only requests the stop and returns 0 at once: the platform may end the scan on
 * that very thread, so StopScan follows once the sink has returned; Connect from a sink (after an
 * Advertisement, say) stops a running scan the same way and goes on. StartScanning while that stop is still
 * under way waits for the stop (not for a scan started again meanwhile) on the application's thread, and then
 * starts the scan, or returns 0 when a sink has started it again from StopScan; from a sink on a platform
 * thread it cannot wait and returns 614 ("Scanning is still stopping; start it again once the StopScan event
 * has arrived."), starting nothing: a sink that changes the filter starts the new scan from the StopScan
 * event. So a 0 from StartScanning is never swallowed by a stop in progress. The events of one scan never mix
 * with those of the next: before its StartScan comes the last scan's StopScan (StartScanning fires it itself
 * when the platform's report of the stop is still on its way, which then raises none), and on the application's
 * thread StartScanning first waits for the last scan's Advertisements still being delivered. Those waits are
 * bounded by Timeout too, and StartScanning returns 301 "Timeout." when one runs out. An Advertisement of the
 * new scan may arrive before its StartScan, which follows once the platform reports the scan started.
 *
 * Disconnect (and the disconnect that Connect makes first) waits for the events of the connection that other
 * threads are delivering, so that none of them (a Value above all) reaches the sink once it has returned.
 * Called from inside a sink it cannot wait for the event it runs in, which ends after it; Destroy, once
 * begun, ends the wait. It waits twice: before it closes the link, for the events being delivered, and after
 * it has dropped the device, for the device's own events (a status or name change) that came in meanwhile;
 * each wait is bounded by Timeout on its own (60 s when Timeout is 0), and when the first runs out the second
 * is not made. A sink that is still delivering then (one that waits for the application's thread, say) does
 * not hold Disconnect longer. The connection is closed and Disconnected fired all the same, and Disconnect
 * returns 301 "Timeout." (a Connect that disconnected first returns it too, without connecting): the events
 * that were being delivered may still reach the sink after it returns, but no later event of that connection
 * does, and nothing they do reaches the next connection (no subscription state is listed for it).
 *
 * A sink's Get while the application thread changes the tree (Disconnect, Connect, a discovery): Get takes
 * the item at the index as the list holds it at that instant and copies the text out of that one item for
 * the calling thread, so the answer is the value before the change, the value after it, or, while the index
 * is outside the list (emptied by Disconnect and not yet discovered again), an empty text with the calling
 * thread's last error code 432. It is never a mix of two items, a text freed meanwhile, or null. An index
 * names a position, not an object: after a discovery it names whatever the list now holds there. Once
 * VelmoraBLE_BLEClient_Destroy has begun, the calls of a sink that is still running are refused without
 * touching the client: Do, Set and CheckIndex return 200, Get returns an empty text for a text property (the
 * version marker for property 0) and 0 for any other, and none of them records a last error.
 */
#ifndef VELMORABLE_H_
#define VELMORABLE_H_

#include <stdint.h>

/* VELMORABLE_EXPORT marks the library's exported functions; everything else in it is hidden. */
#ifndef VELMORABLE_EXPORT
#if defined(__GNUC__) || defined(__clang__)
#define VELMORABLE_EXPORT __attribute__((visibility("default")))
#else
#define VELMORABLE_EXPORT
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The client handle returned by VelmoraBLE_BLEClient_Create. */
typedef struct VelmoraBLE_BLEClient VelmoraBLE_BLEClient;

/* An in/out text record handed to the sink (the PIN of the PairingRequest event); reach it only through
 * VelmoraBLE_EvtStr. The record itself is valid until the sink returns. */
typedef struct VelmoraBLE_EventString VelmoraBLE_EventString;

/* The event sink: called with the context given to Create, the event id (VELMORABLE_EVENT_...), the number of
 * parameters, the parameter slots and their byte lengths. A slot holds a text pointer, an integer in its low
 * 32 bits, a byte pointer (its count in cbparams, with a zero byte after the bytes) or, for the PIN, a
 * VelmoraBLE_EventString pointer. In/out values are read back from the slots after the sink returns.
 * Return 0 when the event was handled; any other value is recorded as an event error (once, until the
 * application empties the event error text) and reported through the Error event. */
typedef int32_t (*VelmoraBLE_Sink)(void* context, int32_t event_id, int32_t param_count, intptr_t* params,
                                   int32_t* cbparams);

/* Options of VelmoraBLE_BLEClient_Create. */
#define VELMORABLE_OPTION_UTF16_EVENTS 1 /* event text parameters arrive as UTF-16 */

/* Method ids of VelmoraBLE_BLEClient_Do; add VELMORABLE_UTF16_VARIANT for the UTF-16 variant. */
#define VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE 2
#define VELMORABLE_METHOD_CONFIG 3
#define VELMORABLE_METHOD_CONNECT 4
#define VELMORABLE_METHOD_DISCONNECT 5
#define VELMORABLE_METHOD_DISCOVER 6
#define VELMORABLE_METHOD_DISCOVER_CHARACTERISTICS 7
#define VELMORABLE_METHOD_DISCOVER_DESCRIPTORS 8
#define VELMORABLE_METHOD_DISCOVER_SERVICES 9
#define VELMORABLE_METHOD_PROCESS_EVENTS 10
#define VELMORABLE_METHOD_POST_VALUE 11
#define VELMORABLE_METHOD_READ_CHARACTERISTIC_VALUE_AT 12
#define VELMORABLE_METHOD_READ_DESCRIPTOR_VALUE_AT 13
#define VELMORABLE_METHOD_READ_VALUE 14
#define VELMORABLE_METHOD_SELECT 15
#define VELMORABLE_METHOD_START_SCANNING 16
#define VELMORABLE_METHOD_STOP_SCANNING 17
#define VELMORABLE_METHOD_SUBSCRIBE 18
#define VELMORABLE_METHOD_UNSUBSCRIBE 19
#define VELMORABLE_METHOD_WRITE_VALUE 20
/* Converts narrow text to UTF-16 with the client's code page; never recorded as the last error. */
#define VELMORABLE_METHOD_TEXT_TO_UTF16 2003

/* Parameter slots of each method: VelmoraBLE_BLEClient_Do reads and writes params[0 .. N-1] and
 * cbparams[0 .. N-1] of method id (and of its UTF-16 variant) for N = VELMORABLE_METHOD_..._SLOTS, whatever
 * param_count says: param_count is not checked, except by method 2003, which demands 2 (and uses 3 slots).
 * Both arrays must hold at least N entries; ids that are no method use none. Slot contents, "out" where the
 * method writes the slot:
 *   2 QuerySubscriptionState: characteristic index, out state        3 Config: setting, out reply text
 *   4 Connect: server id                         5 Disconnect, 10 ProcessEvents, 17 StopScanning: no slots
 *   6 Discover: service UUIDs, characteristic UUIDs, include descriptors (int), service id
 *   7 DiscoverCharacteristics: service id, characteristic UUIDs
 *   8 DiscoverDescriptors: service id, characteristic id             9 DiscoverServices: service UUIDs, service id
 *   11 PostValue: service id, characteristic id, bytes (length in cbparams[2])
 *   12, 13 Read...ValueAt: index, out bytes (length out in cbparams[1])
 *   14 ReadValue: service id, characteristic id, descriptor id, out bytes (length out in cbparams[3])
 *   15 Select, 18 Subscribe, 19 Unsubscribe: service id, characteristic id    16 StartScanning: service UUIDs
 *   20 WriteValue: service id, characteristic id, descriptor id, bytes (length in cbparams[3])
 *   2003: narrow source (length in cbparams[0]), UTF-16 destination (capacity in cbparams[1]), out unit count */
#define VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE_SLOTS 2
#define VELMORABLE_METHOD_CONFIG_SLOTS 2
#define VELMORABLE_METHOD_CONNECT_SLOTS 1
#define VELMORABLE_METHOD_DISCONNECT_SLOTS 0
#define VELMORABLE_METHOD_DISCOVER_SLOTS 4
#define VELMORABLE_METHOD_DISCOVER_CHARACTERISTICS_SLOTS 2
#define VELMORABLE_METHOD_DISCOVER_DESCRIPTORS_SLOTS 2
#define VELMORABLE_METHOD_DISCOVER_SERVICES_SLOTS 2
#define VELMORABLE_METHOD_PROCESS_EVENTS_SLOTS 0
#define VELMORABLE_METHOD_POST_VALUE_SLOTS 3
#define VELMORABLE_METHOD_READ_CHARACTERISTIC_VALUE_AT_SLOTS 2
#define VELMORABLE_METHOD_READ_DESCRIPTOR_VALUE_AT_SLOTS 2
#define VELMORABLE_METHOD_READ_VALUE_SLOTS 4
#define VELMORABLE_METHOD_SELECT_SLOTS 2
#define VELMORABLE_METHOD_START_SCANNING_SLOTS 1
#define VELMORABLE_METHOD_STOP_SCANNING_SLOTS 0
#define VELMORABLE_METHOD_SUBSCRIBE_SLOTS 2
#define VELMORABLE_METHOD_UNSUBSCRIBE_SLOTS 2
#define VELMORABLE_METHOD_WRITE_VALUE_SLOTS 4
#define VELMORABLE_METHOD_TEXT_TO_UTF16_SLOTS 3

/* Id offsets selecting a variant of a method or property. */
#define VELMORABLE_UTF16_VARIANT 10000  /* texts in and out as UTF-16 */
#define VELMORABLE_NARROW_VARIANT 20000 /* properties only: texts out as narrow text */

/* Property ids of VelmoraBLE_BLEClient_Get, _Set and _CheckIndex. */
#define VELMORABLE_PROP_VERSION 0 /* the version marker text; narrow in both variants */
#define VELMORABLE_PROP_ACTIVE_SCANNING 1
#define VELMORABLE_PROP_CHARACTERISTIC 2
#define VELMORABLE_PROP_CHARACTERISTIC_COUNT 3
#define VELMORABLE_PROP_CHARACTERISTIC_CAN_SUBSCRIBE 4
#define VELMORABLE_PROP_CHARACTERISTIC_DESCRIPTION 5
#define VELMORABLE_PROP_CHARACTERISTIC_FLAGS 6
#define VELMORABLE_PROP_CHARACTERISTIC_ID 7
#define VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION 8
#define VELMORABLE_PROP_CHARACTERISTIC_UUID 9
#define VELMORABLE_PROP_CHARACTERISTIC_VALUE_EXPONENT 10
#define VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT 11
#define VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_COUNT 12
#define VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_INDEX 13
#define VELMORABLE_PROP_CHARACTERISTIC_VALUE_UNIT 14
#define VELMORABLE_PROP_DESCRIPTOR_COUNT 15
#define VELMORABLE_PROP_DESCRIPTOR_DESCRIPTION 16
#define VELMORABLE_PROP_DESCRIPTOR_ID 17
#define VELMORABLE_PROP_DESCRIPTOR_UUID 18
#define VELMORABLE_PROP_SCANNING 19
#define VELMORABLE_PROP_SERVER_ID 20
#define VELMORABLE_PROP_SERVER_NAME 21
#define VELMORABLE_PROP_SERVICE 22
#define VELMORABLE_PROP_SERVICE_COUNT 23
#define VELMORABLE_PROP_SERVICE_DESCRIPTION 24
#define VELMORABLE_PROP_SERVICE_ID 25
#define VELMORABLE_PROP_SERVICE_INCLUDED_SVC_IDS 26
#define VELMORABLE_PROP_SERVICE_PARENT_SVC_IDS 27
#define VELMORABLE_PROP_SERVICE_UUID 28
#define VELMORABLE_PROP_TIMEOUT 29 /* seconds */
#define VELMORABLE_PROP_CODE_PAGE 8000

/* Event ids passed to the sink. Parameters in slot order ("int" in the low 32 bits of the slot, "bytes" with
 * their count in cbparams, every other parameter a text):
 * Advertisement: server id, name, RSSI (int), TX power (int), service UUIDs, service data UUIDs, solicited
 *   service UUIDs, manufacturer company id (int), manufacturer data (bytes), connectable (int), scan response (int)
 * Connected, Disconnected: status code (int), description
 * Discovered: kind (int: 0 service, 1 characteristic, 2 descriptor), service id, characteristic id, descriptor
 *   id, UUID, description
 * Error, StopScan: error code (int), description
 * Log: log level (int), message, log type
 * PairingRequest: server id, pairing kind (int), PIN (in/out VelmoraBLE_EventString*), accept (in/out int)
 * ServerUpdate: name, changed services
 * StartScan: service UUIDs
 * Subscribed, Unsubscribed: service id, characteristic id, UUID, description
 * Value: service id, characteristic id, descriptor id, UUID, description, value (bytes)
 * WriteResponse: service id, characteristic id, descriptor id, UUID, description */
#define VELMORABLE_EVENT_ADVERTISEMENT 1
#define VELMORABLE_EVENT_CONNECTED 2
#define VELMORABLE_EVENT_DISCONNECTED 3
#define VELMORABLE_EVENT_DISCOVERED 4
#define VELMORABLE_EVENT_ERROR 5
#define VELMORABLE_EVENT_LOG 6
#define VELMORABLE_EVENT_PAIRING_REQUEST 7
#define VELMORABLE_EVENT_SERVER_UPDATE 8
#define VELMORABLE_EVENT_START_SCAN 9
#define VELMORABLE_EVENT_STOP_SCAN 10
#define VELMORABLE_EVENT_SUBSCRIBED 11
#define VELMORABLE_EVENT_UNSUBSCRIBED 12
#define VELMORABLE_EVENT_VALUE 13
#define VELMORABLE_EVENT_WRITE_RESPONSE 14
#define VELMORABLE_EVENT_PLATFORM_REQUEST 2004 /* reserved; never raised */

/* Operations and kinds of VelmoraBLE_EvtStr. */
#define VELMORABLE_EVTSTR_GET 0
#define VELMORABLE_EVTSTR_SET_BY_REFERENCE 1
#define VELMORABLE_EVTSTR_SET_BY_COPY 2
#define VELMORABLE_EVTSTR_NARROW 1
#define VELMORABLE_EVTSTR_UTF16 2

/* Operations of VelmoraBLE_Stream. */
#define VELMORABLE_STREAM_TRANSFER_A 500
#define VELMORABLE_STREAM_TRANSFER_B 501
#define VELMORABLE_STREAM_POSITION 502
#define VELMORABLE_STREAM_CONTROL 503
#define VELMORABLE_STREAM_CLOSE 504
#define VELMORABLE_STREAM_QUERY_FLAG 505
#define VELMORABLE_STREAM_QUERY_64 506
#define VELMORABLE_STREAM_SET_64 507
#define VELMORABLE_STREAM_ERROR_TEXT 508
#define VELMORABLE_STREAM_ERROR_CODE 509

/* The argument record of VelmoraBLE_Stream. */
typedef struct VelmoraBLE_StreamArg {
  void* data;
  int32_t length;
} VelmoraBLE_StreamArg;

/* VelmoraBLE_BLEClient_Create returns a new client that sends its events to sink (null: events are dropped)
 * with context, or null when memory runs out. options: VELMORABLE_OPTION_UTF16_EVENTS or 0. The application
 * owns the handle until VelmoraBLE_BLEClient_Destroy. */
VELMORABLE_EXPORT VelmoraBLE_BLEClient* VelmoraBLE_BLEClient_Create(VelmoraBLE_Sink sink, void* context,
                                                                    uint32_t options);

/* VelmoraBLE_BLEClient_Destroy frees the client and returns 0 (0 for a null handle too). Events running on
 * other threads are waited for, and no event reaches the sink once it has returned. Called from inside the
 * sink, it returns at once and the client is freed when the current call or event ends. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_Destroy(VelmoraBLE_BLEClient* client);

/* VelmoraBLE_BLEClient_Do runs method method_id (VELMORABLE_METHOD_...) with the parameter slots params and
 * their byte lengths cbparams (VELMORABLE_METHOD_..._SLOTS entries each); out values are written back into
 * them. Returns the method's result code (0 on success), which is also stored as the calling thread's last
 * error code (except for method 2003); 200 for a null handle. A UTF-16 text argument that the code page
 * cannot represent gives 434 with a text naming the argument, and the method does not run. Out texts and
 * bytes belong to the client. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_Do(VelmoraBLE_BLEClient* client, int32_t method_id,
                                                  int32_t param_count, intptr_t* params, int32_t* cbparams);

/* VelmoraBLE_BLEClient_Get returns property property_id (VELMORABLE_PROP_...) at index: a text pointer owned by
 * the client for text properties, else the value itself; 0 for a null handle. For a text property it returns
 * null only for a null handle: an index outside the collection (last error 432), running out of memory (200)
 * and a call refused during Destroy (see Threads above) each give an empty text of the variant asked for. */
VELMORABLE_EXPORT intptr_t VelmoraBLE_BLEClient_Get(VelmoraBLE_BLEClient* client, int32_t property_id,
                                                    int32_t index);

/* VelmoraBLE_BLEClient_Set sets property property_id at index to value (a text pointer, copied, or the integer
 * itself). Returns the result code; -1 for a property that cannot be set; 200 for a null handle. A
 * CharacteristicCount above 65535 (more than a server can hold) gives 432 and changes nothing. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_Set(VelmoraBLE_BLEClient* client, int32_t property_id,
                                                   int32_t index, intptr_t value);

/* VelmoraBLE_BLEClient_CheckIndex returns 0 when index is valid for property_id, else 280 with the last error
 * text set; 200 for a null handle. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_CheckIndex(VelmoraBLE_BLEClient* client, int32_t property_id,
                                                          int32_t index);

/* VelmoraBLE_BLEClient_GetLastError returns the calling thread's last error text ("" when none), owned by the
 * client and valid until that thread's next call on it; null for a null handle. */
VELMORABLE_EXPORT const char* VelmoraBLE_BLEClient_GetLastError(VelmoraBLE_BLEClient* client);

/* VelmoraBLE_BLEClient_GetLastErrorCode returns the calling thread's last error code; 200 for a null handle. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_GetLastErrorCode(VelmoraBLE_BLEClient* client);

/* VelmoraBLE_BLEClient_SetLastErrorAndCode sets the last error text (copied; null gives "") and code and returns
 * code; 200 for a null handle. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_SetLastErrorAndCode(VelmoraBLE_BLEClient* client, int32_t code,
                                                                   const char* text);

/* VelmoraBLE_BLEClient_GetEventError returns a copy of the event error text ("" when none), owned by the client
 * and valid until the calling thread's next GetEventError; null for a null handle. */
VELMORABLE_EXPORT const char* VelmoraBLE_BLEClient_GetEventError(VelmoraBLE_BLEClient* client);

/* VelmoraBLE_BLEClient_GetEventErrorCode returns the event error code; 200 for a null handle. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_GetEventErrorCode(VelmoraBLE_BLEClient* client);

/* VelmoraBLE_BLEClient_SetEventErrorAndCode sets the event error text (copied; null gives "") and code and
 * returns code; 200 for a null handle. A sink calls it to report its own failure: while the event error text
 * is not empty, a nonzero sink result is not reported again. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_SetEventErrorAndCode(VelmoraBLE_BLEClient* client, int32_t code,
                                                                    const char* text);

/* VelmoraBLE_BLEClient_StaticInit runs the library start-up (also run when the library is loaded; counted, so
 * extra calls only count) and returns 0. module may be null. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_StaticInit(void* module);

/* VelmoraBLE_BLEClient_StaticDestroy undoes one VelmoraBLE_BLEClient_StaticInit and returns 0; an unmatched call
 * does nothing. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_StaticDestroy(void);

/* VelmoraBLE_EvtStr reads or sets an in/out text record of an event. operation VELMORABLE_EVTSTR_GET returns
 * the text in kind (VELMORABLE_EVTSTR_NARROW or _UTF16), converting a text held in the other kind into a copy
 * owned by the record; null when the record holds nothing or the conversion failed. SET_BY_REFERENCE holds the
 * pointer value without copying: the text must stay valid after the sink returns, until the library has taken
 * it (it reads the text as soon as the sink returns and keeps no pointer to it after that), so it must not
 * live in the sink's own stack frame; hand over such a buffer with SET_BY_COPY, which holds a copy of the text
 * at once (null only clears). Set operations return null. A null record, another operation or kind gives
 * null. */
VELMORABLE_EXPORT void* VelmoraBLE_EvtStr(VelmoraBLE_EventString* record, int32_t operation, const void* value,
                                          int32_t kind);

/* VelmoraBLE_Stream calls operation (VELMORABLE_STREAM_...) of a host stream object: a C++ object whose table
 * of virtual operations holds, in this order: two unused slots; release(int flags); error text; error code;
 * one unused slot; a boolean query(int); a 64-bit query; a 64-bit set; transfer(pointer, length) twice;
 * position(int64, int); control(0, arg, out); close. The host declares no virtual destructor. Returns the
 * operation's result (0 for an unknown operation). With a null stream: -1, except that 504 returns 0, 505 sets
 * the byte *out to 0, 508 sets the const char* *out to "Invalid stream pointer." and 509 sets the int32 *out
 * to -1, each returning 0. */
VELMORABLE_EXPORT int32_t VelmoraBLE_Stream(void* stream, int32_t operation, VelmoraBLE_StreamArg* arg, void* out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VELMORABLE_H_ */
