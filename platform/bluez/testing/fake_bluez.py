#!/usr/bin/env python3
# A stand-in bluetoothd on a private bus of its own, whose address it prints once it serves: adapter
# hci0 records registrations as bluetoothd does (reading the tree before answering), and
# org.pavonix.FakeCentral plays the central that reads and writes and steers the stand-in.
import json
import os
import subprocess

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

daemon = subprocess.Popen([os.environ['PAVONIX_DBUS_DAEMON'], '--session', '--nofork', '--print-address=1'],
                          stdout=subprocess.PIPE, text=True)
address = daemon.stdout.readline().strip()
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(address)

OM = 'org.freedesktop.DBus.ObjectManager'
ADAPTER = 'org.bluez.Adapter1'
GATT_MANAGER = 'org.bluez.GattManager1'
AD_MANAGER = 'org.bluez.LEAdvertisingManager1'
SERVICE = 'org.bluez.GattService1'
CHR = 'org.bluez.GattCharacteristic1'
CENTRAL = 'org.pavonix.FakeCentral'
HCI0 = '/org/bluez/hci0'
KNOWN_FLAGS = {'read', 'write', 'write-without-response', 'notify', 'indicate', 'encrypt-read', 'encrypt-write'}


def failed(text):
    return dbus.DBusException(text, name='org.bluez.Error.Failed')


class State:
    powered = True
    adapter_present = True
    applications = {}   # (sender, path) -> {characteristic uuid: object path}
    advertisements = {}  # (sender, path) -> properties


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


def adapter_interfaces():
    return {ADAPTER: {'Powered': dbus.Boolean(State.powered)}, GATT_MANAGER: dbus.Dictionary({}, signature='sv'),
            AD_MANAGER: dbus.Dictionary({}, signature='sv')}


class Root(dbus.service.Object):
    @dbus.service.method(OM, out_signature='a{oa{sa{sv}}}')
    def GetManagedObjects(self):
        return {HCI0: adapter_interfaces()} if State.adapter_present else dbus.Dictionary({}, signature='oa{sa{sv}}')

    @dbus.service.signal(OM, signature='oa{sa{sv}}')
    def InterfacesAdded(self, path, interfaces):
        pass

    @dbus.service.signal(OM, signature='oas')
    def InterfacesRemoved(self, path, interfaces):
        pass


class Adapter(dbus.service.Object):
    @dbus.service.signal('org.freedesktop.DBus.Properties', signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(GATT_MANAGER, in_signature='oa{sv}', sender_keyword='who', async_callbacks=('ok', 'fail'))
    def RegisterApplication(self, path, options, who=None, ok=None, fail=None):
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
        def got(props):
            if props.get('Type') != 'peripheral':
                fail(failed('Failed to parse advertisement.'))
                return
            State.advertisements[(str(who), str(path))] = {
                'LocalName': str(props.get('LocalName', '')),
                'ServiceUUIDs': [str(u) for u in props.get('ServiceUUIDs', [])],
                'Discoverable': bool(props.get('Discoverable', False))}
            ok()

        bus.get_object(who, path, introspect=False).GetAll(
            'org.bluez.LEAdvertisement1', dbus_interface='org.freedesktop.DBus.Properties', reply_handler=got,
            error_handler=lambda e: fail(failed(str(e))))

    @dbus.service.method(AD_MANAGER, in_signature='o', sender_keyword='who')
    def UnregisterAdvertisement(self, path, who=None):
        State.advertisements.pop((str(who), str(path)))


# As bluetoothd calls a characteristic for a central: offset only when non-zero, uint16 throughout. An
# unregistered UUID ends in StopIteration, which the caller receives as a D-Bus error.
def call_characteristic(uuid, offset, method, *args, **handlers):
    options = {'device': dbus.ObjectPath(HCI0 + '/dev_11_22_33_44_55_66'), 'mtu': dbus.UInt16(23), 'link': 'LE'}
    if offset:
        options['offset'] = dbus.UInt16(offset)
    who, path = next((who, c[uuid]) for (who, _), c in State.applications.items() if uuid in c)
    characteristic = dbus.Interface(bus.get_object(who, path, introspect=False), CHR)
    getattr(characteristic, method)(*args, dbus.Dictionary(options, signature='sv'), **handlers)


class Central(dbus.service.Object):
    @dbus.service.method(CENTRAL, in_signature='sq', out_signature='ay', async_callbacks=('ok', 'fail'))
    def Read(self, uuid, offset, ok=None, fail=None):
        call_characteristic(uuid, offset, 'ReadValue', reply_handler=lambda v: ok(dbus.ByteArray(bytes(v))),
                            error_handler=fail)

    @dbus.service.method(CENTRAL, in_signature='say', async_callbacks=('ok', 'fail'))
    def Write(self, uuid, value, ok=None, fail=None):
        call_characteristic(uuid, 0, 'WriteValue', dbus.ByteArray(bytes(value)), reply_handler=ok, error_handler=fail)

    @dbus.service.method(CENTRAL, in_signature='b')
    def SetPowered(self, powered):
        State.powered = bool(powered)
        adapter.PropertiesChanged(ADAPTER, {'Powered': dbus.Boolean(State.powered)}, dbus.Array([], signature='s'))

    @dbus.service.method(CENTRAL, in_signature='b')
    def SetAdapterPresent(self, present):
        State.adapter_present = bool(present)
        if present:
            root.InterfacesAdded(HCI0, adapter_interfaces())
        else:
            State.applications.clear()
            State.advertisements.clear()
            root.InterfacesRemoved(HCI0, [ADAPTER, GATT_MANAGER, AD_MANAGER])

    # bluetoothd leaves the bus; the stand-in's bus stays for the test.
    @dbus.service.method(CENTRAL)
    def StopBluetoothd(self):
        bus.release_name('org.bluez')

    @dbus.service.method(CENTRAL)
    def Quit(self):
        loop.quit()

    @dbus.service.method(CENTRAL, out_signature='s')
    def Registrations(self):
        return json.dumps({
            'applications': [sorted(c) for c in State.applications.values()],
            'advertisements': list(State.advertisements.values())})


root = Root(bus, '/')
adapter = Adapter(bus, HCI0)
central = Central(bus, '/pavonix/test')
names = [dbus.service.BusName(name, bus) for name in ('org.bluez', CENTRAL)]
loop = GLib.MainLoop()
# Bounded, should the test never say Quit.
GLib.timeout_add_seconds(120, loop.quit)
print(address, flush=True)
try:
    loop.run()
finally:
    daemon.terminate()
