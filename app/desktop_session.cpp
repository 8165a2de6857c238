#include "app/desktop_session.h"

#include <QGuiApplication>
#include <QWidget>
#include <cstdio>

bool haveDisplay()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // A platform named by the user (offscreen, vnc, eglfs, ...) is theirs
    // to choose; otherwise Qt needs an X11 or a Wayland display.
    for (const char *name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY" }) {
        if (!qEnvironmentVariableIsEmpty(name))
            return true;
    }
    std::fprintf(stderr,
        "matrix-panel: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set); to run "
        "without a screen, use --headless with --listen or --videohub\n");
    return false;
#else
    return true;
#endif
}

void createWindowsForDesktop(
    std::initializer_list<QWidget *> windows, const QString &desktopFileName)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    const QString name = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(desktopFileName);
    for (QWidget *window : windows)
        window->winId();
    QCoreApplication::setApplicationName(name);
}
