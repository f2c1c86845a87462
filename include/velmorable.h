/*
 * VelmoraBLE: a Bluetooth Low Energy GATT client behind sixteen C functions.
 *
 * An application creates a client with an event sink, calls numbered methods (VelmoraBLE_BLEClient_Do),
 * reads and writes numbered properties (VelmoraBLE_BLEClient_Get / _Set), receives numbered events through
 * the sink, and destroys the client. Each client keeps the code and text of its last error.
 *
 * Text: narrow texts cross the interface unconverted: the library takes the application's as they are and hands
 * out its own as it holds them, those that come from the platform (names, descriptions, Log lines and the like) in
 * UTF-8 whatever the code page. The client's code page (65001, UTF-8, after Create; change it with the Config
 * setting "CodePage") is the one the library converts in between narrow text and UTF-16, so under another one a
 * platform text beyond ASCII is right only in its narrow form. Method and property ids above 10000 select the
 * UTF-16 variant of the same id: its texts, in and out, are NUL-terminated UTF-16 in 16-bit units (uint16_t).
 * Property ids above 20000 select the narrow variant explicitly. A UTF-16 character that the code page lacks
 * becomes "?" (with CodePage 1252, a UTF-16 Connect to a CJK character and "A" fails with 202 "Invalid server ID
 * \"?A\"."). The setting CodePage takes any number; under one the system cannot convert, every UTF-16 text fails:
 * Do of a method with a text argument and Set of a text property return 434 (see Result codes below) and do
 * nothing else (method 2003 returns 87), Get gives an empty UTF-16 text (last error code 0), and with
 * VELMORABLE_OPTION_UTF16_EVENTS no event reaches the sink (the event error becomes 434, with the text of a sink
 * that failed: "An unhandled error occurred in the <event> event handler"). Narrow texts are not affected.
 *
 * Memory: every text or byte pointer that a function returns belongs to the client. It stays valid for the
 * thread that received it (the threads other than sinks share one record and count as one: see Threads) until
 * the same value is produced again for that thread (the next read of the same property, the next call of the
 * same kind: ReadValue and the two Read...ValueAt methods are one kind, each read's bytes lasting until the
 * next read) or the client is destroyed; a narrow property text read on the
 * application's thread stays valid until the value itself changes. Reading one property never rewrites the
 * text of another. What the calls of a sink return is valid at most until that sink returns, but for its calls
 * on the client whose method it runs inside (see Threads). Nothing returned is freed by the application.
 *
 * Threads: a client is used by one application thread at a time. Events arrive on the calling thread inside Do (the
 * events of a method, see ProcessEvents below) and inside Get and Set of the characteristic properties, whose first
 * use may look up the characteristic's descriptors (Discovered and Log events); CheckIndex, the error functions,
 * VelmoraBLE_EvtStr, Create and Destroy raise none. So a sink must not wait for a lock that the calling thread holds
 * across Do, Get or Set. Events also arrive on platform threads for notifications (advertisements, values,
 * connection changes, pairing); the sink must tolerate both, and may call the client back from either. Events on
 * several platform threads may run at the same time; the library holds no lock of its own while the sink runs. On
 * the simulated radio and on BlueZ they come on one thread, one after another: a sink that takes long there (a PIN
 * dialog in PairingRequest, slow work for a Value) holds back every client's platform events until it returns, and
 * none is lost. A sink's calls keep their own last error, whatever thread the sink runs on: its calls on any client
 * record their code and text, and keep the texts that Get and Config hand out, apart from that client's application
 * thread, for as long as that event is being delivered (each event starts with code 0 and ""), on the application's
 * thread as on a platform thread; only its calls on the client whose method it runs inside, on that method's thread,
 * use that thread's record, like the method. For the results of its calls a sink thus need not know which thread it
 * runs on; for the rest, the events of a call come on the thread that made it, all others on platform threads. All
 * other threads share the client's one record, as the application's thread does: a second application thread reads
 * the last error (and the texts) of the first one's calls, so a program that uses a client from several threads in
 * turn reads the last error on the thread that made the call, before another thread calls the client. So
 * GetLastError and GetLastErrorCode describe, in a sink, that sink's own last call on that client during the event
 * (inside a method of that client on its thread: that thread's record, like the method), and elsewhere the last call
 * on that client made outside sinks; a text read on the application's thread is never rewritten by a sink on another
 * thread. The event error is one per client, shared by every thread. From a platform thread, a sink should keep to
 * Config queries (and the in-event settings), Get, CheckIndex, the error functions and VelmoraBLE_EvtStr: a method
 * or Set that changes the connection, the selection or the GATT tree runs at the same time as the application
 * thread's own calls, which then see the change mid-way. A sink may destroy its own client or another one (see
 * VelmoraBLE_BLEClient_Destroy); on a platform thread, Destroy never waits.
 *
 * Scanning and threads: a client's scan events enter its sink one at a time, each once the one before has
 * returned, in scan order: a scan's StartScan, its Advertisements, then its Error (when the platform aborted
 * it) and StopScan; the next scan's StartScan follows that StopScan, or comes from within it when its sink
 * starts the next scan. Only the StopScan's sink can: the events of the scan's end that come before it (its
 * Error, the Log lines "Scanning failed to start." and "Scanning stopped." (level 1), the platform's own reason
 * (level 2) and the last count of dropped advertisements) are ahead of that StopScan, and StartScanning from
 * their sinks returns 614 (see below). A scan stopped or ended before it was seen started (an advertisement
 * received before its end shows it started) has only its StopScan; one that starts after StartScanning gave up
 * waiting ("Scanning failed to start.") gets its StartScan, with "Scanning started." (both
 * level 1; every Log line of scanning has the type "Scanning"), before its first Advertisement. Advertisements
 * reach the sink on platform threads only; StartScan and StopScan may also come inside the StartScanning,
 * StopScanning or Connect call that fires them. StopScanning stops the latest scan,
 * also one that a call on any thread is still starting. On the application's thread it returns 0 once that
 * scan's StopScan has returned from the sink, so nothing of that scan follows (also when that sink's start of
 * the next scan failed); it does not wait for a scan that this StopScan's sink starts again, and its stop
 * never stops that scan. StartScanning while a scan runs or is still starting returns 0 and starts nothing;
 * otherwise, on the application's thread, it first waits as StopScanning does for the last scan's StopScan,
 * then starts a scan, or returns 0 when that StopScan's sink started one. So a StartScanning that returns 0
 * there leaves a scan running or starting. The StopScan of a scan that the platform ended (Scanning reads 0)
 * comes after the advertisements the platform received before the end, so that this wait also lasts, up to a
 * second, while a slow sink holds those back. Each such wait ends when what it waits for has come, when Timeout
 * (60 s when Timeout is 0) counted from the call runs out (301 "Timeout."), or when Destroy begins (the call
 * returns 0 at once, StartScanning starting nothing). From a sink on a platform thread (whichever client's
 * event it runs), inside one of the client's own scan events on any thread (StartScan, Advertisement, Error,
 * StopScan and the Log lines that come with them), or inside a Log line that StartScanning fires on its own
 * thread before the platform has the start ("Scanning is starting." and "Passive scanning is not available;
 * scanning actively." at level 2, the scanning parameters at level 3, so none at the default LogLevel 1), these
 * calls do not wait for the call beneath them: StopScanning, and the stop that Connect makes, only request the
 * stop and return 0, its StopScan following once the sink has returned; StartScanning returns 614 ("Scanning is
 * still stopping; start it again once the StopScan event has arrived.") while the last scan is not over, so a sink
 * that changes the filter starts the new scan from StopScan, the Error and Log sinks before it getting 614. An
 * Advertisement that has waited more
 * than 1000 ms since the platform received it is dropped, so that what waits for the sink stays bounded and
 * the newest keep coming however far behind the sink or a platform thread falls. The Log line "Dropped <n>
 * advertisements that waited more than 1000 ms for the Advertisement event handler." (level 2, type
 * "Scanning") counts them, at most once a second while the scan runs and once more before its StopScan. No
 * other event is dropped.
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
 * does, and nothing they do reaches the next connection (no subscription state is listed for it). Where
 * Disconnect removes the bond that Connect made (see Pairing), it also waits for the platform's answer to that
 * removal, as for any platform operation (bounded by Timeout, without bound when Timeout is 0). A connection
 * ends once: a Disconnect made while another one is ending the client's connection (a sink's on a platform
 * thread and the application's, whichever came first) raises nothing and closes nothing; outside sinks it
 * waits until that one has ended (bounded by Timeout, 60 s when Timeout is 0; Destroy ends the wait) and
 * returns 0 (301 "Timeout." when the wait runs out), in a sink it returns 0 at once (a Connect made there
 * whose disconnect first meets one under way returns 608, see Result codes; a Connect to the server whose
 * connection a Disconnect is ending finds it no longer connected as asked). Disconnect raises Disconnected
 * for the connection it ends also when that connection's Connect (on another thread, or the one whose sink
 * disconnects) had not raised Connected yet: that Connect returns 608 and raises none, so the sink reads a
 * Disconnected with no Connected before it.
 *
 * Subscriptions: a client's subscription of a characteristic is its own, also beside other clients of the same
 * device (of this process or, on BlueZ, of other programs). Subscribe asks the platform for one unless this client
 * already holds one of the kind it would ask for, whatever the device's CCCD says, so a Subscribe that returns 0
 * brings Values; a WriteValue of the CCCD that turns notifications on asks too. Values reach only a client that
 * holds a subscription: one that never subscribed, or whose subscription ended, gets none while the device notifies
 * for another client; one holds it once the device has accepted the write, so none comes while the write waits for
 * its answer or after the device refused it (a notification that the device sends before that answer has come is
 * dropped); one that holds one gets whatever the device pushes, notifications or indications (asked for both kinds
 * by different clients, a device picks one). A subscription ends with the client's Unsubscribe (or a WriteValue of
 * the CCCD that turns notifications off), with Disconnect (or a Connect to another server, which disconnects first;
 * neither raises Unsubscribed: Disconnected ends them all), or when the platform ends it: a change of the device's
 * services (on BlueZ, one that removes the characteristic, also to put it back at once), the link's loss on BlueZ,
 * or a platform session that failed; then Error 610 "Notifications of characteristic ID \"<id>\" ended: <reason>."
 * and Unsubscribed come on a platform thread (an Unsubscribe that was waiting for its write then raises no second
 * Unsubscribed; an end that came while a Subscribe, or a WriteValue of the CCCD, had not yet raised its Subscribed,
 * while its write waited for the device's answer or after, comes inside that call, after its Subscribed), the state
 * reads 0, and the next Subscribe asks the platform again; a Subscribe that makes a subscription before the end's
 * Unsubscribed has come (the Error's sink's, say) leaves the end without it, so Subscribed is the last word. An end
 * that the platform reports late, of a subscription that an Unsubscribe had ended before, leaves the subscription
 * that a Subscribe made since. A Subscribe, an Unsubscribe or a WriteValue of the CCCD cut short by a Disconnect or
 * Connect made meanwhile (a sink's, also in its success Log line) returns 608 and raises no Subscribed or
 * Unsubscribed for the next connection. A later Subscribe, Unsubscribe or WriteValue of the CCCD of the same
 * characteristic made while one tells its success (in its Log line's sink, or a sink's on another thread) that
 * raises its own Subscribed or Unsubscribed has the last word: the earlier one returns 0 and raises none after it.
 * QuerySubscriptionState reads what Subscribe,
 * Unsubscribe, a WriteValue of the CCCD or that end left (a Subscribe that failed leaves 0 where nothing was
 * listed); before any of them, its first query reads the device's CCCD, which another client may hold on: 1 then
 * brings no Value, Subscribe does; a state listed while that read waited stands, and the query gives it. A
 * Subscribe, Unsubscribe or WriteValue of the CCCD that the device did not answer (its wait stopped with 301, the
 * device was unreachable, or the platform failed with 610) may have been taken all the same, after it returned:
 * until a later one is accepted, Subscribe and Unsubscribe ask the platform whatever this client holds and its
 * state reads, so that an Unsubscribe still ends a subscription that the device took late. An Unsubscribe, or a
 * WriteValue of the CCCD turning notifications off, whose wait stopped leaves the subscription as it was until
 * the device answers: when it accepts the write then, and no later write was asked for, the subscription this
 * client held ends (its Values stop, the state reads 0) and Unsubscribed comes on a platform thread. A read of
 * the CCCD descriptor gives the device's value and changes no listed state. Unsubscribe without a characteristic id
 * ends the subscriptions this client holds, and those left in doubt as above (of the service given, or of every
 * service), with an Unsubscribed for each; it asks nothing for the other characteristics and leaves their listed
 * state as it is. Unsubscribe naming a characteristic asks the platform to end its notifications and fires
 * Unsubscribed also when this client held no subscription of it, unless its state reads 0 already (and is not in
 * doubt).
 *
 * Unsubscribe (method 19) on the application's thread returns 0 only once no Value of the characteristics it
 * unsubscribed from is in the sink on another thread: a notification that comes after it has recorded a
 * characteristic unsubscribed is dropped, never delivered, and those being delivered are waited for, before
 * Unsubscribed is fired. The wait is bounded by Timeout (60 s when Timeout is 0); when it runs out the
 * subscription has ended all the same and Unsubscribed is fired, but Unsubscribe returns 301 "Timeout.": the
 * Values that were being delivered may still reach the sink after it returns. From a sink on a platform thread
 * it does not wait. This holds whatever state the characteristic is listed in: after an Unsubscribe that
 * returned 301, the next one waits for the Values left. A WriteValue of the CCCD that turns notifications off
 * ends them the same way, with the same wait before its Unsubscribed and WriteResponse (301 "Timeout." when it
 * runs out). The next Subscribe (or a WriteValue of the CCCD that turns notifications on) lets them through
 * again once the device has accepted it. A Value never changes the subscription state that
 * QuerySubscriptionState reads. On BlueZ without a notification socket (see the README), a read of the
 * characteristic by another program on the machine gives a Value as if the device had notified; the client's
 * own reads give none.
 *
 * A sink may Get every property while the application thread changes the tree (Disconnect, Connect, a
 * discovery) and while other threads read the same one: Get takes the item at the index as the list holds it
 * at that instant and copies the text out of that one item for the calling thread, so the answer is the value
 * before the change, the value after it, or, while the index is outside the list (emptied by Disconnect and
 * not yet discovered again), an empty text with the calling thread's last error code 432. It is never a mix
 * of two items, a text freed meanwhile, or null. An index names a position, not an object: after a discovery
 * it names whatever the list now holds there. The properties that look for a standard descriptor of the
 * characteristic when first read (CharacteristicCanSubscribe, CharacteristicFlags,
 * CharacteristicUserDescription, the CharacteristicValue ones), and their Set, wait for such a lookup that
 * another thread has begun on that characteristic (bounded by Timeout, 60 s when Timeout is 0). A sink on a
 * platform thread, and any call on a thread that runs such a lookup itself (a sink inside that lookup's
 * Discovered and Log events, whichever characteristic or client it reads), does not wait: what that lookup's
 * events do may be waiting for the thread, so the call goes on at once without the result (the flags as the
 * platform gives them, the descriptors found so far) and a later one looks again. What a lookup or a
 * discovery begun in one connection finds never enters the next connection's tree (608, see Result
 * codes). A lookup that fails (the device unreachable for a moment) gives its code: Set returns it, and Get
 * leaves it as the calling thread's last error code (the value is then what the platform gives without the
 * descriptor); the next call that needs it looks again. Once
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
/* Converts narrow text to UTF-16 with the client's code page; never recorded as the last error. It converts the
 * cbparams[0] bytes of the source (slot 0) into the destination (slot 1, room for cbparams[1] units), writes no
 * terminating zero, stores the number of units written in slot 2 and returns 0. A capacity of 0 or below only
 * counts: it returns 0 with the number of units needed in slot 2 and writes nothing (the destination may then be
 * null). A destination too small returns 122 with 0 in slot 2, having written part of the text: under code page
 * 65001 the whole characters that fit (a character of two units is not split), under any other code page an
 * undefined part. A source length of 0 returns 0 with 0 units; a source length below 0, a null source or a null
 * destination where a length or capacity above 0 needs one, and missing arrays give 87; a param_count other than
 * 2 gives -1. */
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
 *   2003: narrow source (length in cbparams[0]), UTF-16 destination (capacity in cbparams[1]), out unit count
 * Values of the slots:
 *   The state of QuerySubscriptionState: 1 when the characteristic at the index (of the selected service's
 *     characteristics) is subscribed to, as Subscribe, Unsubscribe, a WriteValue of its CCCD or the end of
 *     the client's subscription left it, else as its Client Characteristic Configuration descriptor on the
 *     device says (read at the first query; another client's subscription may hold it on, see Subscriptions
 *     above); 0 when it is not, when it has neither the Notify nor the Indicate flag (nothing is asked) and on
 *     any failure (432 for an index outside the characteristics).
 *   A UUID list (Discover's service and characteristic UUIDs, DiscoverServices, DiscoverCharacteristics,
 *     StartScanning): UUIDs separated by commas, each of 4, 8 or 32 hexadecimal digits once blanks round it,
 *     "0x" and dashes are dropped (a 16- or 32-bit UUID stands for its Bluetooth base UUID). An empty item is
 *     skipped; one of blanks only fails with 600. An empty list ("" or null) names no UUID and filters
 *     nothing: the discovery finds every object, StartScanning passes every advertisement. A discovery finds
 *     the objects of any UUID listed. StartScanning passes a device when its advertising packet and its scan
 *     response together carry every UUID listed among their service UUIDs ("180D,180F" passes a device that
 *     advertises 180D and names 180F in its scan response, or both in either), and from then on, until that
 *     scan ends, both its packets pass, whatever UUIDs they carry (so the scan responses of a device whose
 *     advertising packet passed pass too). A passive scan (ActiveScanning 0) receives no scan response:
 *     there the advertising packet alone must carry them.
 *   What a discovery adds: each discovery appends the objects it finds to their list (the services; the
 *     characteristics of their service; the descriptors of their characteristic), in the order found, and
 *     removes nothing; an object found again keeps its place (one that the device, its services changed, now
 *     has under an id another UUID had takes that record's place, a characteristic without its old
 *     descriptors). A filtered discovery finds them UUID by UUID, in
 *     the order of its list and not of their handles ("2A1B,2A1A" lists 2A1B first, whatever its handle).
 *     DiscoverCharacteristics with "2A1A,2A1B" and
 *     then with "2A19" lists three characteristics, 2A1A still at index 0; a filtered discovery after an
 *     unfiltered one adds nothing and only raises Discovered again for what it finds (none while
 *     IncludeRediscovered is False). An index names a position in that growing list, which Disconnect (and
 *     the disconnect that Connect makes first) empties.
 *   The service id of Discover and DiscoverServices (read, never written): empty (or null) discovers the root
 *     services; the id of a listed service discovers the services that it includes instead (601 when it is not
 *     listed; the service UUIDs filter them as they filter root services), and Discover then their
 *     characteristics.
 *   The server id of Connect: 12 hexadecimal digits, as the Advertisement event gives them; spaces round them
 *     are dropped, no other white space. The colon form (C0:FF:EE:00:00:21, which scenario files allow and
 *     bluetoothd writes) gives 202 "Invalid server ID ...", as does a tab or any other text: write C0FFEE000021.
 *     An id that is null, empty or spaces only names no server: Connect
 *     returns 0 and does nothing (a connection stays as it is); the id of the server already connected
 *     returns 0 at once. On BlueZ, Connect needs a device that bluetoothd lists or that advertises: one that
 *     bluetoothd has forgotten (about 30 s after it last heard a device it did not pair) is looked for by a
 *     discovery of up to 10 s, within Timeout, and gives 604 when it does not advertise meanwhile.
 *   Connect when a sink destroys the client during it (see VelmoraBLE_BLEClient_Destroy): from inside
 *     Connected it returns 0, the connection being made. From inside PairingRequest the sink's answer, accepted
 *     or not, is declined, as Destroy ends Connect's wait for the pairing (see Pairing below), so nothing is
 *     bonded: Connect returns 301 "Interrupted.", or 604 when the platform's refusal of the pairing comes
 *     before its wait stops for the Destroy.
 *   The ids of Select: Select sets Service and then Characteristic in one call, once connected (605 without a
 *     connection); when either step fails, the whole selection stays as it was, and a service id that names
 *     the selected service (in any case) keeps it and changes Characteristic alone. A null or "" characteristic
 *     id selects the service alone (Characteristic becomes ""); a null or "" service id with it clears the
 *     selection and returns 0, as Select(null, null) does; a characteristic id without a service id fails with
 *     202 "Must supply a service ID.".
 *   The bytes of ReadValue: the value read from the device, of the descriptor when the descriptor id is not
 *     empty, else of the characteristic. ReadValue also raises a Value event with them (its descriptor id ""
 *     for a characteristic), inside the call on the calling thread; Read...ValueAt raise no Value event.
 *   The bytes of WriteValue and PostValue: the value is as many bytes at the pointer as the count in cbparams
 *     says; a count of 0 (with any pointer, null too) writes an empty value. A negative count, or a positive
 *     one with a null pointer, fails with 202, "Invalid value length <count>." or "Must supply the value's
 *     bytes (length <count>).", and nothing is written. WriteValue writes with response: the server confirms
 *     the write, and the WriteResponse event follows on success; it writes the descriptor when the descriptor
 *     id is not empty, else the characteristic. PostValue writes the characteristic without response: nothing
 *     confirms it and no event follows. A characteristic takes a write with response when it has the flag W
 *     (0x8), one without when it has WWR (0x4); the simulated radio refuses the other kind with 703
 *     ("Protocol error returned during communication: [3] {3}. Write not permitted."), so 703 from WriteValue
 *     on a characteristic that has WWR only means that PostValue is the way, and from PostValue on one that
 *     has W only, WriteValue. The simulated radio takes a value of any length. On BlueZ one of more than 65535
 *     bytes fails with 713 (bluetoothd carries no more); WriteValue sends one longer than MaxPduSize - 3 as a
 *     long write, which the device may refuse past its own limit (an ATT value holds at most 512 bytes), and
 *     PostValue takes at most MaxPduSize - 3 bytes (see the README). */
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

/* Config (method 3) reads or changes one setting: params[0] is the setting text, and params[1] receives the
 * reply text, owned by the client and valid until the calling thread's next Config or StartScanning ("" after
 * a set or a failure). The text is parsed as follows:
 *   "Name"        a query: the reply is the value, "True" or "False" for a flag (TimeoutInMilliseconds: "1"
 *                 or "0"), decimal for a number.
 *   "Name=value"  a set, which returns 0: blanks round the name and the value are dropped, and so are double
 *                 quotes round the value. A flag (a setting below whose default is True or False, and
 *                 TimeoutInMilliseconds) is on for "True" or "yes" (any case) or "1", and off for any other
 *                 value ("2", "7", "01" and "on" too). A number is "True"/"yes" (1), "False"/"no" (0),
 *                 hexadecimal after "0x", or else decimal with an optional sign, read up to the first character
 *                 that is no digit. No value is refused: one without digits sets 0 ("abc", or nothing after the
 *                 '='), "12abc" sets 12, one beyond 32 bits keeps its low 32 bits ("99999999999" sets
 *                 1215752191, "0xFFFFFFFFF" sets -1), and a negative one is stored as it is; the settings below
 *                 say what they do with a value outside their range.
 *   "Name[i]"     an index (also "Name(i)"), for the settings that take one; every other setting ignores it
 *                 ("LogLevel[3]=2" sets LogLevel to 2 and returns 0).
 * Names match whole and in any case; a query takes the name as written, blanks included. An unknown name, a
 * value for a setting that is only queried and a query of one that only takes a value give -1 with "Unknown
 * config setting.". A sink on a platform thread keeps to queries (see Threads above).
 * The settings, with their defaults:
 *   AutoDiscoverCharacteristics  False  True: each service a discovery finds gets all its characteristics
 *                                       discovered (Discover's characteristic UUIDs then filter nothing).
 *   AutoDiscoverDescriptors      False  True: each characteristic found gets its descriptors discovered (Discover
 *                                       with its include-descriptors slot nonzero does so for that call only,
 *                                       leaving the setting as it is).
 *   AutoDiscoverIncludedServices False  True: each service found gets its included services discovered; a cycle
 *                                       of included services fails with 609.
 *   IncludeRediscovered          True   False: Discovered is raised only for objects not already in the tree.
 *   LogLevel                     1      the highest level of Log event raised: 0 none, 1 the steps of each
 *                                       operation, 2 details and the backend's own lines, 3 debugging (below
 *                                       0 as 0, above 3 as 3).
 *   PairingMode                  0      1: Connect pairs with the device first (see Pairing below); any other
 *                                       value: Connect does not pair.
 *   PreferIndications            False  True: Subscribe asks a characteristic that has both Notify and Indicate
 *                                       for indications; otherwise it asks for notifications, or indications
 *                                       when the characteristic has only Indicate. On BlueZ, bluetoothd
 *                                       chooses itself and the setting has no effect.
 *   QueryAdditionalDeviceInfo    False  True: an advertisement without a name carries the name the platform
 *                                       knows for the device, looked up (a wait) on the delivering thread.
 *   ScanStartedTimeout           2      StartScanning waits this many seconds for the scan to start (20 polls a
 *                                       second, each a 50 ms pause and a wait step of at most 50 ms, so
 *                                       somewhat longer). A scan
 *                                       that has not started by then, or that the platform ended meanwhile,
 *                                       still returns 0, with the Log line "Scanning failed to start." (level
 *                                       1); one that has not ended may start later and then gets its
 *                                       StartScan with its first advertisement (see Scanning and threads).
 *                                       When the platform's events of a scan it ended are still on their
 *                                       way (held up on its thread), they tell instead: an advertisement
 *                                       received before the end brings the StartScan, and without one the
 *                                       Log line comes with the scan's end, before its Error or StopScan.
 *                                       A stop, or Destroy, ends the wait too. 0 or below: StartScanning
 *                                       looks once and does not wait. A StopScanning on the application's
 *                                       thread (and the stop that Connect makes there) waits for those
 *                                       events of its scan, up to a second (as StartScanning waits for the
 *                                       end of a scan the platform ended), so that its end tells as they do.
 *   SelectWaitMillis             20     milliseconds of one wait step (ProcessEvents, and each step of the
 *                                       library's own waits). 0 or below: a step does not wait, so
 *                                       ProcessEvents returns at once and the library's own waits poll the
 *                                       platform without pause. The library's own waits end as soon as the
 *                                       platform answers, whatever the step (StartScanning's polls for the
 *                                       scan to start excepted: see ScanStartedTimeout), but look at Timeout
 *                                       only between steps: with a step longer than Timeout, a platform that
 *                                       does not answer is waited for one step (0x7FFFFFFF: about 24.8 days,
 *                                       as long as one ProcessEvents then lasts).
 *   TimeoutInMilliseconds        0      a flag, queried as "0" or "1" (so "TimeoutInMilliseconds=7" reads back
 *                                       "0"); on: the Timeout property counts milliseconds. The number keeps its
 *                                       value (a Timeout of 60 then means 60 ms).
 *   CodePage                     65001  the code page of narrow texts; any number is taken (see Text above).
 * Queries only:
 *   GattObjTreeInfo    the GATT tree as text: the line "GATT Object Tree Info [>Services, >>Characteristics,
 *                      >>>Descriptors]:", then one line per service, characteristic and descriptor, each line
 *                      ending in CR LF. A characteristic's line shows its flags as far as they were loaded:
 *                      "Flags=0x0 ()" until its properties were read from the platform, which discovery does
 *                      not do. Get of VELMORABLE_PROP_CHARACTERISTIC_FLAGS or _CAN_SUBSCRIBE at its index
 *                      loads them, and so do QuerySubscriptionState, Subscribe, Unsubscribe and Set of
 *                      VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION on it.
 *   MaxPduSize         the ATT MTU of the selected service's connection; "" while no service is selected.
 *   LastError          the calling thread's last error text (a set is accepted and changes nothing).
 *   BuildInfo          "24.0.9385"; MajorVersion "24". These two are recognised only as the whole text.
 * Inside the Advertisement event only, on the thread that delivers it; anywhere else they give 602 "The <Name>
 * setting is only usable within the Advertisement event handler.":
 *   ManufacturerDataCount     the number of manufacturer data sections of the advertisement.
 *   ManufacturerCompanyId[i]  the company id of section i; an index outside the sections gives 202 "Index '<i>'
 *   ManufacturerData[i]       is invalid for <Name>.". The data is its bytes as they are (a zero byte ends the
 *                             reply text).
 *   ServiceData=<uuid>        a query that takes the UUID as its value: the bytes of the service data for that
 *                             UUID, as they are (a zero byte ends the reply text); 202 "No service data in advertisement for UUID <uuid>." when there is none,
 *                             600 for a text that is no UUID (see Result codes below).
 *   AdvertisementRawData      an HCI LE Advertising Report rebuilt from the advertisement, in lower-case hex:
 *                             event type, address, the flags, TX power, first manufacturer data and 16-bit service
 *                             UUID sections, and RSSI; not the bytes received. Outside the event it gives "" and 0.
 * ActiveScanning and Timeout are properties, not settings (Config answers -1): VELMORABLE_PROP_ACTIVE_SCANNING
 * is 0 (passive scanning, the default) or 1 (active), and cannot be changed while a scan runs or is still
 * starting, also one StartScanning stopped waiting for (602);
 * VELMORABLE_PROP_TIMEOUT, 60 seconds by default, bounds each of the library's waits for the platform; the
 * method then fails, as a rule with 301 "Timeout.". 0 takes that bound from the waits for platform operations.
 * Config also answers the settings of the layers the client is built on: CharsetMode, LogDebugFile,
 * LogDebugOption, ZeroMemory, UseInternalCryptoAPI, UseFIPSCompliantAPI, Allow3DESInFIPS, AbsoluteTimeout,
 * IgnoreExternalEvents, IgnoreOtherWindowEvents, UseWindowsMessages, UseIOCP, the Winsock, QOS and SSL
 * settings, UseIPv6, UseIPv6Int, UseGetAddrInfo, KerberosSPN, UseSystemSSPI, UseDefaultCredentials,
 * ExtendedProtection, ReuseSSLSession, UseInternalSecurityAPI, RecordToFile and RecordToString. A BLE
 * application has no use for them and leaves them at their defaults. */

/* ProcessEvents (method 10) runs one step of the library's wait on the calling thread: it waits the whole
 * SelectWaitMillis milliseconds (20 by default; at 0 or below it returns at once) and returns 0. Events that
 * arrive meanwhile reach the sink on their own threads and do not end the step early; no event of the client
 * waits for it. The events that a method raises (Connected and Disconnected of Connect and Disconnect,
 * Discovered, StartScan, Subscribed, Unsubscribed, WriteResponse, the Value of ReadValue, their Log lines, and
 * the end of a scan (Error, StopScan) that StartScanning, StopScanning or Connect delivers itself, see Scanning
 * and threads) reach the sink inside that method, on the calling thread. All others arrive on the backend's
 * threads, on the simulated radio and on BlueZ alike, whether or not the application calls ProcessEvents:
 * Advertisement, the other ends of scans, the StartScan of a scan that started late, the Value of a
 * notification, Connected "Online" and Disconnected "Offline" of the link, ServerUpdate, PairingRequest, the
 * Error and Unsubscribed of notifications that ended, and the backend's own Log lines. An application
 * therefore needs ProcessEvents only as a pause, in a loop that waits for such events. */

/* Id offsets selecting a variant of a method or property. */
#define VELMORABLE_UTF16_VARIANT 10000  /* texts in and out as UTF-16 */
#define VELMORABLE_NARROW_VARIANT 20000 /* properties only: texts out as narrow text */

/* Property ids of VelmoraBLE_BLEClient_Get, _Set and _CheckIndex, with the type of what Get gives (text: a
 * pointer, UTF-16 in the UTF-16 variant, see Memory above; int: the value itself, in every variant), what the
 * index counts, and whether Set takes the id (Set of any other id gives -1). The indexed collections:
 *   svc  the services discovered, in the order found;
 *   chr  the characteristics of the selected service (VELMORABLE_PROP_SERVICE; none while none is selected);
 *   dsc  the descriptors of the selected characteristic (VELMORABLE_PROP_CHARACTERISTIC).
 * The lists always follow the selection. DiscoverCharacteristics that succeeds selects the service it was
 * given (Characteristic becomes "" unless that service was selected already), and DiscoverDescriptors the
 * characteristic and its service, so that a program that discovers them can walk them by index at once;
 * Discover, the automatic discoveries of the AutoDiscover settings and the descriptor lookups of Get and Set
 * change no selection; what such a lookup finds (a User Description, a presentation format) is added to its
 * characteristic's descriptors, so their DescriptorCount may count some before DiscoverDescriptors.
 * Every other id ignores its index. An object id is a text of 12 upper-case hexadecimal digits: the handles
 * of the service, the characteristic and the descriptor, four digits each ("001000120013" is descriptor
 * 0x0013 of characteristic 0x0012 of service 0x0010; a service's id ends in eight zeros, a characteristic's in
 * four). A UUID is a text in the 128-bit form, upper case ("0000180F-0000-1000-8000-00805F9B34FB"). A text
 * with no value is "".
 *   id   type index Set
 *    0   text  -         the version marker, narrow in every variant
 *    1   int   -    Set  ActiveScanning: 0 passive, 1 active (Set: any nonzero value is 1; see Config above)
 *    2   text  -    Set  Characteristic: the selected characteristic's id; Set selects one of the selected
 *                        service by its id ("" clears)
 *    3   int   -    Set  CharacteristicCount: the number of chr; Set cuts chr or adds empty items (their texts
 *                        "", their ints 0), a negative count empties it, and without chr it does nothing; a
 *                        subscription of a characteristic cut away ends with it, without an event (the
 *                        program's own doing), and a cut selected characteristic is selected no more
 *    4   int   chr       CharacteristicCanSubscribe: 1 when its flags hold N or I, else 0
 *    5   text  chr       CharacteristicDescription: the standard name of its UUID
 *    6   int   chr       CharacteristicFlags: the bits B 0x1 (broadcast), R 0x2 (read), WWR 0x4 (write without
 *                        response), W 0x8 (write), N 0x10 (notify), I 0x20 (indicate), ASR 0x40
 *                        (authenticated signed writes), RW 0x80 (reliable writes), WA 0x100 (writable
 *                        auxiliaries)
 *    7   text  chr       CharacteristicId
 *    8   text  chr  Set  CharacteristicUserDescription: the text of its User Description descriptor (0x2901);
 *                        Set writes it (602 without the WA flag); a null text writes an empty description,
 *                        as "" does
 *    9   text  chr       CharacteristicUuid
 *   10   int   chr       CharacteristicValueExponent: the exponent of the selected presentation format, else 0
 *   11   int   chr       CharacteristicValueFormat: the format of the selected presentation format, 1 to 27 as
 *                        Bluetooth numbers them (4 uint8, 6 uint16, 0x0E sint16, 0x19 UTF-8 text); 0 without
 *                        one or for a number outside 1 to 27
 *   12   int   chr       CharacteristicValueFormatCount: the number of its presentation formats (0x2904)
 *   13   int   chr  Set  CharacteristicValueFormatIndex: the selected presentation format, 0 when it has one,
 *                        else -1; Set takes 0 to the count - 1 (-1 when it has none), else 202
 *   14   text  chr       CharacteristicValueUnit: the unit of the selected presentation format as a UUID
 *                        ("000027AD-0000-1000-8000-00805F9B34FB" for percent), else ""
 *   15   int   -         DescriptorCount: the number of dsc
 *   16   text  dsc       DescriptorDescription: the standard name of its UUID
 *   17   text  dsc       DescriptorId
 *   18   text  dsc       DescriptorUuid
 *   19   int   -         Scanning: 1 while scanning, else 0
 *   20   text  -         ServerId: the connected server's id, its Bluetooth address as 12 hexadecimal digits
 *   21   text  -         ServerName: the connected server's name
 *   22   text  -    Set  Service: the selected service's id; Set selects a service by its id ("" clears the
 *                        selection of both)
 *   23   int   -         ServiceCount: the number of svc
 *   24   text  svc       ServiceDescription: the standard name of its UUID
 *   25   text  svc       ServiceId
 *   26   text  svc       ServiceIncludedSvcIds: the ids of the services it includes, separated by commas
 *   27   text  svc       ServiceParentSvcIds: the ids of the services that include it, separated by commas
 *   28   text  svc       ServiceUuid
 *   29   int   -    Set  Timeout (see Config above): Set takes 0 to 2147483 (less is 0, more is 2147483); a
 *                        wait already under way, on any thread, keeps the bound it took when it began
 * 8000   int   -         the code page (set with the Config setting CodePage)
 * A characteristic's flags and presentation formats are read from the platform when a Get of it first needs
 * them (see GattObjTreeInfo above). */
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
 *   service UUIDs, manufacturer company id (int), manufacturer data (bytes), connectable (int), scan response
 *   (int). TX power is INT32_MIN when the advertisement has no TX Power Level; without manufacturer data the
 *   company id is -1 and the data has no bytes (count 0). Only the first manufacturer data section is here (all
 *   of them: ManufacturerData[i] in Config above). The UUID lists are UUIDs separated by commas. Connectable is
 *   1 when the packet's advertising type accepts a connection (connectable undirected or directed), else 0; a
 *   scan response (scan response 1) has no advertising type of its own and always gives 0, so a device's
 *   connectability is read from its advertising packets, not from its scan responses.
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

/* Pairing. With the Config setting "PairingMode=1", Connect pairs with the device before it connects when the
 * platform offers pairing for it (on BlueZ: when it is not paired yet). The bond that Connect made is removed
 * with the last connection of the process to the device: by Disconnect, or by Destroy of a client still
 * connected, once no other client's connection to the device uses the bond (that one's end removes it then);
 * Destroy, called on the application's thread outside any call of the library, waits for that removal (within
 * Timeout) as Disconnect does. A Connect made while such a removal is under way waits for it (within Timeout)
 * and pairs anew. A device
 * already paired connects as it is, and its bond stays, unless an answer that the sink gave while that Connect
 * waited made it (a request of an earlier pairing of the device that came only then is taken for this
 * Connect's). A Connect whose wait for the pairing stops (301) leaves the bond its pairing made (one that needs
 * no answer, or one the sink answered) to the same rule, as no Disconnect follows: once the platform reports
 * that pairing done with the device paired (by it, or found paired after the sink's answer, as above), it is
 * removed at once, or with the last connection to the device that is still open then. So does a Connect whose
 * pairing fails after the sink has answered (the platform's result fails, or the device is bonded by an earlier
 * pairing's request taken for this Connect's), or after the sink refused a request that the platform did not
 * wait for (on BlueZ, a displayed passkey that the device's user typed): the bond, where there is one, goes
 * with the last connection to the device. A Disconnect ends the pairing of the Connect it cuts short: a request that comes after it is
 * refused and does not reach the sink. With any other PairingMode (0 by default) Connect does not pair. While Connect waits for the pairing, the device's request
 * reaches the sink as PairingRequest on a platform thread: slot 1 holds the pairing kind, slot 2 the PIN
 * record (read and set it through VelmoraBLE_EvtStr), slot 3 the accept flag, 0 on entry, which the sink sets
 * to 1 to go on.
 * The kinds:
 *   1 ConfirmOnly      nothing to show: accept to pair.
 *   2 DisplayPin       the record holds the PIN for the user to enter on the device; accept to go on.
 *   4 ProvidePin       the record holds the empty text ("" from GET): the sink sets the PIN the device expects (SET_BY_COPY, or
 *                      SET_BY_REFERENCE with a text that outlives the sink) and accepts. Accepting without a
 *                      PIN gives no answer, and the pairing is refused.
 *   8 ConfirmPinMatch  the record holds the PIN the device shows; accept when the two match.
 * A request left unaccepted refuses the pairing, and so does an answer that the sink gives once Connect has
 * stopped waiting for the pairing (after Timeout, 301, or once Destroy has begun), even while a later Connect
 * pairs with the same device: it bonds nothing. A pairing that fails (refused, a
 * wrong PIN) fails Connect with 604 "Connection to server ID <id> was unsuccessful, status <status>."
 * (RejectedByHandler, AuthenticationFailure and the like), or "..., status <status>: <reason>." where the
 * backend says why, and a Connected event with the same code and text. On BlueZ the PIN given for a passkey
 * must be one to six decimal digits; any other answer refuses the pairing with the reason "the PIN given is
 * not a passkey (one to six decimal digits)". Which kinds arrive depends on the device and the backend: on
 * BlueZ, ConfirmOnly never does (see the README), a passkey that bluetoothd shows again while the device's
 * user types it gives no new PairingRequest, and a pairing that bluetoothd starts by itself goes to the
 * system's agent, not to the sink. Pairings of several clients at once share the process's one agent on BlueZ,
 * registered with the kinds of the first; bluetoothd asks it one request at a time and refuses a pairing whose
 * request comes while another's waits for its answer. */

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

/* VelmoraBLE_BLEClient_Destroy frees the client and returns 0 (0 for a null handle too). From the moment it
 * begins, the client raises no further event, refuses every later call (Do, Set and CheckIndex return 200,
 * Get an empty value, as said above), and every wait of the library for it ends, for the platform and for other
 * threads: a method that waits on another thread returns, with 301 when it was waiting for the platform. The
 * client is freed once no call (an error function's too) or event is inside it any more, by the last one to
 * leave it; once Destroy has returned, no thread may use the handle but the calls already running on it then.
 * The error functions are not refused: a sink still running reads and sets its error state as before.
 *   On any thread but a platform thread (the application's thread, also inside a sink of its own method),
 * Destroy waits for the client's events that other threads are delivering, so that no event reaches the sink
 * once it has returned (a sink that waits for the calling thread meanwhile holds it for as long). Called from
 * a sink of a method on that thread, it returns once those have left, and the client is freed when that method
 * returns. It does not wait for a sink that waits in turn, in a Destroy of its own, for the calling thread
 * (directly or through other such Destroys): two application threads whose sinks destroy each other's clients
 * at the same time both return, as on platform threads below, and each client is freed once its own event has
 * left.
 *   In a sink on a platform thread (of this client's event or of another client's), Destroy never waits: it
 * returns at once. Events of the client that other platform threads are delivering may still be in its sink
 * (their calls are refused), and a method that the application's thread is running on it returns soon after.
 * Two sinks that destroy each other's clients at the same time both return at once, and each client is freed
 * once its own event has left. The library tells no one when the last of those events has left, nor tells the
 * application's thread that the client is gone: a program whose sink destroys its client on a platform thread
 * keeps what the sink uses until the program ends, and tells the application's thread itself, which must begin
 * no call on the handle after that Destroy. A program that frees what its sink uses has the sink ask the
 * application's thread to call Destroy instead, which returns there only once no event is in the sink.
 *   The texts and bytes that a method hands back (out slots, Get's texts) are freed when it returns if a sink
 * destroyed the client inside that method's own event, or on a platform thread while it ran: they must not be
 * read then. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_Destroy(VelmoraBLE_BLEClient* client);

/* Result codes. Do, Set and CheckIndex return them; the code of Do and of Set is also the calling thread's
 * last error code, with the text below as its last error text (<...> stands for what is filled in). A success
 * (0) leaves the text of the failure before it in place: only the code tells. A failure of Do or Set without a
 * text of its own gets "[<code>] (no description available)".
 *   -1   "Unknown method." (an id that is no method); "Unknown config setting." (Config); Set of a property
 *        that cannot be set (nothing recorded).
 *   200  a null handle, or a call refused while the client is destroyed (nothing recorded); "Out of memory.".
 *   202  an argument missing or malformed: "Must supply a service ID.", "Must supply a characteristic ID.",
 *        "Invalid server ID \"<id>\"." (Connect takes 12 hex digits), "Invalid value format index.",
 *        "Invalid value length <count>." and "Must supply the value's bytes (length <count>)." (WriteValue and
 *        PostValue, see their bytes above), the index and ServiceData texts of the in-event settings (see
 *        Config above); and for a GATT object the platform gave without a handle, "Must supply a non-zero
 *        service handle." or "Must supply a non-zero characteristic handle to supply a non-zero descriptor
 *        handle.".
 *   280  CheckIndex: "Invalid ServiceIndex (out of bounds)." (CharacteristicIndex and DescriptorIndex alike),
 *        set as the last error text; the last error code stays as it was.
 *   301  "Timeout.": a wait that Timeout bounds ran out: for the platform's answer, or, in StopScanning,
 *        StartScanning, Disconnect, Unsubscribe and a WriteValue that turns notifications off, for a stop or for
 *        events that other threads were still delivering (see Threads above); "Interrupted.": a wait for the
 *        platform's answer that Destroy ended (see Destroy below).
 *   432  an index outside its collection, with the texts of 280: Get (which gives an empty text or 0),
 *        ReadCharacteristicValueAt, ReadDescriptorValueAt, QuerySubscriptionState and the indexed Set; a
 *        CharacteristicCount above 65535: "Invalid CharacteristicCount: a server holds at most 65535
 *        characteristics.".
 *   434  a UTF-16 text under a code page the system cannot convert (see Text above; a character the code page
 *        lacks is no failure: it becomes "?"): "The <argument> (parameter <n>) cannot be converted from UTF-16
 *        in code page <code page>." (Do), "The value cannot be converted from UTF-16." (Set).
 *   600  a UUID text that cannot be read: "UUIDs hexadecimal strings must represent either 16-, 32-, or 128-bit
 *        values.", "UUIDs hexadecimal strings must contain only hexadecimal digits.".
 *   601  not discovered: "No service with the ID \"<id>\" has been discovered.", "No characteristic with the ID
 *        \"<id>\" has been discovered for the service with ID \"<id>\".", "No descriptor with the ID \"<id>\" has
 *        been discovered for the characteristic with ID \"<id>\".", "No characteristic has been discovered at
 *        this index.", "No descriptor has been discovered at this index.". An empty (or null) id gives 202
 *        from ReadValue, WriteValue and PostValue ("Must supply a service ID." or "Must supply a characteristic
 *        ID.", PostValue looking at the characteristic id first), and from Select and Unsubscribe for a
 *        characteristic id without a service id; Subscribe, DiscoverCharacteristics and DiscoverDescriptors
 *        look an empty id up like any other and give 601.
 *   602  refused as things stand: "You cannot change the ActiveScanning property while scanning.", "You must
 *        select a service before selecting a characteristic.", "A characteristic cannot be subscribed to unless
 *        it has the 'Notify' and/or 'Indicate' flag set.", "A characteristic's user description cannot be
 *        changed unless it has the 'Writable Auxiliaries' flag set.", and the in-event settings outside the
 *        Advertisement event (see Config above).
 *   603  Error and StopScan events only, for a scan the platform ended: Error "Scanning was aborted for the
 *        following reason: <reason>" and StopScan "<reason>", the reason being the platform's (such as
 *        RadioNotAvailable, DisabledByPolicy, ResourceInUse or OtherError).
 *   604  Connect: "Connection to server ID <id> was unsuccessful." (a device the platform does not know) or
 *        "Connection to server ID <id> was unsuccessful, status <status>." (a failed pairing; "..., status
 *        <status>: <reason>." where the backend says why, see Pairing above), each also raised as a Connected
 *        event.
 *   605  "You must be connected to a server to perform the requested action.".
 *   606  "Error attempting communication: Access denied by system.", "Unknown protocol error <n> (0x<n>)
 *        returned during communication.", "Unknown communication status <n>.", "No result from the platform.".
 *   607  "Error attempting communication: Device unreachable.".
 *   608  a discovery, lookup, read (QuerySubscriptionState's of the device too), write (WriteValue, PostValue),
 *        Subscribe, Unsubscribe or CCCD write cut short by a Disconnect or Connect meanwhile (a sink's, on
 *        whichever thread it runs, also in the call's own Log lines): one cut before it asked the device asks
 *        nothing; one cut after still waits for the platform's answer to what it had asked (within
 *        Timeout), then what it found is added to no tree, a value read is handed out to no one, a write
 *        raises no WriteResponse, what it subscribed to or ended is not reported; it has no text of its own.
 *        Also a GATT call or Connect that a sink makes in an event of a connection that another thread's
 *        Disconnect or Connect has ended since (a Value delivered while a Disconnect gave up waiting for it):
 *        it acts on no later connection (the sink's Disconnect there ends nothing and returns 0).
 *        Also a Connect whose sink connected again from the Disconnected of the connection it ended first: the
 *        sink's connection stays, and this Connect raises no Connected; so does a failing Connect whose sink
 *        connected in its "... was unsuccessful" Log line (no Connected 604 after the sink's Connected); and a
 *        Connect whose sink disconnected (or connected elsewhere) while it paired, or that a Disconnect made
 *        before its Connected (on whichever thread, at any step: the scan's stop, the end of the connection
 *        before, the device's lookup, the pairing, the set-up) ended: it raises no Connected, and the bond its
 *        pairing made goes; and a Connect that a sink's Connect elsewhere overtook while it waited for the
 *        device, or one made in a sink whose disconnect first found another Disconnect still ending the
 *        connection: the sink's connection (or that end) stays as it was made, and this Connect raises no
 *        Connected.
 *   609  "A cycle of included services was detected: <id> < <id> ..." (AutoDiscoverIncludedServices).
 *   610  a platform failure: "Platform error 0x<8 hex digits>.", followed by the platform's text where it gives
 *        one; also the Error event of notifications that ended: "Notifications of characteristic ID \"<id>\"
 *        ended: <the platform's reason>.", followed by Unsubscribed.
 *   611  "Characteristic with ID \"<id>\" does not have a Characteristic User Description descriptor despite
 *        having the 'Writable Auxiliaries' flag set.".
 *   612  an ATT application error (0x80 to 0x9F): "Application-specific protocol error {<n> (0x<n>) returned
 *        during communication. Consult the remote device's documentation for more information.".
 *   613  StartScanning: "No Bluetooth adapter found." (also when the wait for the adapter ran out), "Bluetooth
 *        adapter does not support Low Energy.". StartScanning and Connect, the calls that reach the radio without
 *        a connection, on a simulated radio whose scenario file did not load (docs/sim_scenario.md): "No
 *        Bluetooth adapter found: the scenario file \"<path>\" did not load (line <n>: <reason>)." with the
 *        first line at fault, or "(cannot read the file)." for a file that cannot be read; nothing else is
 *        done (no event), and every later call of either gives it again.
 *   614  StartScanning from a sink (on a platform thread, or inside one of the client's own scan events) while
 *        the last scan is not over: "Scanning is still stopping; start it again once the StopScan event has
 *        arrived.".
 *   701 to 717  ATT error n = code - 700: "Protocol error returned during communication: [<n>] {<n>}. <reason>"
 *        (the reasons from "Invalid handle." to "Insufficient resources.").
 *   952 to 955  the common profile errors 0xFC to 0xFF, in the same form (the reasons "Write request
 *        rejected.", "Client characteristic configuration descriptor (CCCD) improperly configured.", "A
 *        procedure is already in progress.", "Attribute value is out of range.").
 *   1359 a failure the library did not foresee: "An internal error occurred: <what>" or "An internal error
 *        occurred.".
 * The Error event also reports a sink that returned nonzero, with that value and "An unhandled error occurred
 * in the <event> event handler". Method 2003 returns 0, -1 for a param_count other than 2, or the system's
 * error number (87 for arguments it cannot use); none of these is recorded. */

/* VelmoraBLE_BLEClient_Do runs method method_id (VELMORABLE_METHOD_...) with the parameter slots params and
 * their byte lengths cbparams (VELMORABLE_METHOD_..._SLOTS entries each); out values are written back into
 * them. Returns the method's result code (0 on success; see Result codes above), which is also stored as the
 * calling thread's last error code (except for method 2003); 200 for a null handle. A UTF-16 text argument
 * under a code page the system cannot convert gives 434 with a text naming the argument, and the method does
 * not run.
 * Out texts and bytes belong to the client. */
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

/* VelmoraBLE_BLEClient_CheckIndex checks index for the indexed ids 4 to 14 (chr), 16 to 18 (dsc) and 24 to 28
 * (svc), given plain (without a variant offset): it returns 0 when the index is inside the collection, else 280
 * with the last error text set and the last error code left as it was. Any other id, a variant id included,
 * gives 0 whatever the index (CheckIndex of VELMORABLE_PROP_SERVICE with 99 gives 0). 200 for a null handle. */
VELMORABLE_EXPORT int32_t VelmoraBLE_BLEClient_CheckIndex(VelmoraBLE_BLEClient* client, int32_t property_id,
                                                          int32_t index);

/* VelmoraBLE_BLEClient_GetLastError returns the last error text of the calling thread's record ("" when none; a
 * sink's own, or the one the application's threads share, see Threads above), owned by the client and valid
 * until the next call on it that uses that record; null for a null handle. */
VELMORABLE_EXPORT const char* VelmoraBLE_BLEClient_GetLastError(VelmoraBLE_BLEClient* client);

/* VelmoraBLE_BLEClient_GetLastErrorCode returns the last error code of the calling thread's record (see Threads
 * above); 200 for a null handle. */
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
 * does nothing: the start-up of the library's load stays until the library is unloaded. */
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
