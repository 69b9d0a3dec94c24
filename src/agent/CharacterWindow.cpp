#include "CharacterWindow.h"

#include "CharacterPackage.h"
#include "X11Connection.h"

#include <QApplication>
#include <QBitmap>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QSvgRenderer>

#include <xcb/xcb.h>
#include <cstdlib>

namespace {
/// Holding the menu's "Listen" item: the press starts listening, the release (wherever
/// it happens) ends it and closes the menu; neither reaches the menu.
class ListenHold : public QObject
{
public:
    ListenHold(QMenu *menu, QAction *listen, CharacterWindow *window)
        : QObject(menu), m_menu(menu), m_listen(listen), m_window(window)
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_menu)
            return false;
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
            auto *e = static_cast<QMouseEvent *>(event);
            if (e->button() == Qt::LeftButton && m_menu->actionAt(e->position().toPoint()) == m_listen) {
                m_held = true;
                Q_EMIT m_window->listenPressed();
                return true;
            }
        } else if (event->type() == QEvent::MouseButtonRelease && m_held) {
            if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
                m_held = false;
                Q_EMIT m_window->listenReleased();
                m_menu->close();
                return true;
            }
        } else if (event->type() == QEvent::Hide && m_held) {
            m_held = false;
            Q_EMIT m_window->listenReleased();
        }
        return false;
    }

private:
    QMenu *m_menu;
    QAction *m_listen;
    CharacterWindow *m_window;
    bool m_held = false;
};
}

CharacterWindow::CharacterWindow(const CharacterPackage *package, QWidget *parent)
    : QWidget(parent,
              Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::NoDropShadowWindowHint),
      m_package(package)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    // Announcing mail must not take the keyboard away from what the user is typing.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(package->name);
    setCursor(Qt::OpenHandCursor);
    m_prewarmTimer.setSingleShot(true);
    m_prewarmTimer.setInterval(0);
    connect(&m_prewarmTimer, &QTimer::timeout, this, &CharacterWindow::prewarmNext);
    if (package->animations.contains(QStringLiteral("RestPose")))
        m_frame = package->animations.value(QStringLiteral("RestPose")).frames.constFirst().image;
    setCharacterSize(package->originalSize);
}

CharacterWindow::~CharacterWindow() = default;

void CharacterWindow::setCharacterHeight(int height)
{
    const QSize orig = m_package->originalSize;
    const int width = qMax(1, int(qRound(double(height) * orig.width() / qMax(1, orig.height()))));
    setCharacterSize(QSize(width, height));
}

void CharacterWindow::setCharacterSize(const QSize &size)
{
    const QSize bounded(qBound(8, size.width(), 4096), qBound(8, size.height(), 4096));
    if (bounded == m_size)
        return;
    m_size = bounded;
    m_cache.clear();
    m_shapes.clear();
    setFixedSize(m_size);
    applyShape();
    // Render the frames ahead in idle time, one per event-loop turn, so that no
    // animation stalls on its first showing; the queue empties and the timer stops.
    m_prewarm = m_package->images.keys();
    std::sort(m_prewarm.begin(), m_prewarm.end());
    m_prewarmTimer.start();
    update();
}

void CharacterWindow::prewarmNext()
{
    if (m_prewarm.isEmpty())
        return;
    const QString image = m_prewarm.takeFirst();
    const bool mouth = !m_package->mouthShapes.key(image).isEmpty();
    pixmap(image, mouth ? mouthPixelSize() : m_size);
    if (!m_prewarm.isEmpty())
        m_prewarmTimer.start();
}

void CharacterWindow::renderAll()
{
    m_prewarm = m_package->images.keys();
    while (!m_prewarm.isEmpty())
        prewarmNext();
    m_prewarmTimer.stop();
}

QSvgRenderer *CharacterWindow::rendererFor(const QString &image)
{
    std::shared_ptr<QSvgRenderer> &renderer = m_renderers[image];
    if (!renderer)
        renderer = std::make_shared<QSvgRenderer>(m_package->images.value(image));
    return renderer.get();
}

const QPixmap &CharacterWindow::pixmap(const QString &image, const QSize &size)
{
    const QString key = image + QLatin1Char('@') + QString::number(size.width()) + QLatin1Char('x')
                        + QString::number(size.height());
    auto it = m_cache.find(key);
    if (it != m_cache.end())
        return *it;
    const qreal dpr = devicePixelRatioF();
    QPixmap pm(size * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QSvgRenderer *renderer = rendererFor(image);
    if (renderer->isValid()) {
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        renderer->render(&p, QRectF(QPointF(0, 0), QSizeF(size)));
    }
    return *m_cache.insert(key, pm);
}

QRect CharacterWindow::mouthPixelRect() const
{
    const QSize orig = m_package->originalSize;
    const double sx = double(m_size.width()) / qMax(1, orig.width());
    const double sy = double(m_size.height()) / qMax(1, orig.height());
    const QRectF r = m_package->mouthRect;
    return QRectF(r.x() * sx, r.y() * sy, r.width() * sx, r.height() * sy).toAlignedRect();
}

QSize CharacterWindow::mouthPixelSize() const
{
    return mouthPixelRect().size().expandedTo(QSize(1, 1));
}

void CharacterWindow::showFrame(const QString &image)
{
    if (image == m_frame)
        return;
    m_frame = image;
    if (!m_speaking) {
        applyShape();
        update();
    }
}

void CharacterWindow::setSpeaking(bool speaking)
{
    if (m_package->speakingBase.isEmpty())
        speaking = false;
    if (speaking == m_speaking)
        return;
    m_speaking = speaking;
    if (!speaking)
        m_mouth = QStringLiteral("closed");
    applyShape();
    update();
}

bool CharacterWindow::compositorRunning()
{
    xcb_connection_t *c = X11Connection();
    if (!c)
        return true;   // not X11: translucency is the platform's own business
    // EWMH: a compositing manager owns the selection _NET_WM_CM_S<screen>.
    int screen = 0;
    const QByteArray display = qgetenv("DISPLAY");
    if (const qsizetype dot = display.lastIndexOf('.'); dot > display.lastIndexOf(':'))
        screen = std::atoi(display.constData() + dot + 1);
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
    xcb_intern_atom_reply_t *atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.constData()), nullptr);
    if (!atom)
        return true;
    xcb_get_selection_owner_reply_t *owner =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr);
    const bool running = owner && owner->owner != XCB_NONE;
    std::free(owner);
    std::free(atom);
    return running;
}

void CharacterWindow::preferPlaceableWindows()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || qEnvironmentVariableIsEmpty("DISPLAY"))
        return;
    if (qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
}

void CharacterWindow::showEvent(QShowEvent *event)
{
    // Asked at every showing: a compositor may have started or stopped meanwhile.
    m_shaped = !compositorRunning();
    applyShape();
    QWidget::showEvent(event);
}

void CharacterWindow::applyShape()
{
    if (!m_shaped) {
        if (!mask().isEmpty())
            clearMask();
        return;
    }
    const QString image = m_speaking ? m_package->speakingBase : m_frame;
    if (image.isEmpty())
        return;
    auto it = m_shapes.find(image);
    if (it == m_shapes.end()) {
        QImage outline(m_size, QImage::Format_ARGB32_Premultiplied);
        outline.fill(Qt::transparent);
        QSvgRenderer *renderer = rendererFor(image);
        if (renderer->isValid()) {
            QPainter p(&outline);
            renderer->render(&p, QRectF(QPointF(0, 0), QSizeF(m_size)));
        }
        QRegion region(QBitmap::fromImage(outline.createAlphaMask(Qt::ThresholdAlphaDither)));
        // A frame with nothing drawn must not leave an empty mask (which means "no mask").
        if (region.isEmpty())
            region = QRegion(0, 0, 1, 1);
        it = m_shapes.insert(image, region);
    }
    setMask(*it);
}

void CharacterWindow::setMouth(const QString &shape)
{
    if (shape == m_mouth)
        return;
    m_mouth = shape;
    if (m_speaking)
        update(mouthPixelRect().adjusted(-2, -2, 2, 2));
}

void CharacterWindow::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(rect(), Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    if (m_speaking) {
        p.drawPixmap(0, 0, pixmap(m_package->speakingBase, m_size));
        const QString shape = m_package->mouthShapes.value(m_mouth,
                                                             m_package->mouthShapes.value(QStringLiteral("closed")));
        if (!shape.isEmpty()) {
            const QRect r = mouthPixelRect();
            p.drawPixmap(r.topLeft(), pixmap(shape, r.size().expandedTo(QSize(1, 1))));
        }
    } else if (!m_frame.isEmpty()) {
        p.drawPixmap(0, 0, pixmap(m_frame, m_size));
    }
}

void CharacterWindow::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_pressed = true;
        m_dragging = false;
        m_pressGlobal = event->globalPosition().toPoint();
        m_pressOffset = m_pressGlobal - frameGeometry().topLeft();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void CharacterWindow::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pressed || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    const QPoint global = event->globalPosition().toPoint();
    if (!m_dragging && (global - m_pressGlobal).manhattanLength() < QApplication::startDragDistance())
        return;
    if (!m_dragging) {
        m_dragging = true;
        setCursor(Qt::ClosedHandCursor);
    }
    const QPoint topLeft = global - m_pressOffset;
    move(topLeft);
    Q_EMIT dragging(topLeft.x(), topLeft.y());
    event->accept();
}

void CharacterWindow::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_pressed) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    m_pressed = false;
    if (m_dragging) {
        m_dragging = false;
        setCursor(Qt::OpenHandCursor);
        const QPoint topLeft = event->globalPosition().toPoint() - m_pressOffset;
        move(topLeft);
        Q_EMIT userMoved(topLeft.x(), topLeft.y());
    }
    event->accept();
}

void CharacterWindow::setMenuCommands(const QList<MenuCommand> &commands)
{
    m_commands = commands;
}

QMenu *CharacterWindow::createMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    for (const MenuCommand &c : std::as_const(m_commands)) {
        QAction *a = menu->addAction(c.caption.isEmpty() ? c.name : c.caption);
        a->setEnabled(c.enabled);
        a->setData(c.name);
        const QString name = c.name;
        connect(a, &QAction::triggered, this, [this, name] { Q_EMIT commandChosen(name); });
    }
    if (!m_commands.isEmpty())
        menu->addSeparator();

    // "Listen" listens while it is held down. It is an item like the others (so it
    // lines up with them); the menu's mouse presses and releases on it are taken here.
    QAction *listen = menu->addAction(tr("&Listen (hold)"));
    listen->setData(QStringLiteral("\x01listen"));
    menu->installEventFilter(new ListenHold(menu, listen, this));

    QAction *hide = menu->addAction(tr("&Hide"));
    hide->setData(QStringLiteral("\x01hide"));
    connect(hide, &QAction::triggered, this, [this] { Q_EMIT hideChosen(); });
    return menu;
}

void CharacterWindow::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = createMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
    event->accept();
}
