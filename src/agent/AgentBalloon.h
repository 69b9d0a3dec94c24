#pragma once
#include <QObject>
#include <QString>

/// A character's speech balloon settings. Main thread; owned by its character.
/// Style bits: 0x1 balloon on, 0x2 size to text, 0x4 auto-hide, 0x8 auto-pace,
/// bits 16-23 characters per line, bits 24-31 number of lines.
class AgentBalloon : public QObject
{
    Q_OBJECT
public:
    static constexpr quint32 StyleBalloonOn = 0x1;
    static constexpr quint32 StyleSizeToText = 0x2;
    static constexpr quint32 StyleAutoHide = 0x4;
    static constexpr quint32 StyleAutoPace = 0x8;

    explicit AgentBalloon(QObject *parent = nullptr);

    QString FontName() const { return m_fontName; }
    void setFontName(const QString &name);
    int FontSize() const { return m_fontSize; }
    void setFontSize(int points);
    quint32 Style() const { return m_style; }
    void setStyle(quint32 style);

    bool enabled() const { return m_style & StyleBalloonOn; }
    bool autoHide() const { return m_style & StyleAutoHide; }
    int charsPerLine() const { return int((m_style >> 16) & 0xff); }
    int numberOfLines() const { return int((m_style >> 24) & 0xff); }

Q_SIGNALS:
    void changed();

private:
    QString m_fontName = QStringLiteral("Sans Serif");
    int m_fontSize = 10;
    quint32 m_style = StyleBalloonOn | StyleSizeToText | StyleAutoHide | (32u << 16) | (2u << 24);
};
