# Asks the desktop's thumbnail service (org.freedesktop.thumbnails.Thumbnailer1, which
# tumblerd provides) for the normal-sized thumbnail of one file, as a file manager does,
# and waits for its answer. Prints the path the thumbnail is cached at (under
# $XDG_CACHE_HOME/thumbnails/normal, named after the MD5 of the file's URI), and each error
# the service reports. Status 0 when the service said the thumbnail is ready.
#
#     python3 tumbler_thumbnail.py FILE MIME-TYPE
import hashlib
import os
import sys

from gi.repository import Gio, GLib

NAME = "org.freedesktop.thumbnails.Thumbnailer1"
PATH = "/org/freedesktop/thumbnails/Thumbnailer1"

uri = Gio.File.new_for_path(sys.argv[1]).get_uri()
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
loop = GLib.MainLoop()
ready = []


def on_signal(_connection, _sender, _path, _interface, signal, parameters):
    values = parameters.unpack()
    if signal == "Ready":
        ready.extend(values[1])
    elif signal == "Error":
        print("error %d: %s" % (values[2], values[3]), file=sys.stderr)
    elif signal == "Finished":
        loop.quit()


bus.signal_subscribe(NAME, NAME, None, PATH, None, Gio.DBusSignalFlags.NONE, on_signal)
bus.call_sync(NAME, PATH, NAME, "Queue",
              GLib.Variant("(asasssu)", ([uri], [sys.argv[2]], "normal", "default", 0)),
              GLib.VariantType("(u)"), Gio.DBusCallFlags.NONE, 30000, None)
GLib.timeout_add_seconds(60, loop.quit)
loop.run()
cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.environ["HOME"], ".cache")
print(os.path.join(cache, "thumbnails", "normal", hashlib.md5(uri.encode()).hexdigest() + ".png"))
sys.exit(0 if uri in ready else 1)
