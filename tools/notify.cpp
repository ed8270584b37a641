#include "tools/notify.hpp"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace zub {

namespace {

struct bus_release {
    void operator()(sd_bus* bus) const { (void)sd_bus_flush_close_unref(bus); }
};
using bus_handle = std::unique_ptr<sd_bus, bus_release>;

// A notification server may read the body as markup: the viewer's words are shown as
// they are.
std::string as_plain_text(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else {
            out += c;
        }
    }
    return out;
}

// A notification service started on demand may take a moment; a desktop that does not
// answer in this time is not waited for any longer.
constexpr std::uint64_t answer_microseconds = 5'000'000;

}  // namespace

outcome notify_desktop(const std::string& summary, const std::string& body) {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0')
        return failure{"no session bus (DBUS_SESSION_BUS_ADDRESS is not set)"};
    sd_bus* opened = nullptr;
    if (const int error = sd_bus_new(&opened); error < 0) return failure{std::strerror(-error)};
    const bus_handle bus{opened};
    int error = sd_bus_set_address(bus.get(), address);
    if (error >= 0) error = sd_bus_set_bus_client(bus.get(), 1);
    if (error >= 0) error = sd_bus_set_method_call_timeout(bus.get(), answer_microseconds);
    if (error >= 0) error = sd_bus_start(bus.get());
    if (error < 0) return failure{std::string("cannot reach the session bus: ") + std::strerror(-error)};
    sd_bus_error why = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout)
    error = sd_bus_call_method(bus.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                               "org.freedesktop.Notifications", "Notify", &why, &reply, "susssasa{sv}i",
                               "zub_reader", 0U, "dialog-error", summary.c_str(), as_plain_text(body).c_str(),
                               0, 1, "desktop-entry", "s", "zub_reader", -1);
    sd_bus_message_unref(reply);
    std::string reason;
    if (error < 0) reason = why.message != nullptr ? why.message : std::strerror(-error);
    sd_bus_error_free(&why);
    if (error < 0) return failure{"the desktop's notifications did not answer: " + reason};
    return done{};
}

}  // namespace zub
