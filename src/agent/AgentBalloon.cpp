#include "AgentBalloon.h"

AgentBalloon::AgentBalloon(QObject *parent) : QObject(parent) {}

void AgentBalloon::setFontName(const QString &name)
{
    if (name == m_fontName)
        return;
    m_fontName = name;
    Q_EMIT changed();
}

void AgentBalloon::setFontSize(int points)
{
    points = qBound(4, points, 96);
    if (points == m_fontSize)
        return;
    m_fontSize = points;
    Q_EMIT changed();
}

void AgentBalloon::setStyle(quint32 style)
{
    if (style == m_style)
        return;
    m_style = style;
    Q_EMIT changed();
}
