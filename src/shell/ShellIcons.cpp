#include "ShellIcons.h"

#include <QFont>
#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QtMath>

namespace {
const QColor Red(0xd3, 0x2f, 0x2f);
const QColor DarkRed(0x9a, 0x1b, 0x1b);
const QColor Ink(0x37, 0x47, 0x4f);
const QColor Blue(0x19, 0x76, 0xd2);
const QColor Gold(0xff, 0xc1, 0x07);
const QColor Green(0x38, 0x8e, 0x3c);

using Painter = void (*)(QPainter &, double);

QIcon draw(Painter paint)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        paint(p, size);
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

void envelopeShape(QPainter &p, const QRectF &r, const QColor &body, const QColor &line)
{
    p.setPen(QPen(line, qMax(1.0, r.width() / 14)));
    p.setBrush(body);
    p.drawRoundedRect(r, r.width() / 12, r.width() / 12);
    QPainterPath flap;
    flap.moveTo(r.topLeft());
    flap.lineTo(r.center().x(), r.top() + r.height() * 0.58);
    flap.lineTo(r.topRight());
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
}

void atDisk(QPainter &p, double s)
{
    // The red disk with a white "@": the mark the welcome text points the user to.
    p.setPen(Qt::NoPen);
    QRadialGradient g(QPointF(s * 0.38, s * 0.32), s * 0.7);
    g.setColorAt(0, Red.lighter(125));
    g.setColorAt(1, DarkRed);
    p.setBrush(g);
    p.drawEllipse(QRectF(s * 0.03, s * 0.03, s * 0.94, s * 0.94));
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setBold(true);
    f.setPixelSize(int(s * 0.78));
    QPainterPath at;
    at.addText(0, 0, f, QStringLiteral("@"));
    const QRectF b = at.boundingRect();
    p.translate(s / 2 - b.center().x(), s / 2 - b.center().y());
    p.setBrush(Qt::white);
    p.drawPath(at);
    p.resetTransform();
}

QPixmap frame(int index, int s)
{
    QPixmap pm(s, s);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    atDisk(p, s);
    if (index > 0) {
        // A letter drops in and bobs on the disk; a spark circles it once per cycle.
        const double t = double(index - 1) / ShellIcons::AnimationFrames;
        const double bob = qSin(t * 2 * M_PI) * s * 0.06;
        const QRectF env(s * 0.42, s * 0.50 + bob, s * 0.54, s * 0.38);
        envelopeShape(p, env, Gold.lighter(140), DarkRed);
        const double a = t * 2 * M_PI;
        const QPointF c(s / 2 + qCos(a) * s * 0.40, s / 2 + qSin(a) * s * 0.40);
        const double r = s * (0.07 + 0.03 * qAbs(qSin(a * 2)));
        QPainterPath star;
        for (int i = 0; i < 8; ++i) {
            const double ang = i * M_PI / 4;
            const double rr = (i % 2) ? r * 0.35 : r;
            const QPointF pt(c.x() + qCos(ang) * rr, c.y() + qSin(ang) * rr);
            i ? star.lineTo(pt) : star.moveTo(pt);
        }
        star.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(Gold);
        p.drawPath(star);
    }
    return pm;
}

void paintCheck(QPainter &p, double s)
{
    envelopeShape(p, QRectF(s * 0.08, s * 0.25, s * 0.62, s * 0.45), QColor(0xe3, 0xf2, 0xfd), Blue);
    p.setPen(QPen(Green, s / 9, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(s * 0.52, s * 0.5, s * 0.4, s * 0.4), 30 * 16, 280 * 16);
    QPainterPath head;
    head.moveTo(s * 0.93, s * 0.58);
    head.lineTo(s * 0.93, s * 0.74);
    head.lineTo(s * 0.80, s * 0.66);
    p.setBrush(Green);
    p.setPen(Qt::NoPen);
    p.drawPath(head);
}

void paintDate(QPainter &p, double s)
{
    const QRectF r(s * 0.12, s * 0.16, s * 0.76, s * 0.72);
    p.setPen(QPen(Ink, s / 20));
    p.setBrush(Qt::white);
    p.drawRoundedRect(r, s * 0.06, s * 0.06);
    p.setPen(Qt::NoPen);
    p.setBrush(Red);
    p.drawRect(QRectF(r.left(), r.top(), r.width(), r.height() * 0.27));
    p.setPen(QPen(Ink, s / 16));
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 3; ++col)
            p.drawPoint(QPointF(r.left() + r.width() * (0.25 + col * 0.25), r.top() + r.height() * (0.5 + row * 0.25)));
}

void paintTime(QPainter &p, double s)
{
    p.setPen(QPen(Ink, s / 16));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(s * 0.1, s * 0.1, s * 0.8, s * 0.8));
    p.setPen(QPen(Blue, s / 12, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(s / 2, s / 2), QPointF(s / 2, s * 0.24));
    p.drawLine(QPointF(s / 2, s / 2), QPointF(s * 0.70, s * 0.60));
}

void paintSkip(QPainter &p, double s)
{
    p.setPen(Qt::NoPen);
    p.setBrush(Blue);
    QPainterPath a;
    a.moveTo(s * 0.12, s * 0.2);
    a.lineTo(s * 0.52, s * 0.5);
    a.lineTo(s * 0.12, s * 0.8);
    a.closeSubpath();
    a.moveTo(s * 0.45, s * 0.2);
    a.lineTo(s * 0.85, s * 0.5);
    a.lineTo(s * 0.45, s * 0.8);
    a.closeSubpath();
    p.drawPath(a);
    p.drawRect(QRectF(s * 0.82, s * 0.2, s * 0.08, s * 0.6));
}

void paintStop(QPainter &p, double s)
{
    p.setPen(Qt::NoPen);
    p.setBrush(Red);
    p.drawRoundedRect(QRectF(s * 0.2, s * 0.2, s * 0.6, s * 0.6), s * 0.08, s * 0.08);
}

void paintMailProgram(QPainter &p, double s)
{
    envelopeShape(p, QRectF(s * 0.08, s * 0.22, s * 0.84, s * 0.58), Qt::white, Ink);
}

void paintCharacter(QPainter &p, double s)
{
    // A wizard's hat over a smiling face.
    p.setPen(QPen(Ink, s / 24));
    p.setBrush(QColor(0xff, 0xe0, 0xb2));
    p.drawEllipse(QRectF(s * 0.27, s * 0.42, s * 0.46, s * 0.46));
    QPainterPath hat;
    hat.moveTo(s * 0.18, s * 0.50);
    hat.lineTo(s * 0.50, s * 0.04);
    hat.lineTo(s * 0.82, s * 0.50);
    hat.closeSubpath();
    p.setBrush(Blue);
    p.drawPath(hat);
    p.setPen(QPen(Ink, s / 20, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(s * 0.38, s * 0.58, s * 0.24, s * 0.18), 200 * 16, 140 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(Gold);
    p.drawEllipse(QPointF(s * 0.5, s * 0.27), s * 0.05, s * 0.05);
}

void paintOptions(QPainter &p, double s)
{
    const QPointF c(s / 2, s / 2);
    QPainterPath gear;
    const int teeth = 8;
    for (int i = 0; i < teeth * 2; ++i) {
        const double a = i * M_PI / teeth;
        const double r = (i % 2) ? s * 0.30 : s * 0.42;
        const QPointF pt(c.x() + qCos(a) * r, c.y() + qSin(a) * r);
        i ? gear.lineTo(pt) : gear.moveTo(pt);
    }
    gear.closeSubpath();
    gear.addEllipse(c, s * 0.12, s * 0.12);
    gear.setFillRule(Qt::OddEvenFill);
    p.setPen(Qt::NoPen);
    p.setBrush(Ink);
    p.drawPath(gear);
}

void paintAccounts(QPainter &p, double s)
{
    p.setPen(Qt::NoPen);
    p.setBrush(Blue);
    p.drawEllipse(QRectF(s * 0.34, s * 0.10, s * 0.32, s * 0.32));
    p.drawPie(QRectF(s * 0.16, s * 0.48, s * 0.68, s * 0.8), 0, 180 * 16);
    envelopeShape(p, QRectF(s * 0.52, s * 0.56, s * 0.42, s * 0.3), Qt::white, DarkRed);
}

void paintAbout(QPainter &p, double s)
{
    p.setPen(Qt::NoPen);
    p.setBrush(Blue);
    p.drawEllipse(QRectF(s * 0.08, s * 0.08, s * 0.84, s * 0.84));
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(s * 0.5, s * 0.28), s * 0.07, s * 0.07);
    p.drawRoundedRect(QRectF(s * 0.43, s * 0.42, s * 0.14, s * 0.36), s * 0.04, s * 0.04);
}

void paintEnvelope(QPainter &p, double s)
{
    envelopeShape(p, QRectF(s * 0.06, s * 0.2, s * 0.88, s * 0.6), QColor(0xff, 0xf8, 0xe1), DarkRed);
}

void paintError(QPainter &p, double s)
{
    p.setPen(Qt::NoPen);
    p.setBrush(Red);
    p.drawEllipse(QRectF(s * 0.06, s * 0.06, s * 0.88, s * 0.88));
    p.setPen(QPen(Qt::white, s / 7, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(s * 0.5, s * 0.24), QPointF(s * 0.5, s * 0.56));
    p.drawPoint(QPointF(s * 0.5, s * 0.76));
}

void paintTray(QPainter &p, double s)
{
    atDisk(p, s);
}
}

QIcon ShellIcons::tray(int index)
{
    static QHash<int, QIcon> cache;
    index = qBound(0, index, AnimationFrames);
    auto it = cache.find(index);
    if (it != cache.end())
        return *it;
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(frame(index, size));
    cache.insert(index, icon);
    return icon;
}

QIcon ShellIcons::tool(const QString &key)
{
    static const QHash<QString, Painter> painters = {
        {QStringLiteral("mnuCheckForNewMessagesAllAccounts_Click"), paintCheck},
        {QStringLiteral("mnuTalkDate_Click"), paintDate},
        {QStringLiteral("mnuTalkTime_Click"), paintTime},
        {QStringLiteral("mnuSkipMessage_Click"), paintSkip},
        {QStringLiteral("mnuStopTalking_Click"), paintStop},
        {QStringLiteral("mnuStartEmailProgram_Click"), paintMailProgram},
        {QStringLiteral("mnuSelectCharacter_Click"), paintCharacter},
        {QStringLiteral("mnuOptions_Click"), paintOptions},
        {QStringLiteral("mnuAccounts_Click"), paintAccounts},
        {QStringLiteral("mnuAbout_Click"), paintAbout},
    };
    static QHash<QString, QIcon> cache;
    auto it = cache.find(key);
    if (it != cache.end())
        return *it;
    const Painter paint = painters.value(key);
    const QIcon icon = paint ? draw(paint) : QIcon();
    cache.insert(key, icon);
    return icon;
}

QIcon ShellIcons::envelope()
{
    static const QIcon icon = draw(paintEnvelope);
    return icon;
}

QIcon ShellIcons::checking()
{
    static const QIcon icon = draw(paintCheck);
    return icon;
}

QIcon ShellIcons::error()
{
    static const QIcon icon = draw(paintError);
    return icon;
}

QIcon ShellIcons::application()
{
    static const QIcon icon = draw(paintTray);
    return icon;
}
