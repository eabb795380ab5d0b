#pragma once

#include "platform/ShortcutBackend.h"

#include <QDBusConnection>
#include <QProcessEnvironment>

#include <qcoro/qcorotask.h>

#include <memory>

// Picks the global-shortcut backend of the running desktop session: X11 key grabs under X11, the
// desktop portal under Wayland when it offers shortcuts, otherwise a backend that explains in the
// log why no shortcut can work and what to do instead.
namespace ShortcutBackendSelector {

enum class Choice { x11, portal, none };

// The choice for a session described by `environment` (XDG_SESSION_TYPE, WAYLAND_DISPLAY,
// DISPLAY), given whether the portal offers global shortcuts.
Choice choose(const QProcessEnvironment& environment, bool portalOffersShortcuts);
// Whether `environment` describes a Wayland session.
bool isWaylandSession(const QProcessEnvironment& environment);

// The backend for this session; never none.
QCoro::Task<std::unique_ptr<ShortcutBackend>>
createForSession(QProcessEnvironment environment = QProcessEnvironment::systemEnvironment(),
                 QDBusConnection bus = QDBusConnection::sessionBus());

} // namespace ShortcutBackendSelector
