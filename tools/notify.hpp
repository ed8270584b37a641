// A desktop notification: what zub-open says on the screen when a document opened from
// the desktop cannot be shown, since nobody reads a file manager's stderr.
#pragma once

#include <string>

#include "document/result.hpp"

namespace zub {

// Asks the session's notification service (org.freedesktop.Notifications) to show
// `summary` and `body`, as the viewer's desktop entry. Only a session bus that is
// already there is used, the one DBUS_SESSION_BUS_ADDRESS names: none is started. Why
// it could not be shown, for a caller that says so elsewhere.
outcome notify_desktop(const std::string& summary, const std::string& body);

}  // namespace zub
