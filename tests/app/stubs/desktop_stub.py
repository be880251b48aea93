#!/usr/bin/python3
"""Stand-ins for the desktop's services on a private session bus.

    desktop_stub.py RECORD_FILE notifications [silent]
    desktop_stub.py RECORD_FILE portal

"notifications" owns org.freedesktop.Notifications and records every Notify
and CloseNotification call (one JSON line each), answering a close with the
NotificationClosed signal, as servers do; "silent" takes the calls and never
answers them.
"portal" owns org.freedesktop.portal.Desktop with GlobalShortcuts version 1
and records CreateSession, BindShortcuts and Session.Close.

The test drives the stub through org.vorn.TestStub at /org/vorn/TestStub:
InvokeAction(id, key) emits the notification server's ActionInvoked,
Dismiss(id) its NotificationClosed as for a notice the user closed, and
Activate(shortcut_id) emits the portal's Activated for the session made last.
"""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

RECORD = sys.argv[1]
MODE = sys.argv[2]
SILENT = len(sys.argv) > 3 and sys.argv[3] == "silent"


def record(entry):
    with open(RECORD, "a", encoding="utf-8") as out:
        out.write(json.dumps(entry) + "\n")


def plain(value):
    """D-Bus values as JSON ones."""
    if isinstance(value, (dbus.Array, list)):
        return [plain(v) for v in value]
    if isinstance(value, (dbus.Struct, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (dbus.Boolean, bool)):
        return bool(value)
    if isinstance(value, (int, dbus.Byte)):
        return int(value)
    if isinstance(value, float):
        return float(value)
    return str(value)


class Notifications(dbus.service.Object):
    IFACE = "org.freedesktop.Notifications"

    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.next_id = 0

    @dbus.service.method(IFACE, out_signature="as")
    def GetCapabilities(self):
        record({"call": "GetCapabilities"})
        return ["actions", "body"]

    @dbus.service.method(IFACE, in_signature="susssasa{sv}i", out_signature="u",
                         async_callbacks=("reply", "error"))
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout, reply, error):
        if replaces:
            number = int(replaces)
        else:
            self.next_id += 1
            number = self.next_id
        if not SILENT:
            reply(dbus.UInt32(number))  # before the record: the notice "shows" once the caller has its id
        record({"call": "Notify", "app": str(app), "replaces": int(replaces), "summary": str(summary),
                "body": str(body), "actions": plain(actions), "hints": plain(hints), "timeout": int(timeout),
                "id": number})

    @dbus.service.method(IFACE, out_signature="ssss")
    def GetServerInformation(self):
        return ["stub", "vorn-tests", "1", "1.2"]

    @dbus.service.method(IFACE, in_signature="u")
    def CloseNotification(self, number):
        record({"call": "CloseNotification", "id": int(number)})
        self.NotificationClosed(dbus.UInt32(number), dbus.UInt32(3))  # 3: closed by a call

    @dbus.service.signal(IFACE, signature="us")
    def ActionInvoked(self, number, key):
        pass

    @dbus.service.signal(IFACE, signature="uu")
    def NotificationClosed(self, number, reason):
        pass


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, code, results):
        pass


class Session(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Session")
    def Close(self):
        record({"call": "Session.Close", "session": str(self._object_path)})
        self.remove_from_connection()


class Portal(dbus.service.Object):
    IFACE = "org.freedesktop.portal.GlobalShortcuts"

    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/portal/desktop")
        self.bus = bus
        self.session = None
        self.objects = []

    def request_path(self, sender, token):
        name = sender[1:].replace(".", "_")
        return "/org/freedesktop/portal/desktop/request/%s/%s" % (name, token)

    def answer(self, path, results):
        request = Request(self.bus, path)
        self.objects.append(request)
        GLib.timeout_add(20, lambda: (request.Response(dbus.UInt32(0), results), False)[1])

    @dbus.service.method(IFACE, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        token = str(options.get("handle_token", "t"))
        session_token = str(options.get("session_handle_token", "s"))
        self.session = "/org/freedesktop/portal/desktop/session/%s/%s" % (sender[1:].replace(".", "_"),
                                                                         session_token)
        self.objects.append(Session(self.bus, self.session))
        record({"call": "CreateSession", "options": plain(options)})
        path = self.request_path(sender, token)
        self.answer(path, {"session_handle": dbus.String(self.session)})
        return dbus.ObjectPath(path)

    @dbus.service.method(IFACE, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender=None):
        record({"call": "BindShortcuts", "session": str(session), "shortcuts": plain(shortcuts)})
        path = self.request_path(sender, str(options.get("handle_token", "b")))
        self.answer(path, {"shortcuts": shortcuts})
        return dbus.ObjectPath(path)

    @dbus.service.signal(IFACE, signature="osta{sv}")
    def Activated(self, session, shortcut, timestamp, options):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface == self.IFACE and name == "version":
            return dbus.UInt32(1)
        raise dbus.exceptions.DBusException("no such property", name="org.freedesktop.DBus.Error.UnknownProperty")

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"version": dbus.UInt32(1)} if interface == self.IFACE else {}


class Control(dbus.service.Object):
    def __init__(self, bus, notifications, portal):
        super().__init__(bus, "/org/vorn/TestStub")
        self.notifications = notifications
        self.portal = portal

    @dbus.service.method("org.vorn.TestStub", in_signature="us")
    def InvokeAction(self, number, key):
        self.notifications.ActionInvoked(number, key)

    @dbus.service.method("org.vorn.TestStub", in_signature="u")
    def Dismiss(self, number):
        self.notifications.NotificationClosed(number, dbus.UInt32(2))  # 2: dismissed by the user

    @dbus.service.method("org.vorn.TestStub", in_signature="s")
    def Activate(self, shortcut):
        self.portal.Activated(dbus.ObjectPath(self.portal.session), shortcut, dbus.UInt64(0), {})


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    notifications = portal = None
    if MODE == "notifications":
        notifications = Notifications(bus)
        name = dbus.service.BusName("org.freedesktop.Notifications", bus)
    else:
        portal = Portal(bus)
        name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
    control = Control(bus, notifications, portal)
    record({"call": "ready"})
    GLib.MainLoop().run()
    del name, control


if __name__ == "__main__":
    main()
