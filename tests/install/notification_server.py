#!/usr/bin/python3
"""A desktop's notification service (org.freedesktop.Notifications) on the session bus
DBUS_SESSION_BUS_ADDRESS names, for the tests: each notification it is asked to show is
written to FILE as one JSON object a line (app, summary, body, hints). It writes "ready"
on stdout once it has its name, and runs until it is killed.

    notification_server.py FILE
"""
import json
import sys

from gi.repository import Gio, GLib

INTERFACE = """
<node><interface name="org.freedesktop.Notifications">
  <method name="Notify">
    <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
    <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
    <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
  </method>
  <method name="GetCapabilities"><arg type="as" direction="out"/></method>
  <method name="GetServerInformation">
    <arg type="s" direction="out"/><arg type="s" direction="out"/>
    <arg type="s" direction="out"/><arg type="s" direction="out"/>
  </method>
  <method name="CloseNotification"><arg type="u" direction="in"/></method>
</interface></node>
"""


def main():
    out = sys.argv[1]
    shown = [0]

    def called(_connection, _sender, _path, _interface, method, parameters, invocation):
        if method == "Notify":
            app, _replaces, _icon, summary, body, _actions, hints, _timeout = parameters.unpack()
            with open(out, "a", encoding="utf-8") as f:
                f.write(json.dumps({"app": app, "summary": summary, "body": body,
                                    "hints": {k: str(v) for k, v in hints.items()}}) + "\n")
            shown[0] += 1
            invocation.return_value(GLib.Variant("(u)", (shown[0],)))
        elif method == "GetCapabilities":
            invocation.return_value(GLib.Variant("(as)", (["body"],)))
        elif method == "GetServerInformation":
            invocation.return_value(GLib.Variant("(ssss)", ("tests", "zub", "1", "1.2")))
        else:
            invocation.return_value(None)

    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    node = Gio.DBusNodeInfo.new_for_xml(INTERFACE)
    bus.register_object("/org/freedesktop/Notifications", node.interfaces[0], called, None, None)

    def acquired(*_):
        print("ready", flush=True)

    Gio.bus_own_name_on_connection(bus, "org.freedesktop.Notifications", Gio.BusNameOwnerFlags.NONE,
                                   acquired, None)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
