// bench-agent-window: how fast the character window draws at height 256 and what it costs.
// Figures: first render of every frame (cold), frames per second and CPU while cycling
// frames at 30 fps from the cache, the most frames per second it can paint, and frames
// per second and CPU while speaking (mouth and balloon following the speech).
// Uses $DISPLAY when set, else a private Xvfb; prints one figure per line.
#include "AgentCharacter.h"
#include "AgentCharacters.h"
#include "AgentRequest.h"
#include "AgentWidgetsControl.h"
#include "CharacterWindow.h"
#include "NullAudioSink.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>

#include <ctime>

namespace {

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

QString startXvfb(QProcess &server)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        return {};
    server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                        QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                        QStringLiteral("tcp")});
    QByteArray number;
    while (!number.contains('\n') && server.waitForReadyRead(20000))
        number += server.readAllStandardOutput();
    return number.isEmpty() ? QString() : QStringLiteral(":") + QString::fromLatin1(number.trimmed());
}

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    QProcess xvfb;
    if (qEnvironmentVariableIsEmpty("DISPLAY") || qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen")) {
        const QString display = startXvfb(xvfb);
        if (!display.isEmpty()) {
            qputenv("DISPLAY", display.toLatin1());
            qputenv("QT_QPA_PLATFORM", "xcb");
        }
    }
    QApplication app(argc, argv);
    QTextStream out(stdout);
    const QString name = app.arguments().value(1, QStringLiteral("Merlin"));
    const QString file = QCoreApplication::applicationDirPath() + QStringLiteral("/../share/murmelo/chars/") + name
                         + QStringLiteral(".acs");

    AgentWidgetsControl control(std::make_unique<NullAudioSink>(1.0));
    control.setIdleDelay(0);
    control.Characters()->Load(QStringLiteral("c"), file);
    AgentCharacter *c = control.Characters()->Item(QStringLiteral("c"));
    c->setHeight(256);
    c->setLeft(100);
    c->setTop(100);
    CharacterWindow *w = control.windowOf(QStringLiteral("c"));
    c->Show(true);
    runFor(300);
    out << "platform: " << QGuiApplication::platformName() << ", character " << name << " at "
        << w->width() << "x" << w->height() << "\n";

    QStringList images;
    for (const CharacterAnimation &a : c->Package().animations)
        for (const CharacterFrame &f : a.frames)
            if (!images.contains(f.image))
                images << f.image;

    // Cold: every frame rendered from SVG once.
    QElapsedTimer t;
    t.start();
    w->renderAll();
    out << "cold render of " << c->Package().images.size() << " images: " << t.elapsed() << " ms ("
        << QString::number(double(t.nsecsElapsed()) / 1e6 / qMax<qsizetype>(1, c->Package().images.size()), 'f', 2)
        << " ms each)\n";

    PaintCounter counter;
    w->installEventFilter(&counter);

    // Most frames per second: show the next frame and paint at once, for 2 s.
    {
        int n = 0;
        t.restart();
        const double cpu0 = cpuSeconds();
        while (t.elapsed() < 2000) {
            w->showFrame(images.at(n++ % images.size()));
            w->repaint();
        }
        const double secs = t.nsecsElapsed() / 1e9;
        out << "max paint rate: " << QString::number(n / secs, 'f', 0) << " frames/s ("
            << QString::number((cpuSeconds() - cpu0) / secs * 100, 'f', 0) << "% of one core)\n";
    }

    // Animating at 30 fps from the cache for 5 s.
    {
        int n = 0;
        counter.paints = 0;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, w, [&] { w->showFrame(images.at(n++ % images.size())); });
        const double cpu0 = cpuSeconds();
        t.restart();
        tick.start(1000 / 30);
        runFor(5000);
        tick.stop();
        const double secs = t.nsecsElapsed() / 1e9;
        out << "animating at 30 fps: " << QString::number(counter.paints / secs, 'f', 1) << " frames/s painted, CPU "
            << QString::number((cpuSeconds() - cpu0) / secs * 100, 'f', 1) << "% of one core\n";
    }

    // Speaking: mouth shapes and balloon words follow the speech in real time.
    {
        counter.paints = 0;
        int mouths = 0;
        QObject ctx;
        QObject::connect(c, &AgentCharacter::mouthChanged, &ctx, [&mouths] { ++mouths; });
        const QString text = QStringLiteral(
            "You have three new messages. The first is from Ann, about the garden party on Saturday; the second "
            "from Bob, who asks about lunch; and the third is a newsletter you may want to read later today.");
        const double cpu0 = cpuSeconds();
        t.restart();
        AgentRequestPtr r = c->Speak(text);
        QEventLoop loop;
        QObject::connect(r.get(), &AgentRequest::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
        const double secs = t.nsecsElapsed() / 1e9;
        out << "speaking " << text.size() << " characters: status " << r->Status() << ", "
            << QString::number(secs, 'f', 1) << " s, " << mouths << " mouth changes, "
            << QString::number(counter.paints / secs, 'f', 1) << " window paints/s, CPU "
            << QString::number((cpuSeconds() - cpu0) / secs * 100, 'f', 1)
            << "% of one core (synthesis included)\n";
    }
    out.flush();
    w->removeEventFilter(&counter);
    if (xvfb.state() != QProcess::NotRunning) {
        xvfb.terminate();
        xvfb.waitForFinished(3000);
    }
    return 0;
}
