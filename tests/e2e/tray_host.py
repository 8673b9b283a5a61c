"""A notification-area host on the session bus, as a desktop panel runs one: it owns
org.kde.StatusNotifierWatcher, takes the items that register, and reads and clicks their menus
(com.canonical.dbusmenu) the way the panel does when the user picks an entry.

Only the public D-Bus protocol; GLib's main loop runs on a thread of its own, so the calls
below may be made from the test's thread."""

import threading
import time

import gi

gi.require_version("Gio", "2.0")
gi.require_version("GLib", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER_NAME = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM_INTERFACE = "org.kde.StatusNotifierItem"
MENU_INTERFACE = "com.canonical.dbusmenu"

WATCHER_XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>"""


class TrayHost:
    def __init__(self, timeout=10, unanswered=0):
        """unanswered: the number of first registrations left without an answer, as a host
        that misses them (or an item stuck before it reaches the host) shows it."""
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        self._lock = threading.Lock()
        self.items = []  # (bus name, object path) in order of registration
        self._unanswered = unanswered
        self._left_waiting = []
        self._owned = threading.Event()
        self._lost = threading.Event()
        self.loop = GLib.MainLoop()
        self._thread = threading.Thread(target=self.loop.run, daemon=True)
        self._thread.start()
        info = Gio.DBusNodeInfo.new_for_xml(WATCHER_XML).interfaces[0]
        self._registration = self.bus.register_object(
            WATCHER_PATH, info, self._on_call, self._on_property, None)
        self._owner = Gio.bus_own_name_on_connection(
            self.bus, WATCHER_NAME, Gio.BusNameOwnerFlags.NONE,
            lambda *a: self._owned.set(), lambda *a: self._lost.set())
        if not self._owned.wait(timeout) or self._lost.is_set():
            self.close()
            raise RuntimeError("could not own " + WATCHER_NAME + " on the session bus")

    def _on_call(self, connection, sender, path, interface, method, params, invocation):
        if method == "RegisterStatusNotifierItem" and self._unanswered > 0:
            self._unanswered -= 1
            self._left_waiting.append(invocation)
        elif method == "RegisterStatusNotifierItem":
            service = params.unpack()[0]
            # An item gives its object path (and is the sender) or a bus name of its own.
            item = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
            with self._lock:
                if item not in self.items:
                    self.items.append(item)
            connection.emit_signal(None, WATCHER_PATH, WATCHER_NAME,
                                   "StatusNotifierItemRegistered",
                                   GLib.Variant("(s)", (item[0] + item[1],)))
            invocation.return_value(None)
        elif method == "RegisterStatusNotifierHost":
            invocation.return_value(None)
        else:
            invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)

    def _on_property(self, connection, sender, path, interface, name):
        if name == "RegisteredStatusNotifierItems":
            with self._lock:
                return GLib.Variant("as", [n + p for n, p in self.items])
        if name == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        if name == "ProtocolVersion":
            return GLib.Variant("i", 0)
        return None

    def registered(self):
        with self._lock:
            return list(self.items)

    def wait_item(self, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            items = self.registered()
            if items:
                return items[0]
            time.sleep(0.05)
        raise TimeoutError("no notification item registered")

    def _call(self, name, path, interface, method, args, reply_type):
        return self.bus.call_sync(name, path, interface, method, args,
                                  GLib.VariantType.new(reply_type),
                                  Gio.DBusCallFlags.NONE, 10000, None).unpack()

    def properties(self, item):
        """The item's properties as the panel reads them (Status, Title, IconName, Menu...)."""
        return self._call(item[0], item[1], "org.freedesktop.DBus.Properties", "GetAll",
                          GLib.Variant("(s)", (ITEM_INTERFACE,)), "(a{sv})")[0]

    def menu_entries(self, item):
        """(id, label, visible, enabled) of the menu's top-level entries."""
        menu = self.properties(item)["Menu"]
        _, layout = self._call(item[0], menu, MENU_INTERFACE, "GetLayout",
                               GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")
        entries = []
        for child in layout[2]:
            ident, props, _ = child
            if props.get("type") == "separator":
                continue
            entries.append((ident, props.get("label", ""), props.get("visible", True),
                            props.get("enabled", True)))
        return entries

    def click(self, item, ident):
        """The user's pick of one menu entry, as the panel reports it."""
        menu = self.properties(item)["Menu"]
        # A panel opens the menu before the pick; dbusmenu lets the item prepare it.
        self._call(item[0], menu, MENU_INTERFACE, "AboutToShow",
                   GLib.Variant("(i)", (0,)), "(b)")
        self._call(item[0], menu, MENU_INTERFACE, "Event",
                   GLib.Variant("(isvu)", (ident, "clicked", GLib.Variant("i", 0),
                                           int(time.time()) & 0xFFFFFFFF)), "()")

    def close(self):
        if self._owner:
            Gio.bus_unown_name(self._owner)
            self._owner = 0
        if self._registration:
            self.bus.unregister_object(self._registration)
            self._registration = 0
        self.loop.quit()
        self._thread.join(5)
