# -*- coding: utf-8 -*-
'''A scripted bluetoothd for python-dbusmock (run with: python3 -m dbusmock --system --template <this file>).

It offers one adapter (hci0) and the parts of org.bluez that a GATT client uses: discovery with scripted
advertisements, devices that connect honestly and then export a scripted GATT database, ReadValue/WriteValue
with per-attribute errors, AcquireNotify sockets and StartNotify sessions, pairing that calls the registered
org.bluez.Agent1 back, and helpers for link loss, vanishing devices, power-off and adapter removal.

Tests script it through org.bluez.Mock.Run(code): the code runs in this module's namespace; the value of an
expression (or of `result`) comes back as text. org.bluez.Mock.Calls() gives the log of bluetoothd calls,
one "<Member> <path> <args>" line each.

Where bluetoothd's own behaviour would change what an older test checks, `behaviour` chooses, and reset()
turns each choice back to the simple one; a test turns on what it checks:
  sessions          one discovery session per client (bus connection), as bluetoothd keeps them: a
                    StartDiscovery of a client that holds one, or whose start or stop is still being
                    answered, fails with InProgress, and so does its StopDiscovery while its start is being
                    answered; a StopDiscovery without a session fails ("No discovery started"). Each client's
                    SetDiscoveryFilter is its own, discovery runs while any client holds a session, and an
                    advertisement reaches the bus only when it carries a UUID of some session's filter (or a
                    session filters none). A client that leaves the bus loses its session and its agent.
                    Off: one discovery for everyone, each call answered as it comes.
  agent_per_client  one agent per client: RegisterAgent of a client that has one fails (AlreadyExists), and
                    Pair asks the agent of the client that called it. Off: the agent registered last.
  pair_connects     Pair connects a device that is not connected first, and the link stays when the pairing
                    fails. Off: Pair leaves the link as it is.
  start_refused     the kernel refuses to start discovery (a busy controller, a discovery already running at
                    the kernel level): StartDiscovery answers InProgress "Operation already in progress" and
                    the client holds no session, its filter kept (adapter.c, start_discovery_complete and
                    discovery_complete: btd_error_busy, then discovery_remove). Off: discovery starts.
  rssi_threshold    an advertisement whose RSSI moved by less than 8 dBm since the one reported reports no new
                    RSSI, unless some client's discovery filter sets RSSI or Pathloss (Adapter.rst: "During
                    discovery RSSI delta-threshold is imposed"; adapter.c, discovery_filter_has_proximity;
                    device.c, RSSI_THRESHOLD). Off: every RSSI is reported.
  start_answer_late with sessions, bluetoothd answers StartDiscovery only after the caller gave up waiting:
                    the caller gets the NoReply error that its D-Bus library makes up when its wait runs out
                    ("Method call timed out"), and the session starts when bluetoothd is done (after the
                    StartDiscovery delay, or at release()), its answer going nowhere. Meanwhile the client's
                    StopDiscovery is refused as busy (adapter.c, stop_discovery: client->msg, btd_error_busy).
                    Off: the answer comes in time.
  one_start_answer  with sessions, bluetoothd keeps one StartDiscovery answer per adapter: a client's start
                    that comes while another's still waits for the kernel takes the answer over, and only
                    the later client is answered (adapter.c, start_discovery: adapter->client = client;
                    discovery_complete). The earlier client's call gets the NoReply error that its D-Bus
                    library makes up when its wait runs out (here at once), its session runs, and each of its
                    StopDiscovery calls is refused as busy for as long as it stays on the bus (stop_discovery:
                    client->msg, btd_error_busy; only discovery_disconnect ends it). Off: each start is
                    answered.
  remove_at_link_end RemoveDevice of a connected device is answered once the link is down (after the
                    RemoveDevice delay), and the device goes just after the answer (device.c,
                    device_remove_connection: g_dbus_send_reply of each of device->disconnects, then "if
                    (remove_device) btd_adapter_remove_device(device->adapter, device)"). The device, still
                    advertising, comes back as a new one while discovery runs (advertise_every). Off: the
                    device goes at once, before the answer.
`delays` makes bluetoothd take its time: the milliseconds before it answers SetDiscoveryFilter,
StartDiscovery, StopDiscovery or Pair; `held` keeps such answers until release(). forget() and forget_unpaired() make it forget devices as it does
some time after a scan, and peer_signal() sends a signal from another program on the bus.
'''

import array
import os
import socket
import struct

import dbus
import dbus.service
import dbus.lowlevel
from gi.repository import GLib

from dbusmock import OBJECT_MANAGER_IFACE, mockobject

BUS_NAME = 'org.bluez'
MAIN_OBJ = '/'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

MOCK_IFACE = 'org.bluez.Mock'
AGENT_MANAGER_IFACE = 'org.bluez.AgentManager1'
ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
SERVICE_IFACE = 'org.bluez.GattService1'
CHAR_IFACE = 'org.bluez.GattCharacteristic1'
DESC_IFACE = 'org.bluez.GattDescriptor1'
AGENT_IFACE = 'org.bluez.Agent1'
ADAPTER_PATH = '/org/bluez/hci0'
SECOND_ADAPTER_PATH = '/org/bluez/hci1'  # see second_adapter()
BASE_UUID = '-0000-1000-8000-00805f9b34fb'

calls = []
devices = {}   # address -> Device (script state)
agent = {}     # 'sender', 'path', 'capability' of the registered agent
agent_seen = {}  # the agent registered last, also after it was unregistered
agent_replies = []  # "<Method> <device> ok <value>" or "<Method> <device> error <name>" of agent_request()
pair_replies = []  # the same, of the requests that Pair makes itself
pipes = []     # write ends of pipes handed out in place of notification sockets
sockets = {}   # characteristic path -> our end of its AcquireNotify socket
unanswered = []  # callbacks of calls that are never answered

DEFAULT_BEHAVIOUR = dict(sessions=False, agent_per_client=False, pair_connects=False, rssi_threshold=False,
                         start_refused=False, start_answer_late=False, one_start_answer=False,
                         remove_at_link_end=False)
behaviour = dict(DEFAULT_BEHAVIOUR)  # see the module's description
delays = {}    # method name -> milliseconds before bluetoothd answers it
held = set()   # method names whose answers wait for release()
held_answers = []  # (method name, answer) that release() gives
start_answers = {}  # adapter -> (sender, err) of the start that is answered next, with one_start_answer
clients = {}   # sender -> dict(filter=UUIDs or None, session=bool, answering=bool), with behaviour['sessions']
second_clients = {}  # the same, of the second adapter when it discovers (second_adapter(discovery=True))
agents = {}    # sender -> its agent (dict as `agent`), with behaviour['agent_per_client']
watched = set()  # senders whose leaving the bus ends their session and agent
forgotten = {}  # address -> (Device, its Device1 properties) of devices bluetoothd no longer lists
proximity = set()  # clients whose discovery filter sets RSSI or Pathloss (see behaviour['rssi_threshold'])
PEER = []      # the bus connection of another program, once peer() made it


def uuid(value):
    '''A UUID from a 16-bit number, a short hex text or a full text.'''
    if isinstance(value, int):
        return f'{value:08x}{BASE_UUID}'
    return value if len(value) == 36 else f'{int(value, 16):08x}{BASE_UUID}'


def fmt(value):
    if isinstance(value, (dbus.Array, list)) and all(isinstance(v, (dbus.Byte, int)) for v in value) and \
            getattr(value, 'signature', 'y') == 'y':
        return bytes(value).hex()
    if isinstance(value, (dbus.Dictionary, dict)):
        return '{' + ','.join(f'{k}={fmt(v)}' for k, v in value.items()) + '}'
    if isinstance(value, (dbus.Array, list)):
        return '[' + ','.join(fmt(v) for v in value) + ']'
    if isinstance(value, dbus.Boolean):
        return 'true' if value else 'false'
    return str(value)


def log(member, path, *args):
    calls.append(' '.join([member, path] + [fmt(a) for a in args]))


def error(name, message=''):
    return dbus.exceptions.DBusException(message, name=name)


def fail(name, message=''):
    raise error(name, message)


def later(method, fn):
    '''Runs fn once `method` has taken its time: when release() lets it go while `method` is held, after
    its delay otherwise, at once when it has none.'''
    if method in held:
        held_answers.append((method, fn))
        return
    ms = delays.get(method, 0)
    if not ms:
        fn()
        return

    def run():
        fn()
        return False

    GLib.timeout_add(ms, run)


def release(method):
    '''bluetoothd answers the calls of `method` that it held, and the later ones as they come.'''
    held.discard(method)
    waiting = [fn for name, fn in held_answers if name == method]
    held_answers[:] = [(name, fn) for name, fn in held_answers if name != method]
    for fn in waiting:
        fn()
    return len(waiting)


MAIN = []  # the object manager at /, set when the template loads


def manager():
    return MAIN[0]


def emit_added(path):
    manager().EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                         [dbus.ObjectPath(path), mockobject.objects[path].props])


def emit_removed(path, interfaces):
    manager().EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas',
                         [dbus.ObjectPath(path), dbus.Array(interfaces, signature='s')])


def changed(path, iface, props, invalidated=()):
    obj = mockobject.objects[path]
    for key, value in props.items():
        obj.props[iface][key] = value
    for key in invalidated:
        obj.props[iface].pop(key, None)
    obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                   [iface, dbus.Dictionary(props, signature='sv'), dbus.Array(list(invalidated), signature='s')])


def export(obj, iface, function):
    '''Exports a dbus.service.method-decorated function as a method of one object.'''
    obj.methods.setdefault(iface, {})[function.__name__] = (
        function._dbus_in_signature, function._dbus_out_signature, '', function)


def add_object(path, iface, props, functions):
    manager().AddObject(path, iface, props, [])
    obj = mockobject.objects[path]
    for function in functions:
        export(obj, iface, function)
    return obj


def remove_object(path):
    interfaces = list(mockobject.objects[path].props.keys())
    manager().RemoveObject(path)
    emit_removed(path, interfaces)


def byte_array(data):
    return dbus.Array([dbus.Byte(b) for b in bytes(data)], signature='y')


# ---- Template entry

def load(mock, _parameters):
    MAIN.append(mock)
    add_object('/org/bluez', AGENT_MANAGER_IFACE, {}, [RegisterAgent, UnregisterAgent, RequestDefaultAgent])
    export(mock, MOCK_IFACE, Run)
    export(mock, MOCK_IFACE, Calls)
    add_adapter()


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='s')
def Run(_self, code):
    namespace = globals()
    try:
        return str(eval(code, namespace))  # pylint: disable=eval-used
    except SyntaxError:
        namespace.pop('result', None)
        exec(code, namespace)  # pylint: disable=exec-used
        return str(namespace.get('result', ''))


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def Calls(_self):
    return dbus.Array(calls, signature='s')


@dbus.service.method(AGENT_MANAGER_IFACE, in_signature='os', out_signature='', sender_keyword='sender')
def RegisterAgent(_self, path, capability, sender=None):
    log('RegisterAgent', '/org/bluez', path, capability)
    registered = dict(sender=sender, path=str(path), capability=str(capability))
    if behaviour['agent_per_client']:
        # "An application can only register one agent."
        if sender in agents:
            fail('org.bluez.Error.AlreadyExists', 'Already Exists')
        agents[sender] = registered
        watch_client(sender)
    else:
        agent.update(registered)
    agent_seen.update(registered)


@dbus.service.method(AGENT_MANAGER_IFACE, in_signature='o', out_signature='', sender_keyword='sender')
def UnregisterAgent(_self, path, sender=None):
    log('UnregisterAgent', '/org/bluez', path)
    if behaviour['agent_per_client']:
        if agents.get(sender, {}).get('path') != path:
            fail('org.bluez.Error.DoesNotExist', 'No such agent')
        del agents[sender]
        return
    if agent.get('path') != path:
        fail('org.bluez.Error.DoesNotExist', 'No such agent')
    agent.clear()


def agent_for(sender):
    '''The agent that a Pair of `sender` asks: its own, or the one registered last; None without one.'''
    if behaviour['agent_per_client']:
        return agents.get(sender)
    return agent or None


def watch_client(sender):
    '''bluetoothd ends the discovery session and drops the agent of a client that leaves the bus.'''
    if sender in watched:
        return
    watched.add(sender)

    def owner_changed(new_owner):
        if new_owner:
            return
        watched.discard(sender)
        agents.pop(sender, None)
        for path in (ADAPTER_PATH, SECOND_ADAPTER_PATH):
            if clients_of(path).pop(sender, None) is not None and path in mockobject.objects:
                update_discovering(path)

    manager().connection.watch_name_owner(sender, owner_changed)


@dbus.service.method(AGENT_MANAGER_IFACE, in_signature='o', out_signature='')
def RequestDefaultAgent(_self, path):
    log('RequestDefaultAgent', '/org/bluez', path)


# ---- Adapter

def add_adapter():
    add_object(ADAPTER_PATH, ADAPTER_IFACE, {
        'Address': dbus.String('00:11:22:33:44:55'),
        'Name': dbus.String('hci0'),
        'Powered': dbus.Boolean(True),
        'Discovering': dbus.Boolean(False),
        'Roles': dbus.Array(['central', 'peripheral'], signature='s'),
    }, [SetDiscoveryFilter, StartDiscovery, StopDiscovery, RemoveDevice])
    emit_added(ADAPTER_PATH)


def adapter_props(path=ADAPTER_PATH):
    return mockobject.objects[path].props[ADAPTER_IFACE]


def clients_of(path):
    '''Each adapter keeps the discovery clients of its own (adapter.c: adapter->discovery_list).'''
    return second_clients if path == SECOND_ADAPTER_PATH else clients


@dbus.service.method(ADAPTER_IFACE, in_signature='a{sv}', out_signature='', sender_keyword='sender',
                     async_callbacks=('ok', 'err'))
def SetDiscoveryFilter(_self, options, sender=None, ok=None, err=None):
    adapter = _self.path
    log('SetDiscoveryFilter', adapter, options)
    if options and ('RSSI' in options or 'Pathloss' in options):
        proximity.add(sender)
    else:
        proximity.discard(sender)

    def answer():
        if behaviour['sessions']:
            if unpowered(err, adapter):
                return
            # The client's own filter, also while it discovers; no filter without options.
            uuids = options.get('UUIDs') if options else None
            client(sender, adapter)['filter'] = [uuid(str(u)) for u in uuids] if uuids is not None else None
            update_discovering(adapter)
        ok()

    later('SetDiscoveryFilter', answer)


@dbus.service.method(ADAPTER_IFACE, in_signature='', out_signature='', sender_keyword='sender',
                     async_callbacks=('ok', 'err'))
def StartDiscovery(_self, sender=None, ok=None, err=None):
    adapter = _self.path
    log('StartDiscovery', adapter)
    if unpowered(err, adapter):
        return
    if behaviour['start_refused']:
        later('StartDiscovery', lambda: err(error('org.bluez.Error.InProgress', 'Operation already in progress')))
        return
    if not behaviour['sessions']:
        def started():
            changed(adapter, ADAPTER_IFACE, {'Discovering': dbus.Boolean(True)})
            ok()

        later('StartDiscovery', started)
        return
    state = client(sender, adapter)
    # "Each client can request a single device discovery session per adapter."
    if state['session'] or state['answering']:
        err(error('org.bluez.Error.InProgress', 'Operation already in progress'))
        return
    state['session'] = state['answering'] = True
    answer_lost = behaviour['start_answer_late']
    if answer_lost:
        err(error('org.freedesktop.DBus.Error.NoReply', 'Method call timed out'))
    if behaviour['one_start_answer']:
        taken_over = start_answers.get(adapter)
        if taken_over is not None and taken_over[0] != sender:
            taken_over[1](error('org.freedesktop.DBus.Error.NoReply', 'Method call timed out'))
        start_answers[adapter] = (sender, (lambda _failure: None) if answer_lost else err)

    def started():
        if behaviour['one_start_answer']:
            if start_answers.get(adapter, (None,))[0] != sender:
                # Another client's start took the answer over: this one is never answered.
                if adapter in mockobject.objects:
                    update_discovering(adapter)
                return
            del start_answers[adapter]
        state['answering'] = False
        if adapter in mockobject.objects:
            update_discovering(adapter)
        if not answer_lost:
            ok()

    later('StartDiscovery', started)


@dbus.service.method(ADAPTER_IFACE, in_signature='', out_signature='', sender_keyword='sender',
                     async_callbacks=('ok', 'err'))
def StopDiscovery(_self, sender=None, ok=None, err=None):
    adapter = _self.path
    log('StopDiscovery', adapter)
    if not behaviour['sessions']:
        def stopped():
            discovering_off()
            ok()

        later('StopDiscovery', stopped)
        return
    if unpowered(err, adapter):
        return
    state = clients_of(adapter).get(sender)
    if state is None or not state['session']:
        err(error('org.bluez.Error.Failed', 'No discovery started'))
        return
    if state['answering']:
        err(error('org.bluez.Error.InProgress', 'Operation already in progress'))
        return
    state['answering'] = True

    def stopped():
        # The session goes, and with it the client's filter.
        clients_of(adapter).pop(sender, None)
        update_discovering(adapter)
        ok()

    later('StopDiscovery', stopped)


def unpowered(err, adapter=ADAPTER_PATH):
    '''bluetoothd refuses discovery calls while the adapter is off: True when it did.'''
    if adapter_props(adapter)['Powered']:
        return False
    err(error('org.bluez.Error.NotReady', 'Resource Not Ready'))
    return True


def client(sender, adapter=ADAPTER_PATH):
    '''The discovery state of a client on an adapter, made on first use.'''
    watch_client(sender)
    return clients_of(adapter).setdefault(sender, dict(filter=None, session=False, answering=False))


def sessions(adapter=ADAPTER_PATH):
    '''The clients that hold a discovery session on an adapter (with behaviour['sessions']).'''
    return sorted(sender for sender, state in clients_of(adapter).items() if state['session'])


def update_discovering(adapter=ADAPTER_PATH):
    '''Discovering follows the sessions: on while any client holds one whose start was answered.'''
    # A session whose start is still being answered does not start discovery yet; one being stopped keeps it.
    on = adapter_props(adapter)['Discovering']
    running = any(state['session'] and (on or not state['answering']) for state in clients_of(adapter).values())
    if running and not on:
        changed(adapter, ADAPTER_IFACE, {'Discovering': dbus.Boolean(True)})
    elif not running and on:
        if adapter == ADAPTER_PATH:
            discovering_off()
        else:
            changed(adapter, ADAPTER_IFACE, {'Discovering': dbus.Boolean(False)})


def discovering_off():
    changed(ADAPTER_PATH, ADAPTER_IFACE, {'Discovering': dbus.Boolean(False)})
    # bluetoothd forgets the signal strength of what it no longer hears.
    for device in devices.values():
        if device.path in mockobject.objects and 'RSSI' in device.props():
            changed(device.path, DEVICE_IFACE, {}, ['RSSI'])


def passes(uuids):
    '''Whether bluetoothd passes on an advertisement that carries `uuids` (full texts): with sessions, while a
    session runs, when one filters no UUID or its filter names one of them.'''
    running = [state for state in clients.values() if state['session']]
    if not behaviour['sessions'] or not running:
        return True
    return any(not state['filter'] or any(u in state['filter'] for u in uuids) for state in running)


@dbus.service.method(ADAPTER_IFACE, in_signature='o', out_signature='', async_callbacks=('answer_ok', 'answer_err'))
def RemoveDevice(_self, path, answer_ok=None, answer_err=None):
    log('RemoveDevice', ADAPTER_PATH, path)
    for device in list(devices.values()):
        if device.path == path:
            # bluetoothd disconnects a connected device before it forgets it.
            if device.props()['Connected'] and behaviour['remove_at_link_end']:
                def link_ended():
                    if devices.get(device.address) is not device:
                        return
                    link_drop(device.address)
                    props = dict(device.props())
                    answer_ok()
                    device.remove()
                    # The device still advertises: bluetoothd adds it anew when it hears it (advertise_every).
                    props['Paired'] = dbus.Boolean(False)
                    props['Connected'] = dbus.Boolean(False)
                    props['ServicesResolved'] = dbus.Boolean(False)
                    forgotten[device.address] = (device, props)
                later('RemoveDevice', link_ended)
                return
            if device.props()['Connected']:
                link_drop(device.address)
            device.remove()
            answer_ok()
            return
    answer_err(error('org.bluez.Error.DoesNotExist', 'Does Not Exist'))


def power_off():
    # bluetoothd ends every discovery session of a powered-off adapter.
    clients.clear()
    changed(ADAPTER_PATH, ADAPTER_IFACE, {'Powered': dbus.Boolean(False), 'Discovering': dbus.Boolean(False)})


def second_adapter(discovery=False):
    '''A second adapter, a dongle plugged in, on which another program discovers: each adapter files the
    devices it hears under itself (Device1's Adapter; add_device(adapter=SECOND_ADAPTER_PATH)). The adapter
    and each device are announced by InterfacesAdded as they come, whether or not a client has listed the
    objects yet (adapter.c, adapter_register; device.c, device_new: g_dbus_register_interface). With
    `discovery`, it discovers for the clients that ask it, keeping their sessions apart from the first
    adapter's (see clients_of), and nobody else discovers on it.'''
    second_clients.clear()
    add_object(SECOND_ADAPTER_PATH, ADAPTER_IFACE, {
        'Address': dbus.String('00:11:22:33:44:66'),
        'Name': dbus.String('hci1'),
        'Powered': dbus.Boolean(True),
        'Discovering': dbus.Boolean(not discovery),
        'Roles': dbus.Array(['central', 'peripheral'], signature='s'),
    }, [SetDiscoveryFilter, StartDiscovery, StopDiscovery] if discovery else [])
    emit_added(SECOND_ADAPTER_PATH)


def unplug_second_adapter():
    '''The second adapter is unplugged: its devices go, then the adapter.'''
    for device in list(devices.values()):
        if device.adapter == SECOND_ADAPTER_PATH:
            device.remove()
    second_clients.clear()
    if SECOND_ADAPTER_PATH in mockobject.objects:
        remove_object(SECOND_ADAPTER_PATH)


def remove_adapter():
    clients.clear()
    for device in list(devices.values()):
        device.remove()
    remove_object(ADAPTER_PATH)


# ---- Devices

class Device:
    '''A scripted peripheral: its advertised properties, its GATT database and its pairing behaviour.'''

    def __init__(self, address, address_type, pairing, passkey, adapter=ADAPTER_PATH):
        self.address = address
        self.adapter = adapter
        self.path = adapter + '/dev_' + address.replace(':', '_')
        self.address_type = address_type
        self.pairing = pairing      # None (Just Works), 'confirm', 'authorize', 'display', 'passkey'
        self.passkey = passkey
        self.database = []          # services, see gatt()
        self.connect_error = None   # (name, message) of a failing Connect
        self.disconnect_error = None  # (name, message) of a refused Disconnect, or 'never' (no answer)
        self.resolve = True         # False: ServicesResolved never comes
        self.pair_error = None      # (name, message) of a failing Pair
        self.cancelled = False
        self.pending_pair = None
        self.display_updates = 0   # DisplayPasskey calls after the first, as the remote side types the passkey
        self.stray_requests = []    # (method, signature, args) sent to the agent before Pair's own request
        self.extra = []             # (path suffix, interface, props) exported after the database, as given
        self.dropping = False       # see link_loss_sockets_first()
        self.disconnecting = False  # see disconnect_elsewhere()
        self.disconnect_timer = False  # see disconnect_on_timer()
        self.connect_held = False   # True: Connect is not answered (see Connect)
        self.connecting_elsewhere = False  # see connect_elsewhere_slowly()
        self.discovery_fails = False  # see gatt_discovery_fails()
        self.resolved_first = False   # see resolved_before_export()

    def props(self):
        return mockobject.objects[self.path].props[DEVICE_IFACE]

    def attribute_path(self, handle):
        for service in self.database:
            if service['handle'] == handle:
                return service['path']
            for char in service['chars']:
                if char['handle'] == handle:
                    return char['path']
                for desc in char['descs']:
                    if desc['handle'] == handle:
                        return desc['path']
        raise KeyError(handle)

    def remove(self):
        self.unexport()
        if self.path in mockobject.objects:
            remove_object(self.path)
        devices.pop(self.address, None)

    def export(self):
        '''Exports the GATT database as bluetoothd does after connecting.'''
        for service in self.database:
            path = service['path'] = f'{self.path}/service{service["handle"]:04x}'
            includes = [dbus.ObjectPath(f'{self.path}/service{h:04x}') for h in service['includes']]
            add_object(path, SERVICE_IFACE, {
                'UUID': dbus.String(service['uuid']),
                'Primary': dbus.Boolean(service['primary']),
                'Device': dbus.ObjectPath(self.path),
                'Handle': dbus.UInt16(service['handle']),
                'Includes': dbus.Array(includes, signature='o'),
            }, [])
            emit_added(path)
            for char in service['chars']:
                char_path = char['path'] = f'{path}/char{char["handle"]:04x}'
                char['export_id'] = char.get('export_id', 0) + 1  # see ReadValue
                char['busy'] = False  # a characteristic exported again has no read under way
                props = {
                    'UUID': dbus.String(char['uuid']),
                    'Service': dbus.ObjectPath(path),
                    'Handle': dbus.UInt16(char['handle']),
                    'Flags': dbus.Array(char['flags'], signature='s'),
                    'Notifying': dbus.Boolean(False),
                    'NotifyAcquired': dbus.Boolean(False),
                    'MTU': dbus.UInt16(char.get('mtu', 247)),
                }
                if char.get('cached') is not None:
                    props['Value'] = byte_array(char['cached'])
                add_object(char_path, CHAR_IFACE, props,
                           [ReadValue, WriteValue, AcquireNotify, StartNotify, StopNotify])
                emit_added(char_path)
                for desc in char['descs']:
                    desc_path = desc['path'] = f'{char_path}/desc{desc["handle"]:04x}'
                    desc_props = {
                        'UUID': dbus.String(desc['uuid']),
                        'Characteristic': dbus.ObjectPath(char_path),
                        'Handle': dbus.UInt16(desc['handle']),
                    }
                    if desc.get('cached') is not None:
                        desc_props['Value'] = byte_array(desc['cached'])
                    add_object(desc_path, DESC_IFACE, desc_props, [DescReadValue, DescWriteValue])
                    emit_added(desc_path)
        for suffix, iface, props in self.extra:
            add_object(self.path + suffix, iface, props, [])
            emit_added(self.path + suffix)

    def unexport(self):
        for suffix, _, _ in self.extra:
            if self.path + suffix in mockobject.objects:
                remove_object(self.path + suffix)
        for service in reversed(self.database):
            for char in service['chars']:
                close_socket(char.get('path'))
                for desc in char['descs']:
                    if desc.get('path') in mockobject.objects:
                        remove_object(desc['path'])
                if char.get('path') in mockobject.objects:
                    remove_object(char['path'])
            if service.get('path') in mockobject.objects:
                remove_object(service['path'])


def add_device(address, name=None, rssi=None, uuids=(), manufacturer=None, service_data=None, tx_power=None,
               flags=None, advertising_data=None, address_type='public', paired=False, pairing=None,
               passkey=123456, adapter=ADAPTER_PATH):
    '''Adds a device as discovery finds it (RSSI given) or as bluetoothd remembers it (no RSSI).'''
    device = Device(address, address_type, pairing, passkey, adapter)
    devices[address] = device
    props = {
        'Address': dbus.String(address),
        'AddressType': dbus.String(address_type),
        'Adapter': dbus.ObjectPath(adapter),
        'Alias': dbus.String(name or address.replace(':', '-')),
        'Paired': dbus.Boolean(paired),
        'Trusted': dbus.Boolean(False),
        'Connected': dbus.Boolean(False),
        'ServicesResolved': dbus.Boolean(False),
        'UUIDs': dbus.Array([uuid(u) for u in uuids], signature='s'),
    }
    props.update(advert_props(name=name, rssi=rssi, manufacturer=manufacturer, service_data=service_data,
                              tx_power=tx_power, flags=flags, advertising_data=advertising_data))
    add_object(device.path, DEVICE_IFACE, props, [Connect, Disconnect, Pair, CancelPairing])
    emit_added(device.path)
    return device.path


def advert_props(name=None, rssi=None, manufacturer=None, service_data=None, tx_power=None, flags=None,
                 advertising_data=None, uuids=None):
    props = {}
    if name is not None:
        props['Name'] = dbus.String(name)
    if rssi is not None:
        props['RSSI'] = dbus.Int16(rssi)
    if tx_power is not None:
        props['TxPower'] = dbus.Int16(tx_power)
    if flags is not None:
        props['AdvertisingFlags'] = byte_array([flags])
    if uuids is not None:
        props['UUIDs'] = dbus.Array([uuid(u) for u in uuids], signature='s')
    if manufacturer is not None:
        props['ManufacturerData'] = dbus.Dictionary(
            {dbus.UInt16(k): byte_array(v) for k, v in manufacturer.items()}, signature='qv')
    if service_data is not None:
        props['ServiceData'] = dbus.Dictionary(
            {dbus.String(uuid(k)): byte_array(v) for k, v in service_data.items()}, signature='sv')
    if advertising_data is not None:
        props['AdvertisingData'] = dbus.Dictionary(
            {dbus.Byte(k): byte_array(v) for k, v in advertising_data.items()}, signature='yv')
    return props


def advertise(address, **kwargs):
    '''A repeat of an advertisement: the properties that changed, as PropertiesChanged (when bluetoothd passes
    it on, see passes()). True when it went out.'''
    device = devices[address]
    props = advert_props(**kwargs)
    if not passes([str(u) for u in props.get('UUIDs', device.props().get('UUIDs', []))]):
        return False
    reported = device.props().get('RSSI')
    if behaviour['rssi_threshold'] and not proximity and 'RSSI' in props and reported is not None and \
            abs(int(props['RSSI']) - int(reported)) < 8:
        del props['RSSI']
        if not props:
            return False
    changed(device.path, DEVICE_IFACE, props)
    return True


def advertise_every(address, interval_ms, burst=1):
    '''The device advertises `burst` times every interval_ms while discovery runs, its RSSI changing each time,
    for as long as it exists (reset() ends it); a device that bluetoothd forgot comes back with it.'''
    device = devices[address]
    count = [0]

    def advert():
        if forgotten.get(address, (None,))[0] is device:
            if ADAPTER_PATH in mockobject.objects and adapter_props()['Discovering']:
                reappear(address, rssi=-40)
            return True
        if devices.get(address) is not device:
            return False
        for _ in range(burst):
            if ADAPTER_PATH in mockobject.objects and adapter_props()['Discovering']:
                count[0] += 1
                advertise(address, rssi=-40 - count[0] % 20)
        return True

    GLib.timeout_add(interval_ms, advert)


def gatt(address, services):
    '''Sets the GATT database that Connect exports. services: dicts with handle, uuid, primary (default True),
    includes (handles), chars: dicts with handle, uuid, flags, value (bytes on the device), cached (the
    Value property, optional), encrypted (reads "Not paired" until paired), errors ({method: (name, text)}),
    delay (ms a read takes; a second read meanwhile gets InProgress),
    acquire (False: AcquireNotify refused), descs: dicts with handle, uuid, value.'''
    database = []
    for service in services:
        chars = []
        for char in service.get('chars', []):
            descs = [dict(handle=d['handle'], uuid=uuid(d['uuid']), value=bytes(d.get('value', b'')),
                          errors=d.get('errors', {})) for d in char.get('descs', [])]
            chars.append(dict(handle=char['handle'], uuid=uuid(char['uuid']), flags=list(char.get('flags', ['read'])),
                              value=bytes(char.get('value', b'')), cached=char.get('cached'),
                              encrypted=char.get('encrypted', False), errors=char.get('errors', {}),
                              acquire=char.get('acquire', True), descs=descs, mtu=char.get('mtu', 247),
                              delay=char.get('delay', 0)))
        database.append(dict(handle=service['handle'], uuid=uuid(service['uuid']),
                             primary=service.get('primary', True), includes=service.get('includes', []),
                             chars=chars))
    devices[address].database = database


def find_attribute(path):
    for device in devices.values():
        for service in device.database:
            for char in service['chars']:
                if char.get('path') == path:
                    return device, char
                for desc in char['descs']:
                    if desc.get('path') == path:
                        return device, desc
    fail('org.freedesktop.DBus.Error.UnknownObject', path)
    return None, None


def device_at(path):
    for device in devices.values():
        if device.path == path:
            return device
    fail('org.freedesktop.DBus.Error.UnknownObject', path)
    return None


@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', async_callbacks=('ok', 'err'))
def Connect(self, ok, err):
    log('Connect', self.path)
    device = device_at(self.path)
    if device.connect_error:
        fail(*device.connect_error)
    if device.connecting_elsewhere:
        # Another program's Connect (or Pair) of the device is under way: bluetoothd refuses a second one until
        # it is answered (device.c, dev_connect: "if (dev->bonding) return btd_error_in_progress(msg)", "if
        # (dev->connect) return btd_error_in_progress(msg)").
        fail('org.bluez.Error.InProgress', 'In Progress')
    if device.connect_held:
        # The radio has not reached the device yet (device.c, device_connect_le: the answer waits for
        # att_connect_cb). Should the device object go meanwhile, device_free drops the call unanswered
        # ("if (device->connect) dbus_message_unref(device->connect)").
        unanswered.append((ok, err))
        return
    link_up(device)
    ok()


def link_up(device):
    changed(device.path, DEVICE_IFACE, {'Connected': dbus.Boolean(True)})
    if device.discovery_fails:
        # See gatt_discovery_fails: resolved, nothing exported, and UUIDs read anew without a signal.
        device.props()['UUIDs'] = dbus.Array([], signature='s')
        changed(device.path, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(True)})
        return
    if device.resolved_first and device.resolve and not (
            device.database and device.database[0].get('path') in mockobject.objects):
        # See resolved_before_export: the device's UUIDs and ServicesResolved go out first, in one signal, the
        # services right after it.
        gatt_uuids = dbus.Array([dbus.String(service['uuid']) for service in device.database], signature='s')
        changed(device.path, DEVICE_IFACE, {'UUIDs': gatt_uuids, 'ServicesResolved': dbus.Boolean(True)})
        device.export()
        return
    if getattr(device, 'resolve_after', None):
        # See resolved_after(): the services are exported once bluetoothd's client is ready (btd_gatt_client_ready),
        # ServicesResolved right after.
        def resolved():
            if devices.get(device.address) is device and device.props()['Connected']:
                device.export()
                changed(device.path, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(True)})
            return False

        GLib.timeout_add(device.resolve_after, resolved)
        return
    if device.database and device.database[0].get('path') in mockobject.objects:
        # The objects stayed from the last connection (link_drop_cached, the default "[GATT] Cache = always"):
        # bluetoothd uses them again, and turns the notifications of the StartNotify sessions it kept on again
        # (gatt-client.c, btd_gatt_client_connected: register_notify of all_notify_clients).
        for service in device.database:
            for char in service['chars']:
                if char.get('kept'):
                    changed(char['path'], CHAR_IFACE, {'Notifying': dbus.Boolean(True)})
                    set_cccd(char, 1)
    else:
        device.export()
    if device.resolve:
        changed(device.path, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(True)})


@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', async_callbacks=('ok', 'err'))
def Disconnect(self, ok, err):
    log('Disconnect', self.path)
    device = device_at(self.path)
    if device.disconnect_error == 'never':
        unanswered.append((ok, err))
        return
    if device.disconnect_error:
        fail(*device.disconnect_error)
    if device.disconnect_timer:
        # See disconnect_on_timer(): the link is closed, and the call answered, only once the timer has run.
        device.disconnecting = True

        def drop():
            device.disconnecting = False
            if devices.get(device.address) is device and device.props()['Connected']:
                link_drop(device.address)
            ok()
            return False

        GLib.timeout_add(2000, drop)
        return
    link_drop(device.address)
    ok()


def connect_elsewhere(address):
    '''Another program of the machine connects the device.'''
    device = devices[address]
    changed(device.path, DEVICE_IFACE, {'Connected': dbus.Boolean(True)})
    device.export()
    changed(device.path, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(True)})


def connect_elsewhere_slowly(address, ms):
    '''Another program calls Connect on the device, which the radio completes after `ms` milliseconds; until
    then bluetoothd refuses every other Connect of the device as in progress (see Connect).'''
    device = devices[address]
    device.connecting_elsewhere = True

    def done():
        device.connecting_elsewhere = False
        if devices.get(address) is device:
            connect_elsewhere(address)
        return False

    GLib.timeout_add(ms, done)


def gatt_discovery_fails(address):
    '''The device answers bluetoothd's GATT discovery with an ATT error other than Attribute Not Found (e.g.
    Insufficient Authentication to Read By Group Type, or Unlikely Error). bt_gatt_client's start fails
    (shared/gatt-client.c, discover_primary_cb: "Primary service discovery failed", goto done), so
    device.c's gatt_client_ready_cb runs its failure branch: device_svc_resolved(device, BROWSE_GATT, ...,
    -EIO), which sets ServicesResolved true on the connected device (device_set_svc_refreshed), while
    btd_gatt_client_ready, which exports the services, is never called. The link stays up, resolved, with no
    GATT object under the device. UUIDs then reads as the device's own list (device.c, dev_property_get_uuids:
    dev->uuids once svc_resolved), which no discovery filled: as bluetoothd 5.66 (Debian 12) has it, where the
    advertised UUIDs are kept apart (device_add_eir_uuids: eir_uuids, dropped by device_svc_resolved); no
    PropertiesChanged tells it.'''
    devices[address].discovery_fails = True


def resolved_before_export(address):
    '''bluetoothd sends the device's ServicesResolved before the InterfacesAdded of its services. gdbus holds
    property changes and new interfaces back per object and sends them in the order the objects first became
    pending whenever a message goes out before its idle handler runs (gdbus/object.c, g_dbus_send_message:
    g_dbus_flush walks the `pending` list, process_changes per object). device.c's gatt_client_ready_cb makes
    the device pending first (register_gatt_services: add_gatt_service -> btd_device_add_uuid ->
    device_add_uuids, "UUIDs"), then exports the services (btd_gatt_client_ready), then sets ServicesResolved
    on the device (device_svc_resolved): a flush then sends the device's UUIDs and ServicesResolved ahead of
    the services. A bus log of it: hbldh/bleak issue #1806 (one PropertiesChanged of the device with UUIDs
    and ServicesResolved, then the InterfacesAdded of the services), also bluez/bluez issue #1489.'''
    devices[address].resolved_first = True


def resolved_after(address, ms):
    '''bluetoothd's GATT discovery of the device takes `ms` milliseconds: ServicesResolved turns true only once
    bt_gatt_client is ready (device.c, gatt_client_ready_cb -> device_svc_resolved -> device_set_svc_refreshed).
    Nothing bounds the discovery as a whole: ATT bounds each request at 30 s (shared/att.c,
    ATT_TIMEOUT_INTERVAL), so a large database over a slow link (a long connection interval) takes as long as its
    requests one after another.'''
    devices[address].resolve_after = ms


def mtu_raised_by_device(address, mtu):
    '''The device, as a GATT client of its own, exchanges the MTU after bluetoothd's client is ready (its
    request comes after bluetoothd's own exchange): bluetoothd's server answers it and takes the smaller of
    both receive MTUs (shared/gatt-server.c, exchange_mtu_cb: bt_att_set_mtu(server->att, final_mtu)); the
    link's MTU only grows (shared/att.c, bt_att_set_mtu: "if (chan->mtu > att->mtu)", exchange_handler), and
    bluetoothd reports it as each characteristic's MTU (gatt-client.c, att_exchange: "MTU" changed). A
    notification socket handed out before keeps going: bluetoothd writes every notification to it as it
    comes (notify_io_cb, sendmsg of the whole value), up to the new MTU less 3 bytes.'''
    device = devices[address]
    for service in device.database:
        for char in service['chars']:
            char['mtu'] = mtu
            if char.get('path') in mockobject.objects:
                changed(char['path'], CHAR_IFACE, {'MTU': dbus.UInt16(mtu)})


def link_drop(address):
    device = devices[address]
    changed(device.path, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(False), 'Connected': dbus.Boolean(False)})
    device.unexport()


def link_loss_sockets_first(address):
    '''The link drops, and the client sees the device's notification sockets close before bluetoothd reports
    the device disconnected, which it does at the client's next StartNotify (see StartNotify).'''
    device = devices[address]
    device.dropping = True
    for service in device.database:
        for char in service['chars']:
            close_socket(char.get('path'))


def link_drop_cached(address):
    '''The link drops under bluetoothd's default "[GATT] Cache = always": the device's objects stay (device.c,
    gatt_cache_cleanup), and so do the StartNotify sessions, which bluetoothd registers again at the next
    connection, made by any program (gatt-client.c: btd_gatt_client_disconnected keeps all_notify_clients,
    btd_gatt_client_connected registers them).'''
    device = devices[address]
    changed(device.path, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(False), 'Connected': dbus.Boolean(False)})
    for service in device.database:
        for char in service['chars']:
            close_socket(char.get('path'))
            if mockobject.objects[char['path']].props[CHAR_IFACE]['Notifying']:
                char['kept'] = True


def link_drop_during_read(address, answer_first=False):
    '''The link drops while the device still owes the answer to a read (its ReadValue held by `read_held`).
    bluetoothd hears of the link's end from the kernel's management socket (adapter.c, dev_disconnected:
    device_remove_connection, "Connected" false) and from the ATT socket's hang-up, in either order
    (answer_first: the hang-up first): bt_att hands every request still pending back to its caller as an error
    response without a PDU (shared/att.c, disconnect_cb: disc_att_send_op, "op->callback(BT_ATT_OP_ERROR_RSP,
    NULL, 0, ...)"), which bt_gatt_client reads as Unlikely Error (shared/gatt-client.c, process_error: "if
    (!pdu ...) return BT_ATT_ERROR_UNLIKELY", since 5.55), and the D-Bus call is answered with it
    (gatt-client.c, create_gatt_dbus_error: "Operation failed with ATT error: 0x%02x"). The objects stay (the
    default "[GATT] Cache = always").'''
    if not answer_first:
        link_drop_cached(address)
    for ok, err in list(unanswered):
        err(dbus.exceptions.DBusException('Operation failed with ATT error: 0x0e', name='org.bluez.Error.Failed'))
    unanswered.clear()
    if answer_first:
        link_drop_cached(address)


def att_timeout_ahead(address, drop_after_ms=2000):
    '''The device stops answering while a request of another program is ahead of the held ones in bt_att's queue
    (one request at a time on the bearer). ATT gives that request up after its 30 s and shuts its socket
    down (shared/att.c, timeout_cb: disc_att_send_op, then io_shutdown(chan->io)); the hang-up hands every
    request still queued back without a PDU (att.c, disconnect_cb: queue_remove_all(att->req_queue, ...,
    disc_att_send_op)), answered "Operation failed with ATT error: 0x0e" (shared/gatt-client.c,
    process_error; gatt-client.c, create_gatt_dbus_error), long before 30 s from their own send. bluetoothd
    does not disconnect on the ATT socket's end (device.c, att_disconnected_cb); the kernel drops the LE link
    once nothing holds it any more, HCI_DISCONN_TIMEOUT (2 s) after the ATT socket, which held it
    (l2cap_sock.c: FLAG_HOLD_HCI_CONN; hci_core.h, hci_conn_drop: conn->disc_timeout), closed: only then does
    the management socket report the device disconnected ("Connected" false).'''
    # The ATT channel's end also drops bluetoothd's GATT client (device.c, att_disconnected_cb:
    # btd_gatt_client_disconnected, "client->gatt = NULL") while the device still reads connected.
    devices[address].att_gone = True
    for ok, err in list(unanswered):
        err(dbus.exceptions.DBusException('Operation failed with ATT error: 0x0e', name='org.bluez.Error.Failed'))
    unanswered.clear()

    def drop():
        devices[address].att_gone = False
        link_drop_cached(address)
        return False
    GLib.timeout_add(drop_after_ms, drop)


def att_end_uncached(address, drop_after_ms=2000):
    '''ATT shuts its channel down after a request that the device left unanswered for 30 s (see att_timeout_ahead),
    under "[GATT] Cache = no", or "yes" with a device that is not bonded: the channel's end clears bluetoothd's copy
    of the device's database (device.c, att_disconnected_cb: btd_gatt_client_disconnected shuts the notification
    sockets down, then attio_cleanup -> gatt_client_cleanup -> gatt_cache_cleanup: "if
    (gatt_cache_is_enabled(device)) return; ... gatt_db_clear(device->db)"), which unexports every service,
    characteristic and descriptor (gatt_service_removed -> btd_gatt_client_service_removed) while the device still
    reads Connected and ServicesResolved (svc_refreshed changes only in device_remove_connection). The kernel ends
    the link HCI_DISCONN_TIMEOUT (2 s) after the ATT socket let go of it, and only then is Connected false.'''
    device = devices[address]
    device.att_gone = True
    for service in device.database:
        for char in service['chars']:
            close_socket(char.get('path'))
    device.unexport()

    def drop():
        device.att_gone = False
        if devices.get(address) is device and device.props()['Connected']:
            changed(device.path, DEVICE_IFACE,
                    {'ServicesResolved': dbus.Boolean(False), 'Connected': dbus.Boolean(False)})
        return False

    GLib.timeout_add(drop_after_ms, drop)


def acquire_held(address, handle):
    '''The device does not answer the write of the characteristic's configuration descriptor that its
    AcquireNotify makes: the call waits (the test answers it from `unanswered`).'''
    path = devices[address].attribute_path(handle)
    export(mockobject.objects[path], CHAR_IFACE, HeldAcquireNotify)


@dbus.service.method(CHAR_IFACE, in_signature='a{sv}', out_signature='hq', async_callbacks=('ok', 'err'))
def HeldAcquireNotify(self, options, ok, err):
    log('AcquireNotify', self.path, options)
    unanswered.append((ok, err))


HeldAcquireNotify.__name__ = 'AcquireNotify'


def disconnect_elsewhere(address):
    '''Another program calls Disconnect on the device (a user's "Disconnect" in the system's settings).
    bluetoothd shuts the ATT channel down at once (device.c, device_request_disconnect:
    g_io_channel_shutdown(device->att_io), whose end runs att_disconnected_cb and btd_gatt_client_disconnected,
    which shuts the notification sockets down), and closes the link itself only when its DISCONNECT_TIMER (2 s)
    has run (disconnect_all); meanwhile the device reads Connected and device_is_disconnecting() holds, so
    StartNotify answers NotConnected. The objects stay (the default "[GATT] Cache = always").'''
    device = devices[address]
    device.disconnecting = True
    for service in device.database:
        for char in service['chars']:
            close_socket(char.get('path'))

    def drop():
        device.disconnecting = False
        if devices.get(address) is device and device.props()['Connected']:
            link_drop_cached(address)
        return False

    GLib.timeout_add(2000, drop)


def disconnect_on_timer(address):
    '''The device's Disconnect goes as bluetoothd's does: it closes the link only once its DISCONNECT_TIMER (2 s) has
    run (device.c, device_request_disconnect: timeout_add_seconds(DISCONNECT_TIMER, disconnect_all)), and answers
    the call after Connected=false (device_remove_connection: the device->disconnects replies). Meanwhile the
    device reads Connected and ServicesResolved, its objects stay, and a Connect of it is answered at once
    (dev_connect: "if (dev->le_state.connected) return dbus_message_new_method_return(msg)").'''
    devices[address].disconnect_timer = True


def kept_sessions(address):
    '''How many StartNotify sessions bluetoothd keeps for the device's next connection.'''
    return sum(1 for service in devices[address].database for char in service['chars'] if char.get('kept'))


def vanish(address):
    devices[address].remove()


def forget(address):
    '''bluetoothd forgets a device it found but did not pair (its temporary timeout ran out): the object goes,
    and the device, which still advertises, comes back while discovery runs (advertise_every).'''
    device = devices.pop(address)
    forgotten[address] = (device, dict(device.props()))
    remove_object(device.path)


def forget_unpaired():
    '''bluetoothd forgets every device that is neither paired nor connected, as some time after a scan.'''
    for address, device in list(devices.items()):
        if not device.props()['Paired'] and not device.props()['Connected']:
            forget(address)


def reappear(address, rssi):
    '''A forgotten device is heard again: bluetoothd adds it anew.'''
    device, props = forgotten.pop(address)
    devices[address] = device
    props['RSSI'] = dbus.Int16(rssi)
    add_object(device.path, DEVICE_IFACE, props, [Connect, Disconnect, Pair, CancelPairing])
    emit_added(device.path)


def peer():
    '''The bus connection of another program on the bus, which may send anything.'''
    if not PEER:
        PEER.append(dbus.bus.BusConnection(os.environ['DBUS_SYSTEM_BUS_ADDRESS']))
    return PEER[0]


def peer_signal(path, iface, member, signature, args):
    '''Another program sends a signal as if it were bluetoothd; returns once the bus has taken it.'''
    message = dbus.lowlevel.SignalMessage(path, iface, member)
    message.append(*args, signature=signature)
    peer().send_message(message)
    # A round trip: the bus handles one connection's messages in order, so the signal is on its way.
    peer().call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus', 'GetId', '', ())


def peer_start_discovery():
    '''Another program calls StartDiscovery on hci0; its answer is not awaited.'''
    peer().call_async(BUS_NAME, ADAPTER_PATH, ADAPTER_IFACE, 'StartDiscovery', '', (), lambda *_: None,
                      lambda _: None)


def peer_agent_calls(count):
    '''Another program calls the agent registered last `count` times, each call carrying a descriptor (a
    pipe's read end); returns how many the agent rejected.'''
    rejected = 0
    for _ in range(count):
        read_end, write_end = os.pipe()
        try:
            peer().call_blocking(agent_seen['sender'], agent_seen['path'], AGENT_IFACE, 'RequestPinCode', 'oh',
                                 (dbus.ObjectPath(ADAPTER_PATH), dbus.types.UnixFd(read_end)))
        except dbus.exceptions.DBusException as failure:
            rejected += failure.get_dbus_name() == 'org.bluez.Error.Rejected'
        finally:
            os.close(read_end)
            os.close(write_end)
    return rejected


def services_changed(address, removed=(), added=()):
    '''Removes services (by handle) and adds services (as for gatt()) under a connected device.'''
    device = devices[address]
    for handle in removed:
        for service in list(device.database):
            if service['handle'] == handle:
                for char in service['chars']:
                    for desc in char['descs']:
                        remove_object(desc['path'])
                    remove_object(char['path'])
                remove_object(service['path'])
                device.database.remove(service)
    if added:
        old = device.database
        gatt(address, added)
        new = device.database
        device.database = new
        device.export()
        device.database = old + new


def service_replaced(address, handle):
    '''A Service Changed that covers the service: bluetoothd removes it and exports it again under the same
    paths (gatt-client.c, discovery_parse_services: gatt_db_clear_range, then gatt_db_insert_service; the
    paths come from the handles, export_service). Freeing a characteristic ends its notification socket and
    the StartNotify sessions of every client before InterfacesRemoved goes out (characteristic_free, called
    by gdbus remove_interface).'''
    device = devices[address]
    service = next(s for s in device.database if s['handle'] == handle)
    for char in service['chars']:
        close_socket(char['path'])
        char['kept'] = False
        set_cccd(char, 0)
        for desc in char['descs']:
            remove_object(desc['path'])
        remove_object(char['path'])
    remove_object(service['path'])
    database = device.database
    device.database = [service]
    device.export()
    device.database = database


def service_replaced_after(address, handle, ms):
    '''A Service Changed that covers the service, as bluetoothd handles it over the air: the service goes as soon
    as the device answers the new primary service discovery (shared/gatt-client.c, discovery_parse_services:
    gatt_db_insert_service finds the old service in the way, gatt_db_clear_range removes it, and device.c,
    gatt_service_removed -> btd_gatt_client_service_removed unexports it), and comes back under the same paths
    only once its characteristics and descriptors have been discovered, several ATT round trips later
    (discover_chrcs_cb / discover_descs_cb: gatt_db_service_set_active -> notify_service_changed ->
    device.c, gatt_service_added -> btd_gatt_client_service_added -> export_service), here `ms` milliseconds.'''
    device = devices[address]
    service = next(s for s in device.database if s['handle'] == handle)
    for char in service['chars']:
        close_socket(char['path'])
        char['kept'] = False
        set_cccd(char, 0)
        for desc in char['descs']:
            remove_object(desc['path'])
        remove_object(char['path'])
    remove_object(service['path'])

    def again():
        if devices.get(address) is device and device.props()['Connected']:
            database = device.database
            device.database = [service]
            device.export()
            device.database = database
        return False

    GLib.timeout_add(ms, again)


def service_replaced_behind_a_new_one(address, handle, added, added_ms, back_ms):
    '''A Service Changed whose range holds a new service (`added`, as for gatt()) at lower handles than a service
    it replaces, as bluetoothd handles it over the air (shared/gatt-client.c). The answer to the primary service
    discovery removes the replaced service at once (discovery_parse_services: gatt_db_insert_service finds the old
    one in the way, gatt_db_clear_range) and inserts both services inactive; the characteristics of the range are
    discovered next, then the descriptors characteristic by characteristic in handle order (discover_descs,
    "Sequentially discover descriptors for each characteristic"), and a service is set active, which exports it
    (gatt_db_service_set_active -> notify_service_changed -> device.c, gatt_service_added ->
    btd_gatt_client_service_added -> export_service), once that walk moves past its last characteristic ("Done with
    the current service"). So the new service comes first, here after added_ms, and the replaced one only after the
    Find Information round trips of its own characteristics (a Battery Level with its CCCD and Presentation Format
    takes one), here after back_ms.'''
    device = devices[address]
    service = next(s for s in device.database if s['handle'] == handle)
    for char in service['chars']:
        close_socket(char['path'])
        char['kept'] = False
        set_cccd(char, 0)
        for desc in char['descs']:
            remove_object(desc['path'])
        remove_object(char['path'])
    remove_object(service['path'])

    def export_only(services):
        if devices.get(address) is device and device.props()['Connected']:
            database = device.database
            device.database = services
            device.export()
            device.database = database

    def new_one():
        database = device.database
        gatt(address, [added])
        fresh = device.database
        device.database = database
        export_only(fresh)
        device.database = database + fresh
        return False

    def back():
        export_only([service])
        return False

    GLib.timeout_add(added_ms, new_one)
    GLib.timeout_add(back_ms, back)


def database_replaced_after(address, ms):
    '''A Service Changed over a range that holds every service, each of them changed (its handles moved), as
    bluetoothd handles it over the air: the answer to the primary service discovery removes each service at once
    (shared/gatt-client.c, discovery_parse_services: gatt_db_insert_service finds the old one in the way,
    gatt_db_clear_range), and device.c, gatt_service_removed, drops its UUID from the device's UUIDs ("Remove the
    corresponding UUIDs entry", g_dbus_emit_property_changed "UUIDs") before btd_gatt_client_service_removed
    unexports it. ServicesResolved stays true (gatt_client_service_changed only stores the database). The services
    come back, with their UUIDs, once the discovery of the range is done (gatt_db_service_set_active ->
    gatt_service_added -> add_gatt_service: btd_device_add_uuid; btd_gatt_client_service_added), here `ms`
    milliseconds later.'''
    device = devices[address]
    uuids = list(device.props().get('UUIDs', []))
    for service in device.database:
        for char in service['chars']:
            close_socket(char['path'])
            char['kept'] = False
            set_cccd(char, 0)
            for desc in char['descs']:
                remove_object(desc['path'])
            remove_object(char['path'])
        left = [u for u in device.props().get('UUIDs', []) if str(u) != str(service['uuid'])]
        changed(device.path, DEVICE_IFACE, {'UUIDs': dbus.Array(left, signature='s')})
        remove_object(service['path'])

    def again():
        if devices.get(address) is device and device.props()['Connected']:
            changed(device.path, DEVICE_IFACE, {'UUIDs': dbus.Array(uuids, signature='s')})
            device.export()
        return False

    GLib.timeout_add(ms, again)


# ---- Pairing through the registered agent

def noting(replies, method, args, on_reply=lambda *_: None, on_error=lambda _: None):
    '''The callbacks of an agent call that note its outcome in replies, then go on to on_reply or on_error.'''
    device = str(args[0]) if args else ''

    def replied(*reply):
        replies.append(f'{method} {device} ok {",".join(fmt(r) for r in reply)}')
        on_reply(*reply)

    def failed(error):
        replies.append(f'{method} {device} error {error.get_dbus_name()}')
        on_error(error)

    return replied, failed


def call_agent(to, method, signature, args, on_reply, on_error):
    manager().connection.call_async(to['sender'], to['path'], AGENT_IFACE, method, signature, args,
                                    *noting(pair_replies, method, args, on_reply, on_error), timeout=60.0)


@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', sender_keyword='sender',
                     async_callbacks=('answer_ok', 'answer_err'))
def Pair(self, sender=None, answer_ok=None, answer_err=None):
    log('Pair', self.path)
    device = device_at(self.path)
    if device.props()['Paired']:
        raise dbus.exceptions.DBusException('Already Exists', name='org.bluez.Error.AlreadyExists')
    device.cancelled = False
    if device.pair_error:
        raise dbus.exceptions.DBusException(device.pair_error[1], name=device.pair_error[0])
    # "Connects to the remote device and initiate pairing procedure"
    if behaviour['pair_connects'] and not device.props()['Connected']:
        link_up(device)

    def ok():
        later('Pair', answer_ok)

    def err(failure):
        later('Pair', lambda: answer_err(failure))

    def paired(*_):
        if device.cancelled:
            err(dbus.exceptions.DBusException('Authentication Canceled', name='org.bluez.Error.AuthenticationCanceled'))
            return
        changed(device.path, DEVICE_IFACE, {'Paired': dbus.Boolean(True)})
        ok()

    def refused(error):
        name = error.get_dbus_name()
        if name == 'org.bluez.Error.Rejected':
            err(dbus.exceptions.DBusException('Authentication Rejected', name='org.bluez.Error.AuthenticationRejected'))
        elif name == 'org.bluez.Error.Canceled':
            err(dbus.exceptions.DBusException('Authentication Canceled', name='org.bluez.Error.AuthenticationCanceled'))
        else:
            err(dbus.exceptions.DBusException('Authentication Failed', name='org.bluez.Error.AuthenticationFailed'))

    def passkey_given(value):
        if int(value) == device.passkey:
            paired()
        else:
            err(dbus.exceptions.DBusException('Authentication Failed', name='org.bluez.Error.AuthenticationFailed'))

    def typed(entered):
        # "During the pairing process this method might be called multiple times to update the entered value."
        def shown(*_):
            if entered >= device.display_updates:
                paired()
                return
            call_agent(to, 'DisplayPasskey', 'ouq', (path, dbus.UInt32(device.passkey), dbus.UInt16(entered + 1)),
                       typed(entered + 1), refused)
        return shown

    path = dbus.ObjectPath(device.path)
    for method, signature, args in device.stray_requests:
        agent_request(method, signature, args)
    to = agent_for(sender)
    if device.pairing is None or to is None:
        paired()
    elif device.pairing == 'confirm':
        call_agent(to, 'RequestConfirmation', 'ou', (path, dbus.UInt32(device.passkey)), paired, refused)
    elif device.pairing == 'authorize':
        call_agent(to, 'RequestAuthorization', 'o', (path,), paired, refused)
    elif device.pairing == 'display':
        call_agent(to, 'DisplayPasskey', 'ouq', (path, dbus.UInt32(device.passkey), dbus.UInt16(0)), typed(0), refused)
    elif device.pairing == 'passkey':
        call_agent(to, 'RequestPasskey', 'o', (path,), passkey_given, refused)
    elif device.pairing == 'display_unanswered':
        # bluetoothd shows a passkey without waiting for an answer (agent.c, agent_display_passkey sends
        # DisplayPasskey by g_dbus_send_message, with no pending call): the pairing goes on as the device's
        # user types it, and the Pair answers once it is bonded, whatever the agent says or when.
        message = dbus.lowlevel.MethodCallMessage(to['sender'], to['path'], AGENT_IFACE, 'DisplayPasskey')
        message.append(path, dbus.UInt32(device.passkey), dbus.UInt16(0), signature='ouq')
        message.set_no_reply(True)
        manager().connection.send_message(message)
        GLib.timeout_add(200, lambda: paired() and False)
    elif device.pairing == 'timeout':
        # The remote side gives up while the agent asks: bluetoothd cancels the agent's request.
        call_agent(to, 'RequestConfirmation', 'ou', (path, dbus.UInt32(device.passkey)), lambda *_: None,
                   lambda *_: None)
        call_agent(to, 'Cancel', '', (), lambda *_: None, lambda *_: None)
        err(dbus.exceptions.DBusException('Authentication Timeout', name='org.bluez.Error.AuthenticationTimeout'))


def agent_request(method, signature, args):
    '''Sends a request to the agent registered last (also after it was unregistered); the outcome goes to
    agent_replies.'''
    manager().connection.call_async(agent_seen['sender'], agent_seen['path'], AGENT_IFACE, method, signature, args,
                                    *noting(agent_replies, method, args), timeout=60.0)


@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='')
def CancelPairing(self):
    log('CancelPairing', self.path)
    device_at(self.path).cancelled = True


# ---- GATT

def check_errors(device, attribute, method):
    error = attribute['errors'].get(method)
    if error:
        fail(*error)
    if attribute.get('encrypted') and not device.props()['Paired']:
        fail('org.bluez.Error.NotPermitted', 'Not paired')


# The reads have no fixed reply signature, so that an attribute's 'reply' can answer with any type.
@dbus.service.method(CHAR_IFACE, in_signature='a{sv}', out_signature=None, async_callbacks=('ok', 'err'))
def ReadValue(self, options, ok, err):
    log('ReadValue', self.path, options)
    device, char = find_attribute(self.path)
    check_errors(device, char, 'ReadValue')
    path = self.path
    exported = char.get('export_id')

    def answer():
        if char.get('export_id') != exported:
            # The characteristic was removed meanwhile (a Service Changed): unregister_characteristic cancels
            # its read (gatt-client.c: bt_gatt_client_cancel(gatt, chrc->read_op->id)), and bt_att's cancel
            # calls only the request's destroy (att.c, cancel_att_send_op), which frees the D-Bus call
            # unanswered (async_dbus_op_free): the caller hears nothing until its own timeout.
            return False
        char['busy'] = False
        if char.get('reply') is not None:
            ok(char['reply'])
            return False
        value = byte_array(char['value'])
        if path in mockobject.objects:
            changed(path, CHAR_IFACE, {'Value': value})
        ok(value)
        return False

    if char.get('read_held'):
        # The device has not answered yet; the test answers the call from `unanswered`.
        unanswered.append((ok, err))
        return
    if not char.get('delay'):
        answer()
        return
    # A read takes `delay` ms; bluetoothd refuses a second one meanwhile.
    if char.get('busy'):
        err(dbus.exceptions.DBusException('Operation already in progress', name='org.bluez.Error.InProgress'))
        return
    char['busy'] = True
    GLib.timeout_add(char['delay'], answer)


@dbus.service.method(CHAR_IFACE, in_signature='aya{sv}', out_signature='')
def WriteValue(self, value, options):
    log('WriteValue', self.path, value, options)
    device, char = find_attribute(self.path)
    check_errors(device, char, 'WriteValue')
    # bluetoothd passes the length on in 16 bits (src/gatt-client.c, characteristic_write_value into
    # bt_gatt_client_write_long_value's uint16_t length): a longer value is written cut to those bits.
    char['value'] = bytes(value)[:len(value) & 0xFFFF] if len(value) > 0xFFFF else bytes(value)


@dbus.service.method(CHAR_IFACE, in_signature='a{sv}', out_signature='hq')
def AcquireNotify(self, options):
    log('AcquireNotify', self.path, options)
    device, char = find_attribute(self.path)
    check_errors(device, char, 'AcquireNotify')
    if not char['acquire']:
        fail('org.bluez.Error.NotSupported', 'Operation is not supported')
    fault = char.get('acquire_fault')  # None, 'closed' (our end closed at once) or 'pipe'
    if fault == 'pipe':
        read_end, write_end = os.pipe()
        pipes.append(write_end)
        fd = dbus.types.UnixFd(read_end)
        os.close(read_end)
        return fd, dbus.UInt16(char['mtu'])
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    if fault == 'closed':
        ours.close()
        fd = dbus.types.UnixFd(theirs.fileno())
        theirs.close()
        return fd, dbus.UInt16(char['mtu'])
    return hand_out_notify_socket(self.path, char, ours, theirs), dbus.UInt16(char['mtu'])


def hand_out_notify_socket(path, char, ours, theirs):
    '''Keeps our end of an acquired notification socket and returns the caller's as a Unix fd.'''
    sockets[path] = ours

    def hung_up(*_):
        # The client closed its end: bluetoothd ends the notifications and clears the CCCD.
        if sockets.get(path) is ours:
            close_socket(path)
            if path in mockobject.objects:
                changed(path, CHAR_IFACE, {'NotifyAcquired': dbus.Boolean(False)})
            set_cccd(char, 0)
        return False

    GLib.io_add_watch(ours.fileno(), GLib.IO_HUP | GLib.IO_ERR, hung_up)
    changed(path, CHAR_IFACE, {'NotifyAcquired': dbus.Boolean(True)})
    set_cccd(char, 1)
    fd = dbus.types.UnixFd(theirs.fileno())
    theirs.close()
    return fd


@dbus.service.method(CHAR_IFACE, in_signature='', out_signature='')
def StartNotify(self):
    log('StartNotify', self.path)
    device, char = find_attribute(self.path)
    if device.disconnecting:
        # gatt-client.c, characteristic_start_notify: "Device is disconnecting. StartNotify is not allowed."
        fail('org.bluez.Error.NotConnected', 'Not Connected')
    check_errors(device, char, 'StartNotify')
    if getattr(device, 'att_gone', False):
        # bluetoothd's GATT client is gone with the ATT channel (gatt NULL): "If the device is currently not
        # connected, return success", the session kept for the next connection (characteristic_start_notify).
        char['kept'] = True
        return
    if device.dropping:
        # The link is down: the session is kept for the next connection ("If the device is currently not
        # connected, return success. We will automatically try and register all clients when a GATT client
        # becomes ready.", gatt-client.c, characteristic_start_notify).
        changed(device.path, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(False), 'Connected': dbus.Boolean(False)})
        char['kept'] = True
        return
    close_socket(self.path)  # a client that starts notifying has given its socket up
    changed(self.path, CHAR_IFACE, {'Notifying': dbus.Boolean(True)})
    set_cccd(char, 1)


@dbus.service.method(CHAR_IFACE, in_signature='', out_signature='')
def StopNotify(self):
    log('StopNotify', self.path)
    _, char = find_attribute(self.path)
    char['kept'] = False
    changed(self.path, CHAR_IFACE, {'Notifying': dbus.Boolean(False)})
    set_cccd(char, 0)


def acquired_elsewhere(address, handle, sockets_held=('notify', 'write')):
    '''Another program holds the characteristic's notification socket and/or its write socket. bluetoothd
    refuses the other clients locally, before any ATT request (gatt-client.c): AcquireNotify and StartNotify
    with NotPermitted "Notify acquired" (characteristic_acquire_notify, characteristic_start_notify), WriteValue
    with NotPermitted "Write acquired" (characteristic_write_value).'''
    _, char = find_attribute(devices[address].attribute_path(handle))
    if 'notify' in sockets_held:
        for method in ('AcquireNotify', 'StartNotify'):
            char['errors'][method] = ('org.bluez.Error.NotPermitted', 'Notify acquired')
    if 'write' in sockets_held:
        char['errors']['WriteValue'] = ('org.bluez.Error.NotPermitted', 'Write acquired')


def write_elsewhere(address, handle, ms):
    '''Another program writes the characteristic or descriptor, and the device answers after `ms` milliseconds;
    until then bluetoothd refuses every other client's write of it as in progress (gatt-client.c,
    characteristic_write_value: "if (chrc->write_op) return btd_error_in_progress(msg)", and
    descriptor_write_value the same of desc->write_op; write_op is one per attribute, whoever asked).'''
    _, char = find_attribute(devices[address].attribute_path(handle))
    char['errors']['WriteValue'] = ('org.bluez.Error.InProgress', 'In Progress')

    def done():
        char['errors'].pop('WriteValue', None)
        return False

    GLib.timeout_add(ms, done)


def acquire_answered_after(address, handle, ms):
    '''bluetoothd answers the characteristic's AcquireNotify only once the device has answered the write of its
    configuration descriptor (gatt-client.c, characteristic_acquire_notify: bt_gatt_client_register_notify, then
    register_notify_io_cb -> characteristic_ready hands the socket out), here after `ms` milliseconds; ATT bounds
    that answer at 30 s from the request's send (shared/att.c, ATT_TIMEOUT_INTERVAL, timeout_cb). Meanwhile the
    characteristic's notify_io is in place, so bluetoothd refuses every client's StartNotify and AcquireNotify of
    it with NotPermitted "Notify acquired" (characteristic_start_notify, characteristic_acquire_notify: "if
    (chrc->notify_io)"). Its late answer goes out whether or not the caller still waits.'''
    path = devices[address].attribute_path(handle)
    _, char = find_attribute(path)
    char['acquire_after'] = ms
    export(mockobject.objects[path], CHAR_IFACE, SlowAcquireNotify)


@dbus.service.method(CHAR_IFACE, in_signature='a{sv}', out_signature='hq', async_callbacks=('ok', 'err'))
def SlowAcquireNotify(self, options, ok, err):
    log('AcquireNotify', self.path, options)
    device, char = find_attribute(self.path)
    check_errors(device, char, 'AcquireNotify')
    path = self.path
    acquired = ('org.bluez.Error.NotPermitted', 'Notify acquired')
    for method in ('AcquireNotify', 'StartNotify'):
        char['errors'][method] = acquired

    def answer():
        for method in ('AcquireNotify', 'StartNotify'):
            if char['errors'].get(method) == acquired:
                del char['errors'][method]
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        ok(hand_out_notify_socket(path, char, ours, theirs), dbus.UInt16(char['mtu']))
        return False

    GLib.timeout_add(char['acquire_after'], answer)


SlowAcquireNotify.__name__ = 'AcquireNotify'


def acquire_by_another(address, handle):
    '''What another program's AcquireNotify of the characteristic gets, without taking anything: bluetoothd
    refuses it while any client holds the characteristic's notification socket ("Notify acquired") or a
    StartNotify session (InProgress: "Each client can only have one active notify session", a check of
    chrc->notify_clients whoever they belong to; gatt-client.c, characteristic_acquire_notify).'''
    path = devices[address].attribute_path(handle)
    if path in sockets:
        return 'org.bluez.Error.NotPermitted'
    if mockobject.objects[path].props[CHAR_IFACE]['Notifying']:
        return 'org.bluez.Error.InProgress'
    return 'ok'


def set_cccd(char, bits):
    for desc in char['descs']:
        if desc['uuid'] == uuid(0x2902):
            desc['value'] = bytes([bits, 0])


@dbus.service.method(DESC_IFACE, in_signature='a{sv}', out_signature=None)
def DescReadValue(self, options):
    log('ReadValue', self.path, options)
    device, desc = find_attribute(self.path)
    check_errors(device, desc, 'ReadValue')
    if desc.get('reply') is not None:
        return desc['reply']
    value = byte_array(desc['value'])
    if desc.get('cached') is not None and self.path in mockobject.objects:
        # bluetoothd stores what it read and tells the new Value (desc_read_cb, write_descriptor_cb).
        desc['cached'] = bytes(desc['value'])
        changed(self.path, DESC_IFACE, {'Value': value})
    return value


DescReadValue.__name__ = 'ReadValue'


@dbus.service.method(DESC_IFACE, in_signature='aya{sv}', out_signature='')
def DescWriteValue(self, value, options):
    log('WriteValue', self.path, value, options)
    device, desc = find_attribute(self.path)
    check_errors(device, desc, 'WriteValue')
    if desc['uuid'] == uuid(0x2902):
        # bluetoothd keeps the CCCD to itself.
        fail('org.bluez.Error.NotPermitted', 'Write not permitted')
    desc['value'] = bytes(value)


DescWriteValue.__name__ = 'WriteValue'


def close_socket(path):
    ours = sockets.pop(path, None)
    if ours is not None:
        ours.close()


def socket_open(address, handle):
    '''Whether the client still holds the AcquireNotify socket of a characteristic.'''
    ours = sockets.get(devices[address].attribute_path(handle))
    if ours is None:
        return False
    try:
        return ours.recv(1, socket.MSG_DONTWAIT | socket.MSG_PEEK) != b''
    except BlockingIOError:
        return True
    except OSError:
        return False


def notify(address, handle, values, count=1):
    '''Sends each value (count times over): through the AcquireNotify socket, else as a Value change while
    notifying. Returns how many went out.'''
    path = devices[address].attribute_path(handle)
    obj = mockobject.objects[path]
    sent = 0
    for _ in range(count):
        for value in values:
            ours = sockets.get(path)
            if ours is not None:
                try:
                    ours.send(bytes(value))
                except OSError:
                    return sent
            elif obj.props[CHAR_IFACE]['Notifying']:
                changed(path, CHAR_IFACE, {'Value': byte_array(value)})
            else:
                return sent
            sent += 1
    return sent


def send_raw(address, handle, data):
    '''Sends one datagram as it is through the AcquireNotify socket; its size, or -1 without a socket.'''
    ours = sockets.get(devices[address].attribute_path(handle))
    return -1 if ours is None else ours.send(bytes(data))


def counter(n):
    '''n values counting up, 4 bytes little-endian each (for ordering checks).'''
    return [i.to_bytes(4, 'little') for i in range(n)]


def pid():
    return os.getpid()


def bluetoothd_exit():
    '''bluetoothd exits: its sockets close and its name goes, and nothing else is said (no InterfacesRemoved).
    Calls it had not answered stay unanswered.'''
    for path in list(sockets):
        close_socket(path)
    return manager().connection.release_name(BUS_NAME)


# ---- A bluetoothd that sends what a D-Bus library would never make
#
# A message may name more descriptors in its body than its header says it carries (UNIX_FDS): the bus
# passes it on, and reading the arguments fails at the first such descriptor. raw_bluetoothd() takes the
# name org.bluez on a connection of its own that writes its messages byte by byte; it answers the first
# GetManagedObjects with arguments "hh" whose first descriptor is real (a pipe's read end) and whose second is
# not there, and each later one with no objects. raw_bluetoothd_end() closes that connection.

RAW = {}  # 'socket', 'serial', 'buffer', 'watch', 'answered' of raw_bluetoothd()


def _pad(data, alignment):
    return data + b'\0' * (-len(data) % alignment)


def _raw_message(kind, fields, signature='', body=b'', fds=0, serial=None):
    '''One little-endian message: fields are (code, signature, value) of the header.'''
    if serial is None:
        RAW['serial'] += 1
        serial = RAW['serial']
    if signature:
        fields = fields + [(8, 'g', signature)]
    if fds:
        fields = fields + [(9, 'u', fds)]
    array_data = b''
    for code, sig, value in fields:
        array_data = _pad(array_data, 8) + struct.pack('<B', code) + struct.pack('<B', 1) + sig.encode() + b'\0'
        if sig in ('s', 'o'):
            text = value.encode()
            array_data = _pad(array_data, 4) + struct.pack('<I', len(text)) + text + b'\0'
        elif sig == 'g':
            array_data += struct.pack('<B', len(value)) + value.encode() + b'\0'
        else:
            array_data = _pad(array_data, 4) + struct.pack('<I', value)
    header = struct.pack('<cBBBIII', b'l', kind, 0, 1, len(body), serial, len(array_data)) + array_data
    return _pad(header, 8) + body


def _raw_send(data, fds=()):
    ancillary = [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array('i', fds))] if fds else []
    RAW['socket'].sendmsg([data], ancillary)


def _raw_messages():
    '''The complete messages received so far, as dicts of type, serial, reply_serial, member, sender.'''
    messages = []
    buffer = RAW['buffer']
    while len(buffer) >= 16:
        _, kind, _, _, body_length, serial, fields_length = struct.unpack_from('<cBBBIII', buffer, 0)
        header_end = 16 + fields_length + (-(16 + fields_length) % 8)
        if len(buffer) < header_end + body_length:
            break
        message = dict(type=kind, serial=serial, reply_serial=None, member=None, sender=None)
        at = 16
        while at < 16 + fields_length:
            at += -at % 8
            code = buffer[at]
            sig_length = buffer[at + 1]
            sig = buffer[at + 2:at + 2 + sig_length].decode()
            at += 3 + sig_length
            if sig in ('s', 'o'):
                at += -at % 4
                (length,) = struct.unpack_from('<I', buffer, at)
                value = buffer[at + 4:at + 4 + length].decode()
                at += 5 + length
            elif sig == 'g':
                length = buffer[at]
                value = buffer[at + 1:at + 1 + length].decode()
                at += 2 + length
            else:
                at += -at % 4
                (value,) = struct.unpack_from('<I', buffer, at)
                at += 4
            name = {3: 'member', 5: 'reply_serial', 7: 'sender'}.get(code)
            if name:
                message[name] = value
        messages.append(message)
        buffer = buffer[header_end + body_length:]
    RAW['buffer'] = buffer
    return messages


def _raw_call(member, signature='', body=b''):
    '''A call to the bus itself, waited for; gives its reply.'''
    _raw_send(_raw_message(1, [(1, 'o', '/org/freedesktop/DBus'), (2, 's', 'org.freedesktop.DBus'),
                               (3, 's', member), (6, 's', 'org.freedesktop.DBus')], signature, body))
    serial = RAW['serial']
    while True:
        RAW['buffer'] += RAW['socket'].recv(65536)
        for message in _raw_messages():
            if message['reply_serial'] == serial:
                return message


def _raw_incoming(_source, _condition):
    try:
        data = RAW['socket'].recv(65536)
    except OSError:
        return False
    if not data:
        return False
    RAW['buffer'] += data
    for message in _raw_messages():
        if message['type'] != 1:
            continue
        to = [(5, 'u', message['serial']), (6, 's', message['sender'])]
        if message['member'] == 'GetManagedObjects' and not RAW['answered']:
            RAW['answered'] = True
            # Two descriptors named, one carried.
            _raw_send(_raw_message(2, to, 'hh', struct.pack('<II', 0, 1), fds=1), [RAW['pipe'][0]])
        elif message['member'] == 'GetManagedObjects':
            _raw_send(_raw_message(2, to, 'a{oa{sa{sv}}}', struct.pack('<II', 0, 0)))
        else:
            _raw_send(_raw_message(3, to + [(4, 's', 'org.freedesktop.DBus.Error.UnknownMethod')]))
    return True


def raw_bluetoothd():
    '''See above; gives the inode of the pipe whose read end the first answer carries.'''
    address = os.environ['DBUS_SYSTEM_BUS_ADDRESS'].split(':', 1)[1]
    options = dict(option.split('=', 1) for option in address.split(','))
    where = options['path'] if 'path' in options else '\0' + options['abstract']
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(where)
    sock.sendall(b'\0AUTH EXTERNAL ' + str(os.getuid()).encode().hex().encode() + b'\r\n')
    assert sock.recv(4096).startswith(b'OK')
    sock.sendall(b'NEGOTIATE_UNIX_FD\r\n')
    assert sock.recv(4096).startswith(b'AGREE_UNIX_FD')
    sock.sendall(b'BEGIN\r\n')
    read_end, write_end = os.pipe()
    pipes.extend([read_end, write_end])
    RAW.update(socket=sock, serial=0, buffer=b'', answered=False, pipe=(read_end, write_end))
    _raw_call('Hello')
    manager().connection.release_name(BUS_NAME)
    name = BUS_NAME.encode()
    _raw_call('RequestName', 'su', _pad(struct.pack('<I', len(name)) + name + b'\0', 4) + struct.pack('<I', 0))
    RAW['watch'] = GLib.io_add_watch(sock.fileno(), GLib.IO_IN, _raw_incoming)
    return os.fstat(read_end).st_ino


def raw_bluetoothd_end():
    if RAW.get('socket') is not None:
        GLib.source_remove(RAW['watch'])
        RAW['socket'].close()
        RAW['socket'] = None


def bluetoothd_start():
    '''bluetoothd starts again: one powered adapter, no devices, and the name org.bluez.'''
    reset()
    return manager().connection.request_name(BUS_NAME)


def reset():
    '''Back to one powered adapter without devices, agent or log, owning org.bluez.'''
    raw_bluetoothd_end()
    unanswered.clear()
    for device in list(devices.values()):
        device.remove()
    for path in list(sockets):
        close_socket(path)
    unplug_second_adapter()
    if ADAPTER_PATH not in mockobject.objects:
        add_adapter()
    changed(ADAPTER_PATH, ADAPTER_IFACE, {'Powered': dbus.Boolean(True), 'Discovering': dbus.Boolean(False)})
    agent.clear()
    agent_seen.clear()
    agent_replies.clear()
    behaviour.clear()
    behaviour.update(DEFAULT_BEHAVIOUR)
    delays.clear()
    held.clear()
    held_answers.clear()
    start_answers.clear()
    clients.clear()
    agents.clear()
    forgotten.clear()
    proximity.clear()
    pair_replies.clear()
    while pipes:
        os.close(pipes.pop())
    calls.clear()
    manager().connection.request_name(BUS_NAME)


HEART_RATE_ADDRESS = 'C0:FF:EE:00:00:01'


def values_exported_from_the_start(address):
    '''bluetoothd exports a Value on every characteristic and descriptor as soon as it exports them, empty
    until a read or a notification stores one: src/shared/gatt-client.c inserts the attributes it discovers
    with no read function and no value (gatt_db_insert_characteristic(..., NULL, NULL, NULL),
    gatt_db_insert_descriptor(..., NULL, NULL, NULL)); src/gatt-client.c, characteristic_value_exists and
    descriptor_value_exists, ask gatt_db_attribute_read, which answers such an attribute with 0 bytes and no
    error (src/shared/gatt-db.c: "func(attrib, 0, value, attrib->value_len - offset, user_data)"), so
    read_check_cb says the property exists and characteristic_get_value gives an empty array.'''
    for service in devices[address].database:
        for char in service['chars']:
            if char.get('cached') is None:
                char['cached'] = b''
            for desc in char['descs']:
                if desc.get('cached') is None:
                    desc['cached'] = b''


def heart_rate_sensor(rssi=-58, address=HEART_RATE_ADDRESS):
    '''The chest strap of examples/scenarios/heart_rate.txt, as bluetoothd shows it (another one of the same
    make at `address`).'''
    add_device(address, name='Velmora HR', rssi=rssi, address_type='random', flags=0x06, tx_power=0,
               uuids=[0x180D, 0x180F, 0x180A], manufacturer={0xFFFF: b'\x01\x02'}, service_data={0x180F: b'\x5a'})
    gatt(address, [
        dict(handle=0x0001, uuid=0x180D, chars=[
            dict(handle=0x0003, uuid=0x2A37, flags=['notify'], value=b'\x06\x48',
                 descs=[dict(handle=0x0004, uuid=0x2902, value=b'\x00\x00')]),
            dict(handle=0x0006, uuid=0x2A38, flags=['read'], value=b'\x01'),
            dict(handle=0x0008, uuid=0x2A39, flags=['write'], value=b'\x00'),
        ]),
        dict(handle=0x0010, uuid=0x180F, chars=[
            dict(handle=0x0012, uuid=0x2A19, flags=['read', 'notify'], value=b'\x5a',
                 descs=[dict(handle=0x0013, uuid=0x2902, value=b'\x00\x00'),
                        dict(handle=0x0014, uuid=0x2904, value=bytes.fromhex('0400AD27010000'))]),
        ]),
        dict(handle=0x0020, uuid=0x180A, chars=[
            dict(handle=0x0022, uuid=0x2A29, flags=['read'], value=b'Velmora Labs'),
            dict(handle=0x0024, uuid=0x2A24, flags=['read'], value=b'HR-1'),
            dict(handle=0x0026, uuid=0x2A26, flags=['read'], value=b'1.0.3',
                 descs=[dict(handle=0x0027, uuid=0x2901, value=b'Firmware revision')]),
        ]),
    ])
    return devices[address].path


def heart_rate_running():
    '''The sensor advertising every second while discovery runs and measuring once a second, as the
    scenario's sensor does.'''
    heart_rate_sensor()
    beats = [bytes.fromhex(v) for v in ('0648', '064A', '064C', '064A')]
    count = [0]

    def advert():
        if HEART_RATE_ADDRESS not in devices:
            return False
        if ADAPTER_PATH in mockobject.objects and adapter_props()['Discovering']:
            advertise(HEART_RATE_ADDRESS, rssi=-58)
        return True

    def beat():
        if HEART_RATE_ADDRESS not in devices:
            return False
        try:
            count[0] += notify(HEART_RATE_ADDRESS, 0x0003, [beats[count[0] % len(beats)]])
        except KeyError:
            pass  # not connected: nothing exported yet
        return True

    GLib.timeout_add(1000, advert)
    GLib.timeout_add(1000, beat)
