#include "XvfbDisplay.h"
#include "ChildProcess.h"

#include <QStandardPaths>

XvfbDisplay::~XvfbDisplay()
{
    for (QProcess *p : {&m_tray, &m_compositor, &m_server})
        stopProcess(*p, 3000);
}

bool XvfbDisplay::Start(QString &why)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        why = QStringLiteral("Xvfb is not installed");
        return false;
    }
    // -displayfd 1: the server picks a free display and writes its number to our pipe.
    m_server.setProgram(xvfb);
    m_server.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                           QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                           QStringLiteral("tcp")});
    m_server.setProcessChannelMode(QProcess::SeparateChannels);
    m_server.start();
    if (!m_server.waitForStarted(10000)) {
        why = QStringLiteral("Xvfb did not start: %1").arg(m_server.errorString());
        return false;
    }
    QByteArray number;
    while (!number.contains('\n')) {
        if (!m_server.waitForReadyRead(20000)) {
            why = QStringLiteral("Xvfb did not report its display: %1")
                      .arg(QString::fromLocal8Bit(m_server.readAllStandardError()));
            return false;
        }
        number += m_server.readAllStandardOutput();
    }
    m_display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    qputenv("DISPLAY", m_display.toLatin1());
    qputenv("QT_QPA_PLATFORM", "xcb");

    // Translucent windows need a compositor; without one the test still runs.
    setCompositor(true);
    return true;
}

bool XvfbDisplay::setCompositor(bool on)
{
    if (!on) {
        stopProcess(m_compositor);
        return true;
    }
    if (m_compositor.state() != QProcess::NotRunning)
        return true;
    const QString xcompmgr = QStandardPaths::findExecutable(QStringLiteral("xcompmgr"));
    if (xcompmgr.isEmpty())
        return false;
    m_compositor.setProgram(xcompmgr);
    m_compositor.setArguments({QStringLiteral("-n"), QStringLiteral("-d"), m_display});
    m_compositor.start();
    return m_compositor.waitForStarted(5000);
}

bool XvfbDisplay::startTrayHost(QString &why)
{
    const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
    if (trayer.isEmpty()) {
        why = QStringLiteral("trayer is not installed");
        return false;
    }
    m_tray.start(trayer, {QStringLiteral("--edge"), QStringLiteral("bottom"), QStringLiteral("--align"),
                          QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("request"),
                          QStringLiteral("--height"), QStringLiteral("32"), QStringLiteral("--SetDockType"),
                          QStringLiteral("true")});
    if (!m_tray.waitForStarted(10000)) {
        why = QStringLiteral("trayer did not start");
        return false;
    }
    return true;
}
