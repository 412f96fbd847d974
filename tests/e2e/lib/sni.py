#!/usr/bin/python3
"""A StatusNotifierWatcher with a host behind it, as a panel offers one on the session bus, and
the host's side of a tray item: its menu over dbusmenu, a click on a menu item, activation.

Usage: sni.py watcher        runs the watcher; prints "registered SERVICE PATH" per item
       sni.py items          the registered items, one "SERVICE PATH" a line
       sni.py menu           the menu of the one item: a caption a line, "-" for a separator,
                             " [x]"/" [ ]" after a check mark item, " (disabled)" when so
       sni.py click CAPTION  clicks that menu item, as a host does when it is chosen
       sni.py activate       the item's primary action (a left click in a panel)
"""
import sys

import dbus
import dbus.service

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
PROPERTIES = "org.freedesktop.DBus.Properties"

# Qt reads the watcher's properties through its introspection data, so they are declared.
INTROSPECTION = """<node><interface name="org.kde.StatusNotifierWatcher">
<method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
<method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/>
<signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
<signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
<signal name="StatusNotifierHostRegistered"/>
</interface></node>"""


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, WATCHER_PATH)
        self.items = []

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        # A path names an object of the caller; a bus name an item at the usual path.
        item = f"{sender} {service}" if service.startswith("/") else f"{service} /StatusNotifierItem"
        if item not in self.items:
            self.items.append(item)
        print("registered", item, flush=True)
        self.StatusNotifierItemRegistered(item)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, item):
        pass

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
                "IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0)}

    @dbus.service.method("org.freedesktop.DBus.Introspectable", out_signature="s")
    def Introspect(self):
        return INTROSPECTION


def run_watcher():
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib
    import signal

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    # Items ask for the watcher by name: the object is in place before the name is taken.
    name = dbus.service.BusName(WATCHER, bus, do_not_queue=True)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print("watching", flush=True)
    loop.run()
    del name, watcher


def the_item(bus):
    watcher = bus.get_object(WATCHER, WATCHER_PATH)
    items = watcher.Get(WATCHER, "RegisteredStatusNotifierItems", dbus_interface=PROPERTIES)
    if len(items) != 1:
        sys.exit(f"expected one registered item, got {list(items)}")
    service, path = items[0].split(" ")
    return bus.get_object(service, path)


def the_menu(bus):
    item = the_item(bus)
    path = item.Get(ITEM, "Menu", dbus_interface=PROPERTIES)
    return bus.get_object(item.bus_name, path)


def menu_items(menu):
    # A host asks first, as the menu is about to be shown, then reads the whole tree.
    menu.AboutToShow(0, dbus_interface=MENU)
    _, (_, _, children) = menu.GetLayout(0, -1, [], dbus_interface=MENU)
    return [(int(child[0]), dict(child[1])) for child in children]


def caption(properties):
    if properties.get("type") == "separator":
        return "-"
    text = str(properties.get("label", ""))
    if properties.get("toggle-type") == "checkmark":
        text += " [x]" if properties.get("toggle-state") == 1 else " [ ]"
    if not properties.get("enabled", True):
        text += " (disabled)"
    return text


def main():
    command = sys.argv[1:]
    if command == ["watcher"]:
        return run_watcher()
    bus = dbus.SessionBus()
    if command == ["items"]:
        watcher = bus.get_object(WATCHER, WATCHER_PATH)
        for item in watcher.Get(WATCHER, "RegisteredStatusNotifierItems",
                                dbus_interface=PROPERTIES):
            print(item)
    elif command == ["menu"]:
        for _, properties in menu_items(the_menu(bus)):
            print(caption(properties))
    elif len(command) == 2 and command[0] == "click":
        menu = the_menu(bus)
        ids = [id for id, properties in menu_items(menu) if properties.get("label") == command[1]]
        if len(ids) != 1:
            sys.exit(f"no single menu item {command[1]!r}")
        menu.Event(ids[0], "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                   dbus_interface=MENU)
    elif command == ["activate"]:
        the_item(bus).Activate(0, 0, dbus_interface=ITEM)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
