#!/usr/bin/env python3
# A stand-in bluetoothd on a private bus of its own, whose address it prints once it serves: adapter
# hci0 records registrations as bluetoothd does (reading the tree before answering), and
# org.pavonix.FakeCentral plays the centrals that read and write and steers the stand-in: the
# adapter's interfaces, bluetoothd leaving and coming back, released advertisements, disconnected
# devices and the bus itself going away.
#
# With --deny-adapters the bus's policy refuses every caller the question for bluetoothd's objects,
# as a system bus does for a user it does not let near Bluetooth.
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

OM = 'org.freedesktop.DBus.ObjectManager'
PROPERTIES = 'org.freedesktop.DBus.Properties'
ADAPTER = 'org.bluez.Adapter1'
GATT_MANAGER = 'org.bluez.GattManager1'
AD_MANAGER = 'org.bluez.LEAdvertisingManager1'
ADVERTISEMENT = 'org.bluez.LEAdvertisement1'
DEVICE = 'org.bluez.Device1'
SERVICE = 'org.bluez.GattService1'
CHR = 'org.bluez.GattCharacteristic1'
BLUEZ = 'org.bluez'
CENTRAL = 'org.pavonix.FakeCentral'
HCI0 = '/org/bluez/hci0'
KNOWN_FLAGS = {'read', 'write', 'write-without-response', 'notify', 'indicate', 'encrypt-read', 'encrypt-write'}
MTU = 23

folder = tempfile.mkdtemp(prefix='pavonix-fake-bluez-')
address = 'unix:path=' + os.path.join(folder, 'bus')
config = os.path.join(folder, 'bus.conf')
with open(config, 'w') as f:
    f.write('''<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  %s
</busconfig>
''' % (address, '<policy context="mandatory"><deny send_destination="org.bluez" send_interface="%s"/></policy>' % OM
       if '--deny-adapters' in sys.argv else ''))

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)


def failed(text):
    return dbus.DBusException(text, name='org.bluez.Error.Failed')


def unknown_method(interface):
    return dbus.DBusException('Interface %s is not there' % interface, name='org.freedesktop.DBus.Error.UnknownMethod')


class State:
    running = True  # bluetoothd has not left the bus
    powered = True
    interfaces = {ADAPTER, GATT_MANAGER, AD_MANAGER}
    applications = {}   # (sender, path) -> {characteristic uuid: object path}
    advertisements = {}  # (sender, path) -> properties
    advertisement_error = None  # the next RegisterAdvertisement fails with this text
    release_at_once = False  # every advertisement is released right after it was registered
    advertisement_requests = 0  # RegisterAdvertisement calls received


# The characteristics (UUID -> path) of a tree bluetoothd accepts: one service at least, and every
# characteristic in one of them with known flags only.
def check_tree(objects):
    services = {p for p, i in objects.items() if {'UUID', 'Primary'} <= set(i.get(SERVICE, {}))}
    characteristics = {p: i[CHR] for p, i in objects.items() if CHR in i}
    for props in characteristics.values():
        flags = {str(f) for f in props.get('Flags', [])}
        if props.get('Service') not in services or not flags or not flags <= KNOWN_FLAGS:
            raise ValueError
    if not services:
        raise ValueError
    return {str(props['UUID']): str(path) for path, props in characteristics.items()}


def adapter_interfaces(names):
    every = {ADAPTER: {'Powered': dbus.Boolean(State.powered)}, GATT_MANAGER: dbus.Dictionary({}, signature='sv'),
             AD_MANAGER: dbus.Dictionary({}, signature='sv')}
    return dbus.Dictionary({n: every[n] for n in names}, signature='sa{sv}')


# bluetoothd tells an advertisement it dropped on its own (adapter gone, daemon stopping).
def release_advertisements():
    for who, path in list(State.advertisements):
        bus.get_object(who, path, introspect=False).Release(dbus_interface=ADVERTISEMENT, ignore_reply=True)
    State.advertisements.clear()


class Root(dbus.service.Object):
    @dbus.service.method(OM, out_signature='a{oa{sa{sv}}}')
    def GetManagedObjects(self):
        if not State.interfaces:
            return dbus.Dictionary({}, signature='oa{sa{sv}}')
        return {HCI0: adapter_interfaces(State.interfaces)}

    @dbus.service.signal(OM, signature='oa{sa{sv}}')
    def InterfacesAdded(self, path, interfaces):
        pass

    @dbus.service.signal(OM, signature='oas')
    def InterfacesRemoved(self, path, interfaces):
        pass


class Adapter(dbus.service.Object):
    @dbus.service.signal(PROPERTIES, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(GATT_MANAGER, in_signature='oa{sv}', sender_keyword='who', async_callbacks=('ok', 'fail'))
    def RegisterApplication(self, path, options, who=None, ok=None, fail=None):
        if GATT_MANAGER not in State.interfaces:
            raise unknown_method(GATT_MANAGER)
        if not State.running:
            raise failed('Shutting down')

        def got(objects):
            try:
                State.applications[(str(who), str(path))] = check_tree(objects)
                ok()
            except ValueError:
                fail(failed('No valid service object found'))

        bus.get_object(who, path, introspect=False).GetManagedObjects(
            dbus_interface=OM, reply_handler=got, error_handler=lambda e: fail(failed('No object received')))

    @dbus.service.method(GATT_MANAGER, in_signature='o', sender_keyword='who')
    def UnregisterApplication(self, path, who=None):
        State.applications.pop((str(who), str(path)))

    @dbus.service.method(AD_MANAGER, in_signature='oa{sv}', sender_keyword='who', async_callbacks=('ok', 'fail'))
    def RegisterAdvertisement(self, path, options, who=None, ok=None, fail=None):
        State.advertisement_requests += 1
        if AD_MANAGER not in State.interfaces:
            raise unknown_method(AD_MANAGER)
        if not State.running:
            raise failed('Shutting down')
        if State.advertisement_error:
            error, State.advertisement_error = State.advertisement_error, None
            raise failed(error)

        def got(props):
            if props.get('Type') != 'peripheral':
                fail(failed('Failed to parse advertisement.'))
                return
            State.advertisements[(str(who), str(path))] = {
                'LocalName': str(props.get('LocalName', '')),
                'ServiceUUIDs': [str(u) for u in props.get('ServiceUUIDs', [])],
                'Discoverable': bool(props.get('Discoverable', False))}
            ok()
            if State.release_at_once:
                release_advertisements()

        bus.get_object(who, path, introspect=False).GetAll(
            ADVERTISEMENT, dbus_interface=PROPERTIES, reply_handler=got, error_handler=lambda e: fail(failed(str(e))))

    @dbus.service.method(AD_MANAGER, in_signature='o', sender_keyword='who')
    def UnregisterAdvertisement(self, path, who=None):
        State.advertisements.pop((str(who), str(path)))


class Device(dbus.service.Object):
    @dbus.service.signal(PROPERTIES, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass


# As bluetoothd calls a characteristic for a central: offset only when non-zero, uint16 throughout,
# and a read cut to what one ATT response carries. An unregistered UUID ends in StopIteration, which
# the caller receives as a D-Bus error.
def call_characteristic(device, uuid, offset, method, *args, **handlers):
    options = {'device': dbus.ObjectPath(HCI0 + '/' + device), 'mtu': dbus.UInt16(MTU), 'link': 'LE'}
    if offset:
        options['offset'] = dbus.UInt16(offset)
    who, path = next((who, c[uuid]) for (who, _), c in State.applications.items() if uuid in c)
    characteristic = dbus.Interface(bus.get_object(who, path, introspect=False), CHR)
    getattr(characteristic, method)(*args, dbus.Dictionary(options, signature='sv'), **handlers)


class Central(dbus.service.Object):
    @dbus.service.method(CENTRAL, in_signature='ssq', out_signature='ay', async_callbacks=('ok', 'fail'))
    def Read(self, device, uuid, offset, ok=None, fail=None):
        call_characteristic(device, uuid, offset, 'ReadValue',
                            reply_handler=lambda v: ok(dbus.ByteArray(bytes(v)[:MTU - 1])), error_handler=fail)

    @dbus.service.method(CENTRAL, in_signature='ssay', async_callbacks=('ok', 'fail'))
    def Write(self, device, uuid, value, ok=None, fail=None):
        call_characteristic(device, uuid, 0, 'WriteValue', dbus.ByteArray(bytes(value)), reply_handler=ok,
                            error_handler=fail)

    @dbus.service.method(CENTRAL, in_signature='s')
    def Disconnect(self, device):
        objects.device(device).PropertiesChanged(DEVICE, {'Connected': dbus.Boolean(False)},
                                                 dbus.Array([], signature='s'))

    @dbus.service.method(CENTRAL, in_signature='b')
    def SetPowered(self, powered):
        State.powered = bool(powered)
        objects.adapter.PropertiesChanged(ADAPTER, {'Powered': dbus.Boolean(State.powered)},
                                          dbus.Array([], signature='s'))

    # The adapter object's interfaces from now on, announced as bluetoothd announces them (a manager
    # may come after Adapter1); registrations go with the interface they were made through.
    @dbus.service.method(CENTRAL, in_signature='as')
    def SetInterfaces(self, names):
        names = {str(n) for n in names}
        added, removed = names - State.interfaces, State.interfaces - names
        State.interfaces = names
        if GATT_MANAGER in removed or ADAPTER in removed:
            State.applications.clear()
        if AD_MANAGER in removed or ADAPTER in removed:
            release_advertisements()
        if removed:
            objects.root.InterfacesRemoved(HCI0, sorted(removed))
        if added:
            objects.root.InterfacesAdded(HCI0, adapter_interfaces(added))

    @dbus.service.method(CENTRAL)
    def ReleaseAdvertisements(self):
        release_advertisements()

    @dbus.service.method(CENTRAL, in_signature='s')
    def FailNextAdvertisement(self, text):
        State.advertisement_error = str(text)

    @dbus.service.method(CENTRAL)
    def ReleaseAdvertisementsAtOnce(self):
        State.release_at_once = True

    @dbus.service.method(CENTRAL, out_signature='u')
    def AdvertisementRequests(self):
        return State.advertisement_requests

    # bluetoothd leaves the bus, dropping what was registered; the stand-in's bus stays for the test.
    @dbus.service.method(CENTRAL)
    def StopBluetoothd(self):
        release_advertisements()
        State.applications.clear()
        State.running = False
        bus.release_name(BLUEZ)

    @dbus.service.method(CENTRAL)
    def StartBluetoothd(self):
        State.running = True
        bus.request_name(BLUEZ, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)

    # The bus itself goes away for `down` milliseconds and comes back at the same address, as a
    # restarted system bus does; every connection to it is lost, the test's own too.
    @dbus.service.method(CENTRAL, in_signature='q')
    def RestartBus(self, down):
        def stop():
            bus.flush()
            objects.remove()
            bus.close()
            stop_daemon()
            State.applications.clear()
            State.advertisements.clear()
            GLib.timeout_add(down, lambda: serve() and False)
            return False
        GLib.idle_add(stop)

    @dbus.service.method(CENTRAL)
    def Quit(self):
        loop.quit()

    @dbus.service.method(CENTRAL, out_signature='s')
    def Registrations(self):
        return json.dumps({
            'applications': [sorted(c) for c in State.applications.values()],
            'advertisements': list(State.advertisements.values())})


class Objects:
    def __init__(self):
        self.root = Root(bus, '/')
        self.adapter = Adapter(bus, HCI0)
        self.central = Central(bus, '/pavonix/test')
        self.devices = {}

    def device(self, name):
        if name not in self.devices:
            self.devices[name] = Device(bus, HCI0 + '/' + name)
        return self.devices[name]

    def remove(self):
        for each in (self.root, self.adapter, self.central, *self.devices.values()):
            each.remove_from_connection()


daemon = bus = objects = None


def stop_daemon():
    daemon.terminate()
    daemon.wait()


# Starts the bus, exports the stand-in on it and takes both names.
def serve():
    global daemon, bus, objects
    daemon = subprocess.Popen([os.environ['PAVONIX_DBUS_DAEMON'], '--config-file=' + config, '--nofork',
                               '--print-address=1'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    daemon.stdout.readline()
    bus = dbus.bus.BusConnection(address)
    objects = Objects()
    for name in (BLUEZ, CENTRAL):
        bus.request_name(name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
    return True


serve()
loop = GLib.MainLoop()
# Bounded, should the test never say Quit; a test that ends it with SIGTERM still has the bus and
# the folder removed.
GLib.timeout_add_seconds(120, loop.quit)
GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, loop.quit)
print(address, flush=True)
# So does a test that crashed: the end of the pipe it read the address from is closed then.
GLib.io_add_watch(sys.stdout.fileno(), GLib.PRIORITY_HIGH, GLib.IO_ERR | GLib.IO_HUP, lambda *_: loop.quit())
try:
    loop.run()
finally:
    stop_daemon()
    shutil.rmtree(folder, ignore_errors=True)
