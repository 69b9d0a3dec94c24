#pragma once
// The X11 connection of this program's windows, or null: no GUI application (a command-line
// program or a test) or another platform. qGuiApp would be a plain cast of whatever
// application object exists, so the check is done here, once.
#include <QCoreApplication>
#include <QGuiApplication>
#include <xcb/xcb.h>

inline xcb_connection_t *X11Connection()
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    auto *x11 = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}
