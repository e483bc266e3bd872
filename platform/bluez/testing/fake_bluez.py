#!/usr/bin/env python3
# A stand-in bluetoothd on DBUS_SESSION_BUS_ADDRESS: adapter hci0 records registrations as bluetoothd
# does (reading the tree before answering); /pavonix/test plays the central that reads and writes.
import json

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()

OM = 'org.freedesktop.DBus.ObjectManager'
PROPS = 'org.freedesktop.DBus.Properties'
ADAPTER = 'org.bluez.Adapter1'
GATT_MANAGER = 'org.bluez.GattManager1'
AD_MANAGER = 'org.bluez.LEAdvertisingManager1'
SERVICE = 'org.bluez.GattService1'
CHR = 'org.bluez.GattCharacteristic1'
AD = 'org.bluez.LEAdvertisement1'
HCI0 = '/org/bluez/hci0'
DEVICE = HCI0 + '/dev_11_22_33_44_55_66'
KNOWN_FLAGS = {'read', 'write', 'write-without-response', 'notify', 'indicate', 'encrypt-read', 'encrypt-write'}


def failed(text):
    return dbus.DBusException(text, name='org.bluez.Error.Failed')


class State:
    powered = True
    adapter_present = True
    applications = {}   # (sender, path) -> {characteristic uuid: object path}
    advertisements = {}  # (sender, path) -> properties


def check_tree(objects):
    services = {p for p, i in objects.items() if SERVICE in i and 'UUID' in i[SERVICE] and 'Primary' in i[SERVICE]}
    if not services:
        raise ValueError('No valid service object found')
    characteristics = {}
    for path, interfaces in objects.items():
        if CHR not in interfaces:
            continue
        props = interfaces[CHR]
        flags = [str(f) for f in props.get('Flags', [])]
        if props.get('Service') not in services or not flags or not set(flags) <= KNOWN_FLAGS:
            raise ValueError('No valid service object found')
        characteristics[str(props['UUID'])] = str(path)
    return characteristics


class Root(dbus.service.Object):
    @dbus.service.method(OM, out_signature='a{oa{sa{sv}}}')
    def GetManagedObjects(self):
        if not State.adapter_present:
            return dbus.Dictionary({}, signature='oa{sa{sv}}')
        return {HCI0: adapter_interfaces()}

    @dbus.service.signal(OM, signature='oa{sa{sv}}')
    def InterfacesAdded(self, path, interfaces):
        pass

    @dbus.service.signal(OM, signature='oas')
    def InterfacesRemoved(self, path, interfaces):
        pass


def adapter_interfaces():
    return {
        ADAPTER: {'Address': 'AA:BB:CC:DD:EE:FF', 'Alias': 'fake', 'Powered': dbus.Boolean(State.powered),
                  'Discoverable': dbus.Boolean(False)},
        GATT_MANAGER: dbus.Dictionary({}, signature='sv'),
        AD_MANAGER: {'ActiveInstances': dbus.Byte(len(State.advertisements)), 'SupportedInstances': dbus.Byte(4),
                     'SupportedIncludes': dbus.Array(['local-name'], signature='s')},
    }


class Adapter(dbus.service.Object):
    @dbus.service.signal(PROPS, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(GATT_MANAGER, in_signature='oa{sv}', sender_keyword='who', async_callbacks=('ok', 'fail'))
    def RegisterApplication(self, path, options, who=None, ok=None, fail=None):
        key = (str(who), str(path))

        def got(objects):
            try:
                State.applications[key] = check_tree(objects)
            except ValueError as error:
                fail(failed(str(error)))
                return
            ok()

        bus.get_object(who, path, introspect=False).GetManagedObjects(
            dbus_interface=OM, reply_handler=got, error_handler=lambda e: fail(failed('No object received')))

    @dbus.service.method(GATT_MANAGER, in_signature='o', sender_keyword='who')
    def UnregisterApplication(self, path, who=None):
        if State.applications.pop((str(who), str(path)), None) is None:
            raise dbus.DBusException('Does Not Exist', name='org.bluez.Error.DoesNotExist')

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
            AD, dbus_interface=PROPS, reply_handler=got, error_handler=lambda e: fail(failed(str(e))))

    @dbus.service.method(AD_MANAGER, in_signature='o', sender_keyword='who')
    def UnregisterAdvertisement(self, path, who=None):
        if State.advertisements.pop((str(who), str(path)), None) is None:
            raise dbus.DBusException('Does Not Exist', name='org.bluez.Error.DoesNotExist')


def central_options(offset):
    options = {'device': dbus.ObjectPath(DEVICE), 'mtu': dbus.UInt16(23), 'link': 'LE'}
    if offset:
        options['offset'] = dbus.UInt16(offset)
    return dbus.Dictionary(options, signature='sv')


def characteristic(uuid):
    for (who, _), characteristics in State.applications.items():
        if uuid in characteristics:
            return dbus.Interface(bus.get_object(who, characteristics[uuid], introspect=False), CHR)
    raise dbus.DBusException('no such characteristic', name='org.pavonix.Error.NotRegistered')


class Central(dbus.service.Object):
    @dbus.service.method('org.pavonix.FakeCentral', in_signature='sq', out_signature='ay',
                         async_callbacks=('ok', 'fail'))
    def Read(self, uuid, offset, ok=None, fail=None):
        characteristic(uuid).ReadValue(central_options(offset), reply_handler=lambda v: ok(dbus.ByteArray(bytes(v))),
                                       error_handler=fail)

    @dbus.service.method('org.pavonix.FakeCentral', in_signature='say', async_callbacks=('ok', 'fail'))
    def Write(self, uuid, value, ok=None, fail=None):
        characteristic(uuid).WriteValue(dbus.ByteArray(bytes(value)), central_options(0), reply_handler=ok,
                                        error_handler=fail)

    @dbus.service.method('org.pavonix.FakeCentral', in_signature='b')
    def SetPowered(self, powered):
        State.powered = bool(powered)
        adapter.PropertiesChanged(ADAPTER, {'Powered': dbus.Boolean(State.powered)}, dbus.Array([], signature='s'))

    @dbus.service.method('org.pavonix.FakeCentral', in_signature='b')
    def SetAdapterPresent(self, present):
        State.adapter_present = bool(present)
        if present:
            root.InterfacesAdded(HCI0, adapter_interfaces())
        else:
            State.applications.clear()
            State.advertisements.clear()
            root.InterfacesRemoved(HCI0, [ADAPTER, GATT_MANAGER, AD_MANAGER])

    @dbus.service.method('org.pavonix.FakeCentral', out_signature='s')
    def Registrations(self):
        return json.dumps({
            'applications': [{'path': p, 'characteristics': sorted(c)} for (_, p), c in State.applications.items()],
            'advertisements': list(State.advertisements.values())})


root = Root(bus, '/')
adapter = Adapter(bus, HCI0)
central = Central(bus, '/pavonix/test')
name = dbus.service.BusName('org.bluez', bus)
GLib.MainLoop().run()
