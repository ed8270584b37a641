# Waits until a picture shows on an X display, pixel for pixel: looks at the whole screen
# (a screenshot through Pillow) every 200 ms. Exits 0 once it is there, 1 at the deadline
# with the last screenshot saved beside the picture.
#
#   find_on_screen.py DISPLAY PICTURE.ppm SECONDS
import sys
import time

from PIL import Image, ImageGrab


def found(screen, picture):
    width, height = picture.size
    rows = [picture.crop((0, y, width, y + 1)).tobytes() for y in range(height)]
    lines = [screen.crop((0, y, screen.width, y + 1)).tobytes() for y in range(screen.height)]
    for top in range(screen.height - height + 1):
        at = lines[top].find(rows[0])
        while at >= 0:
            if at % 3 == 0 and all(lines[top + y][at : at + len(rows[y])] == rows[y] for y in range(height)):
                return True
            at = lines[top].find(rows[0], at + 1)
    return False


def main():
    display, picture = sys.argv[1], Image.open(sys.argv[2]).convert("RGB")
    deadline = time.monotonic() + float(sys.argv[3])
    while True:
        screen = ImageGrab.grab(xdisplay=display).convert("RGB")
        if found(screen, picture):
            return 0
        if time.monotonic() > deadline:
            screen.save(sys.argv[2] + ".screen.png")
            return 1
        time.sleep(0.2)


sys.exit(main())
