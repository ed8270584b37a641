#include "tools/x11_window.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace zub::x11 {

namespace {

struct display_close {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using display_handle = std::unique_ptr<Display, display_close>;

struct image_destroy {
    void operator()(XImage* image) const { XDestroyImage(image); }
};

display_handle open_display(const std::string& name) {
    display_handle d{XOpenDisplay(name.empty() ? nullptr : name.c_str())};
    if (!d) throw std::runtime_error("cannot open the X display " + name);
    return d;
}

std::uint8_t channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (((mask >> shift) & 1U) == 0) ++shift;
    const unsigned long max = mask >> shift;
    return static_cast<std::uint8_t>(((pixel & mask) >> shift) * 255 / max);
}

}  // namespace

rgb_image capture_window(const std::string& display, unsigned long window) {
    const display_handle d = open_display(display);
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(d.get(), window, &attributes) == 0) throw std::runtime_error("no such window");
    const std::unique_ptr<XImage, image_destroy> image{
        XGetImage(d.get(), window, 0, 0, static_cast<unsigned>(attributes.width),
                  static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap)};
    if (!image) throw std::runtime_error("cannot read the window's pixels");
    rgb_image out{attributes.width, attributes.height, {}};
    out.rgb.reserve(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) * 3);
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) {
            const unsigned long p = XGetPixel(image.get(), x, y);
            out.rgb.push_back(channel(p, image->red_mask));
            out.rgb.push_back(channel(p, image->green_mask));
            out.rgb.push_back(channel(p, image->blue_mask));
        }
    }
    return out;
}

void send_delete_window(const std::string& display, unsigned long window) {
    const display_handle d = open_display(display);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(d.get(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(d.get(), "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(d.get(), window, False, NoEventMask, &event);
    XFlush(d.get());
}

text_property read_text_property(const std::string& display, unsigned long window, const std::string& name) {
    const display_handle d = open_display(display);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    text_property out;
    if (XGetWindowProperty(d.get(), window, XInternAtom(d.get(), name.c_str(), False), 0, 65536, False,
                           AnyPropertyType, &type, &format, &count, &after, &data) != Success ||
        type == None) {
        if (data != nullptr) XFree(data);
        return out;
    }
    const std::unique_ptr<unsigned char, int (*)(void*)> owned{data, &XFree};
    const std::unique_ptr<char, int (*)(void*)> type_name{XGetAtomName(d.get(), type), &XFree};
    out.type = type_name.get();
    out.bytes.assign(reinterpret_cast<const char*>(data), count);
    XTextProperty property{data, type, format, count};
    char** list = nullptr;
    int items = 0;
    if (Xutf8TextPropertyToTextList(d.get(), &property, &list, &items) == Success) {
        for (int i = 0; i < items; ++i) out.text += list[i];
        XFreeStringList(list);
    }
    return out;
}

}  // namespace zub::x11
