#include "shortcuts/ShortcutBackendSelector.h"

#include "dictation/AppLog.h"
#include "platform/portal/PortalShortcutBackend.h"
#include "platform/x11/X11ShortcutBackend.h"
#include "shortcuts/NullShortcutBackend.h"

namespace ShortcutBackendSelector {

bool isWaylandSession(const QProcessEnvironment& environment) {
    return environment.value(QStringLiteral("XDG_SESSION_TYPE"))
                   .compare(QStringLiteral("wayland"), Qt::CaseInsensitive) == 0 ||
           !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
}

Choice choose(const QProcessEnvironment& environment, bool portalOffersShortcuts) {
    // Under Wayland an X11 grab (through Xwayland) sees keys only while an X11 window has the focus:
    // it would seem to work and then fail in most applications.
    if (isWaylandSession(environment))
        return portalOffersShortcuts ? Choice::portal : Choice::none;
    if (!environment.value(QStringLiteral("DISPLAY")).isEmpty())
        return Choice::x11;
    return Choice::none;
}

QCoro::Task<std::unique_ptr<ShortcutBackend>> createForSession(QProcessEnvironment environment,
                                                               QDBusConnection bus) {
    bool portalOffersShortcuts = false;
    if (isWaylandSession(environment)) {
        const std::optional<uint> version = co_await PortalShortcutBackend::interfaceVersion(bus);
        portalOffersShortcuts = version.has_value();
        if (version)
            appLog(
                QStringLiteral("GlobalShortcuts: Wayland session; the desktop portal offers global shortcuts "
                               "(version %1)")
                    .arg(*version));
    }
    switch (choose(environment, portalOffersShortcuts)) {
    case Choice::portal:
        co_return std::make_unique<PortalShortcutBackend>(bus);
    case Choice::x11: {
        const QString display = environment.value(QStringLiteral("DISPLAY"));
        if (auto backend = X11ShortcutBackend::connect(display))
            co_return backend;
        co_return std::make_unique<NullShortcutBackend>(
            QStringLiteral("the X11 display %1 cannot be opened.").arg(display),
            QStringLiteral(
                "Start Voxlet from within the desktop session, where DISPLAY names a running X server."));
    }
    case Choice::none:
        break;
    }
    if (isWaylandSession(environment))
        co_return std::make_unique<NullShortcutBackend>(
            QStringLiteral("this Wayland desktop offers no global shortcuts (its desktop portal lacks "
                           "org.freedesktop.portal.GlobalShortcuts)."),
            QStringLiteral("Log in to an X11 session, or use a desktop whose portal offers global shortcuts "
                           "(such as KDE Plasma 5.27 or newer)."));
    co_return std::make_unique<NullShortcutBackend>(
        QStringLiteral("there is neither an X11 display nor a Wayland session."),
        QStringLiteral("Start Voxlet from within a graphical desktop session."));
}

} // namespace ShortcutBackendSelector
