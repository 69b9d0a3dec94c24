#pragma once
#include <QProcess>
#include <QString>

/// A private X server for window tests. Start() picks a free display number
/// (Xvfb -displayfd) and points DISPLAY at it; the server ends with the object.
/// Call before QApplication exists. Without Xvfb, Start() returns false.
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();
    bool Start(QString &why);
    /// Starts or stops the compositor (xcompmgr) on this display; false when it cannot.
    bool setCompositor(bool on);
    /// Starts a tray host (trayer, a panel at the bottom right); false, and why, when it cannot.
    bool startTrayHost(QString &why);

private:
    QProcess m_server;
    QProcess m_compositor;
    QProcess m_tray;
    QString m_display;
};
