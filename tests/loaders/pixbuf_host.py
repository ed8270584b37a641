# A gdk-pixbuf host for the tests, as GTK programs load pictures: the whole file
# (GdkPixbuf.Pixbuf.new_from_file) or its bytes fed in pieces (GdkPixbuf.PixbufLoader, as
# GTK's file chooser and eog feed them). Writes the pixbuf's pixels as a binary PPM;
# a load error is printed as "error: ..." with status 1, the host alive to say it.
#
#   pixbuf_host.py file DOC OUT.ppm
#   pixbuf_host.py pieces DOC OUT.ppm PIECE_BYTES
#   pixbuf_host.py info DOC              prints the format's name and the size
#   pixbuf_host.py time FILE RUNS        prints the median seconds of new_from_file
#   pixbuf_host.py kept DOC RUNS         loads it RUNS times; prints the descriptors left open
import os
import statistics
import sys
import time

import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib  # noqa: E402


def write_ppm(pixbuf, path):
    width, height = pixbuf.get_width(), pixbuf.get_height()
    channels, stride = pixbuf.get_n_channels(), pixbuf.get_rowstride()
    pixels = pixbuf.get_pixels()
    rows = bytearray()
    for y in range(height):
        row = pixels[y * stride : y * stride + width * channels]
        if channels == 4:
            row = bytes(b for i, b in enumerate(row) if i % 4 != 3)
        rows += row
    with open(path, "wb") as out:
        out.write(b"P6\n%d %d\n255\n" % (width, height) + bytes(rows))


def main():
    mode, doc = sys.argv[1], sys.argv[2]
    try:
        if mode == "info":
            format_, width, height = GdkPixbuf.Pixbuf.get_file_info(doc)
            print(format_.get_name() if format_ else None, width, height)
            return 0
        if mode == "kept":
            before = len(os.listdir("/proc/self/fd"))
            for _ in range(int(sys.argv[3])):
                GdkPixbuf.Pixbuf.new_from_file(doc)
            print("kept", len(os.listdir("/proc/self/fd")) - before)
            return 0
        if mode == "time":
            seconds = []
            for _ in range(int(sys.argv[3])):
                start = time.perf_counter()
                GdkPixbuf.Pixbuf.new_from_file(doc)
                seconds.append(time.perf_counter() - start)
            print(statistics.median(seconds))
            return 0
        if mode == "file":
            pixbuf = GdkPixbuf.Pixbuf.new_from_file(doc)
        else:
            piece = int(sys.argv[4])
            loader = GdkPixbuf.PixbufLoader()
            with open(doc, "rb") as f:
                while data := f.read(piece):
                    loader.write(data)
            loader.close()
            pixbuf = loader.get_pixbuf()
    except GLib.Error as e:
        print("error:", e.message)
        return 1
    write_ppm(pixbuf, sys.argv[3])
    return 0


sys.exit(main())
