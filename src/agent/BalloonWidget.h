#pragma once
#include <QFont>
#include <QRect>
#include <QString>
#include <QPainterPath>
#include <QWidget>

/// The speech balloon beside a character: a frameless, translucent tool window with a
/// rounded bubble and a tail towards the character's head, showing the words spoken so
/// far. It keeps itself on the screen that holds the character. Main thread only.
///
/// Style bits: 0x1 balloon on, 0x2 size to text, 0x4 auto-hide, 0x8 auto-pace,
/// bits 16-23 characters per line, bits 24-31 number of lines.
class BalloonWidget : public QWidget
{
    Q_OBJECT
public:
    explicit BalloonWidget(QWidget *parent = nullptr);

    /// A family that is not installed gives way to the desktop's default font.
    void setBalloonFont(const QString &family, int pointSize);
    /// The installed family of that name (any letter case), or the family of the
    /// desktop's default font when none is installed by that name.
    static QString usableFamily(const QString &family);
    void setStyleBits(quint32 style);
    quint32 styleBits() const { return m_style; }
    QFont balloonFont() const { return m_font; }
    bool balloonOn() const { return m_style & 0x1; }
    bool autoHide() const { return m_style & 0x4; }
    int charsPerLine() const;
    int numberOfLines() const;

    /// Starts a new speech: empty text; shown when the balloon is on.
    void begin();
    /// The words spoken so far; the last lines are shown when they do not all fit. A
    /// line end in the text starts a new line.
    void setText(const QString &textSoFar);
    QString text() const { return m_text; }
    /// The lines the balloon shows at present.
    QStringList visibleLines() const { return m_visible; }
    /// The speech ended: hides the balloon when auto-hide is set.
    void end();

    /// Places the balloon beside `character` (screen coordinates), on the side with
    /// room, inside the screen's available area.
    void placeBeside(const QRect &character);

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void relayout();
    /// The bubble with its tail, in widget coordinates.
    QPainterPath outline() const;
    /// Without a compositor the window is cut to the outline (else a black box shows).
    void applyShape();
    QStringList wrap(const QString &text, int widthPx) const;
    QStringList wrapParagraph(const QString &text, int widthPx) const;

    QFont m_font;
    quint32 m_style = 0x1 | 0x2 | 0x4 | (32u << 16) | (2u << 24);
    QString m_text;
    QStringList m_visible;
    QRect m_character;
    bool m_tailLeft = true;   ///< the tail points left (the balloon is right of the character)
    QRect m_bubble;           ///< the bubble inside the widget
    QPoint m_tailTip;
    bool m_shaped = false;
};
