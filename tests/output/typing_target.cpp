// A window that records the key presses it receives, for the typing tests.
//
//   voxlet_typing_target OUTPUT TITLE [--no-ping]
//
// The text of every key press is appended to OUTPUT (UTF-8, written at once); a Return press appends
// a line feed. Presses that carry Ctrl, Alt or Meta are also listed in OUTPUT.modified, one a line,
// because typing must never produce them. "shown 0x<window>" is printed once the window is shown,
// "ready 0x<window>" once it is active.
// With --no-ping the window stops advertising _NET_WM_PING, like applications that do not answer it.

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void removePingProtocol(xcb_window_t window) {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    auto intern = [connection](const char* name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return atom;
    };
    const xcb_atom_t protocols = intern("WM_PROTOCOLS");
    const xcb_atom_t ping = intern("_NET_WM_PING");
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, protocols, XCB_ATOM_ATOM, 0, 64), nullptr);
    std::vector<xcb_atom_t> kept;
    if (reply) {
        const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
        const int count = xcb_get_property_value_length(reply) / int(sizeof(xcb_atom_t));
        for (int index = 0; index < count; ++index)
            if (atoms[index] != ping)
                kept.push_back(atoms[index]);
        free(reply);
    }
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, protocols, XCB_ATOM_ATOM, 32,
                        uint32_t(kept.size()), kept.data());
    free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    xcb_disconnect(connection);
}

class RecordingWindow : public QWidget {
public:
    RecordingWindow(const QString& outputPath)
        : output(outputPath)
        , modified(outputPath + QStringLiteral(".modified")) {
        output.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
        modified.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
        setFocusPolicy(Qt::StrongFocus);
        resize(420, 160);
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const int key = event->key();
        const bool modifierKey = key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Alt ||
                                 key == Qt::Key_Meta || key == Qt::Key_Super_L || key == Qt::Key_Super_R ||
                                 key == Qt::Key_AltGr || key == Qt::Key_CapsLock || key == Qt::Key_NumLock ||
                                 key == Qt::Key_Hyper_L || key == Qt::Key_Hyper_R;
        if (modifierKey)
            return;
        if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
            modified.write(QStringLiteral("%1 %2 %3\n")
                               .arg(key, 0, 16)
                               .arg(int(event->modifiers()), 0, 16)
                               .arg(event->text())
                               .toUtf8());
        if (key == Qt::Key_Return || key == Qt::Key_Enter)
            output.write("\n");
        else
            output.write(event->text().toUtf8());
    }

private:
    QFile output;
    QFile modified;
};

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 3) {
        std::fprintf(stderr, "usage: voxlet_typing_target OUTPUT TITLE [--no-ping]\n");
        return 2;
    }
    RecordingWindow window(arguments.at(1));
    window.setWindowTitle(arguments.at(2));
    window.show();
    window.activateWindow();
    window.raise();
    if (arguments.contains(QStringLiteral("--no-ping")))
        removePingProtocol(xcb_window_t(window.winId()));

    std::printf("shown 0x%llx\n", static_cast<unsigned long long>(window.winId()));
    std::fflush(stdout);
    QTimer ready;
    QObject::connect(&ready, &QTimer::timeout, &window, [&] {
        if (!window.isActiveWindow())
            return;
        ready.stop();
        std::printf("ready 0x%llx\n", static_cast<unsigned long long>(window.winId()));
        std::fflush(stdout);
    });
    ready.start(10);
    return application.exec();
}
