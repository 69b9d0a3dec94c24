#include "BalloonWidget.h"
#include "CharacterWindow.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

namespace {
constexpr int kPad = 10;      // inside the bubble
constexpr int kTail = 18;     // length of the tail
constexpr int kMargin = 3;    // room for the outline's antialiasing
}

BalloonWidget::BalloonWidget(QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::NoDropShadowWindowHint
                          | Qt::WindowTransparentForInput)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_font = QFont(usableFamily(QString()), 10);
    relayout();
}

QString BalloonWidget::usableFamily(const QString &family)
{
    const QString wanted = family.trimmed();
    if (!wanted.isEmpty()) {
        for (const QString &installed : QFontDatabase::families()) {
            if (installed.compare(wanted, Qt::CaseInsensitive) == 0)
                return installed;
        }
    }
    // What the desktop's own font resolves to, so the page can name the font in use.
    return QFontInfo(QFontDatabase::systemFont(QFontDatabase::GeneralFont)).family();
}

void BalloonWidget::setBalloonFont(const QString &family, int pointSize)
{
    m_font = QFont(usableFamily(family), qBound(6, pointSize, 72));
    relayout();
}

void BalloonWidget::setStyleBits(quint32 style)
{
    m_style = style;
    if (!balloonOn())
        hide();
    relayout();
}

int BalloonWidget::charsPerLine() const
{
    const int n = int((m_style >> 16) & 0xff);
    return n > 0 ? qBound(8, n, 255) : 32;
}

int BalloonWidget::numberOfLines() const
{
    const int n = int((m_style >> 24) & 0xff);
    return n > 0 ? n : 2;
}

void BalloonWidget::begin()
{
    m_text.clear();
    relayout();
    if (balloonOn()) {
        show();
        raise();
    }
}

void BalloonWidget::setText(const QString &textSoFar)
{
    if (textSoFar == m_text)
        return;
    m_text = textSoFar;
    relayout();
    if (balloonOn() && !isVisible() && !m_text.isEmpty()) {
        show();
        raise();
    }
}

void BalloonWidget::end()
{
    if (autoHide())
        hide();
}

QStringList BalloonWidget::wrap(const QString &text, int widthPx) const
{
    // The line ends of the spoken text (after the sender, after the subject, between
    // paragraphs) start a new line; blank lines take no room.
    QStringList lines;
    QString normalised = text;
    normalised.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    for (const QString &paragraph : normalised.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines += wrapParagraph(paragraph, widthPx);
    return lines;
}

QStringList BalloonWidget::wrapParagraph(const QString &text, int widthPx) const
{
    const QFontMetrics fm(m_font);
    QStringList lines;
    QString line;
    const QStringList words = text.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &word : words) {
        const QString candidate = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
        if (fm.horizontalAdvance(candidate) <= widthPx || line.isEmpty()) {
            line = candidate;
        } else {
            lines.append(line);
            line = word;
        }
        // A word wider than the line is cut so that nothing runs out of the bubble.
        while (fm.horizontalAdvance(line) > widthPx && line.size() > 1) {
            int n = line.size() - 1;
            while (n > 1 && fm.horizontalAdvance(line.left(n)) > widthPx)
                --n;
            lines.append(line.left(n));
            line = line.mid(n);
        }
    }
    if (!line.isEmpty())
        lines.append(line);
    return lines;
}

void BalloonWidget::relayout()
{
    const QFontMetrics fm(m_font);
    const int maxWidth = fm.averageCharWidth() * charsPerLine();
    const QStringList lines = wrap(m_text, maxWidth);
    const int rows = numberOfLines();
    m_visible = lines.size() > rows ? lines.mid(lines.size() - rows) : lines;

    int textWidth = maxWidth;
    int textRows = rows;
    if (m_style & 0x2) {   // size to text
        textWidth = fm.averageCharWidth() * 6;
        for (const QString &l : std::as_const(m_visible))
            textWidth = qMax(textWidth, fm.horizontalAdvance(l));
        textRows = qMax(1, int(m_visible.size()));
    }
    const QSize bubble(textWidth + 2 * kPad, textRows * fm.lineSpacing() + 2 * kPad);
    const QSize total(bubble.width() + kTail + 2 * kMargin, bubble.height() + 2 * kMargin);
    m_bubble = QRect(QPoint(kMargin + (m_tailLeft ? kTail : 0), kMargin), bubble);
    const int tipY = qMin(bubble.height() - kPad, bubble.height() / 2 + 10) + kMargin;
    m_tailTip = QPoint(m_tailLeft ? 0 : total.width() - 1, tipY);
    if (size() != total)
        setFixedSize(total);
    applyShape();
    if (!m_character.isNull())
        placeBeside(m_character);
    update();
}

void BalloonWidget::placeBeside(const QRect &character)
{
    m_character = character;
    QScreen *screen = QGuiApplication::screenAt(character.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect avail = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);

    // Beside the head: the tail points at a third of the way down the character.
    const int headY = character.top() + character.height() / 3;
    const bool roomRight = character.right() + width() <= avail.right();
    const bool roomLeft = character.left() - width() >= avail.left();
    const bool tailLeft = roomRight || !roomLeft;
    if (tailLeft != m_tailLeft) {
        m_tailLeft = tailLeft;
        relayout();   // lays out the tail on the other side and places again
        return;
    }
    // The figure is narrower than its window: aim the tail at the edge of the head.
    int x = m_tailLeft ? character.right() - character.width() * 3 / 10
                       : character.left() + character.width() * 3 / 10 - width();
    int y = headY - m_tailTip.y();
    x = qBound(avail.left(), x, qMax(avail.left(), avail.right() - width() + 1));
    y = qBound(avail.top(), y, qMax(avail.top(), avail.bottom() - height() + 1));
    move(x, y);
}

QPainterPath BalloonWidget::outline() const
{
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(m_bubble), 12, 12);
    QPainterPath tail;
    const int baseY = qBound(m_bubble.top() + 10, m_tailTip.y() - 14, m_bubble.bottom() - 20);
    const int edge = m_tailLeft ? m_bubble.left() + 2 : m_bubble.right() - 2;
    tail.moveTo(edge, baseY);
    tail.lineTo(m_tailTip);
    tail.lineTo(edge, baseY + 14);
    tail.closeSubpath();
    return bubble.united(tail);
}

void BalloonWidget::showEvent(QShowEvent *event)
{
    m_shaped = !CharacterWindow::compositorRunning();
    applyShape();
    QWidget::showEvent(event);
}

void BalloonWidget::applyShape()
{
    if (!m_shaped) {
        if (!mask().isEmpty())
            clearMask();
        return;
    }
    // The outline and its two-pixel border.
    QPainterPathStroker border;
    border.setWidth(3);
    const QPainterPath all = outline().united(border.createStroke(outline()));
    setMask(QRegion(all.toFillPolygon().toPolygon(), Qt::WindingFill));
}

void BalloonWidget::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(rect(), Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);

    const QPainterPath shape = outline();

    p.setPen(QPen(QColor(0x2b, 0x23, 0x40), 2));
    p.setBrush(QColor(255, 253, 240));
    p.drawPath(shape);

    p.setFont(m_font);
    p.setPen(QColor(0x20, 0x20, 0x28));
    const QFontMetrics fm(m_font);
    int y = m_bubble.top() + kPad + fm.ascent();
    for (const QString &line : std::as_const(m_visible)) {
        p.drawText(m_bubble.left() + kPad, y, line);
        y += fm.lineSpacing();
    }
}
