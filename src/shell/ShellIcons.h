#pragma once
#include <QIcon>
#include <QString>

/// The program's pictures, drawn at start so they are sharp at any size: the red
/// "@" of the tray and its 18 "new mail" frames, the toolbar images keyed by the
/// command names, the list's envelope and the status icons. Main thread (QPainter on
/// pixmaps needs the GUI application).
class ShellIcons
{
public:
    static constexpr int AnimationFrames = 18;

    /// The normal tray icon (frame 0) or animation frame 1..18.
    static QIcon tray(int frame = 0);
    /// The picture of a toolbar command ("mnuTalkDate_Click", ...); null when unknown.
    static QIcon tool(const QString &key);
    static QIcon envelope();
    static QIcon checking();
    static QIcon error();
    /// The program's icon (windows, about box).
    static QIcon application();
};
