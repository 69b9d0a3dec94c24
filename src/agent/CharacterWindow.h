#pragma once
#include <QHash>
#include <QList>
#include <QPixmap>
#include <QRegion>
#include <QPoint>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <memory>

class QMenu;
class QSvgRenderer;
struct CharacterPackage;

/// The character on the desktop: a frameless, translucent, always-on-top tool window
/// (no task bar entry) that paints the current frame of a character package.
/// Frames are rendered from SVG once per size and kept as pixmaps, so animating costs
/// one blit per frame. Main thread only. The package must outlive the window.
class CharacterWindow : public QWidget
{
    Q_OBJECT
public:
    struct MenuCommand
    {
        QString name;
        QString caption;   ///< may hold "&" before an access key
        bool enabled = true;
    };

    explicit CharacterWindow(const CharacterPackage *package, QWidget *parent = nullptr);
    ~CharacterWindow() override;

    /// Renders frames at this height; the width keeps the package's proportions.
    void setCharacterHeight(int height);
    /// Renders frames at this size (the character's Width and Height).
    void setCharacterSize(const QSize &size);
    QSize characterSize() const { return m_size; }

    /// Shows one image of the package (a path inside it) from the next paint on.
    void showFrame(const QString &image);
    QString currentFrame() const { return m_frame; }
    /// While speaking, the speaking base is drawn with `mouth` on top.
    void setSpeaking(bool speaking);
    void setMouth(const QString &shape);
    bool isSpeaking() const { return m_speaking; }

    /// The visible commands listed at the top of the right-click menu.
    void setMenuCommands(const QList<MenuCommand> &commands);
    /// The menu that a right click opens (built afresh; the caller owns it).
    QMenu *createMenu(QWidget *parent);

    /// Pixmaps rendered so far (for tests and the benchmark).
    int cachedFrameCount() const { return int(m_cache.size()); }
    /// Renders every frame of the package at the current size now.
    void renderAll();

    /// Whether the window is cut to the figure's outline: on an X11 desktop without a
    /// compositor, where a translucent window would show a black box instead.
    bool isShaped() const { return m_shaped; }
    /// True when windows can be translucent: a compositor runs, or the platform is not X11.
    static bool compositorRunning();
    /// Call before the application object exists: in a Wayland session with XWayland, and
    /// unless QT_QPA_PLATFORM says otherwise, windows go through X11, where the program may
    /// place its character and the user drag it (Wayland lets no client place a window).
    static void preferPlaceableWindows();

Q_SIGNALS:
    /// A left-button drag ended with the window's top-left corner at (x, y).
    void userMoved(int x, int y);
    /// The window is being dragged; emitted for each step.
    void dragging(int x, int y);
    void commandChosen(const QString &name);
    void hideChosen();
    /// The menu's "Listen" item is pressed / released.
    void listenPressed();
    void listenReleased();

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    const QPixmap &pixmap(const QString &image, const QSize &size);
    QSvgRenderer *rendererFor(const QString &image);
    QSize mouthPixelSize() const;
    QRect mouthPixelRect() const;
    void prewarmNext();
    void applyShape();

    const CharacterPackage *m_package;
    QSize m_size;
    QString m_frame;
    QString m_mouth = QStringLiteral("closed");
    bool m_speaking = false;
    QHash<QString, QPixmap> m_cache;       ///< image path -> pixmap at the current size
    QHash<QString, std::shared_ptr<QSvgRenderer>> m_renderers;
    QHash<QString, QRegion> m_shapes;      ///< image path -> its outline at the current size
    bool m_shaped = false;
    QStringList m_prewarm;                 ///< images still to render in idle time
    QTimer m_prewarmTimer;
    QList<MenuCommand> m_commands;
    bool m_pressed = false;
    bool m_dragging = false;
    QPoint m_pressGlobal;
    QPoint m_pressOffset;
};
