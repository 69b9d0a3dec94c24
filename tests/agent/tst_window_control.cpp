// The control the program creates, with real windows on a private X display: a loaded
// character gets a window that follows its requests; dragging raises Move with cause 1
// and the new place; the menu lists the visible commands and raises Command; the
// balloon shows the words as they are spoken and goes away after the speech.
#include "XvfbDisplay.h"
#include "agent/AgentBalloon.h"
#include "agent/AgentCharacter.h"
#include "agent/AgentCharacters.h"
#include "agent/AgentCommand.h"
#include "agent/AgentCommands.h"
#include "agent/AgentRequest.h"
#include "agent/AgentWidgetsControl.h"
#include "agent/BalloonWidget.h"
#include "agent/CharacterWindow.h"
#include "agent/CharacterWindowView.h"
#include "agent/NullAudioSink.h"
#include "trellis/MUError.h"

#include <QApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {
QString shipped(const QString &name)
{
    return qEnvironmentVariable("MURMELO_BUILD_DIR") + u"/share/murmelo/chars/"_s + name
           + u".acs"_s;
}
}

class TestWindowControl : public QObject
{
    Q_OBJECT
public:
    explicit TestWindowControl(bool haveX) : m_haveX(haveX) {}


private:
    AgentCharacter *load(const QString &name);

    bool m_haveX;
    std::unique_ptr<AgentWidgetsControl> m_control;

private Q_SLOTS:
    void init()
    {
        // Fast silent sink: speech takes no wall time but events still come in order.
        m_control = std::make_unique<AgentWidgetsControl>(std::make_unique<NullAudioSink>(8.0));
        m_control->setIdleDelay(0);
        m_control->setBalloonHideDelay(50);
    }

    void cleanup()
    {
        m_control.reset();
    }

    void showAndHideFollowRequests()
    {
        AgentCharacter *c = load(u"Merlin"_s);
        CharacterWindow *w = m_control->windowOf(u"Merlin"_s);
        QVERIFY(w);
        QVERIFY(!w->isVisible());
        AgentRequestPtr show = c->Show(false);
        QSignalSpy shown(show.get(), &AgentRequest::finished);
        QVERIFY(shown.wait(5000));
        QCOMPARE(show->Status(), AgentRequest::StatusComplete);
        QVERIFY(w->isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QCOMPARE(w->pos(), QPoint(200, 150));
        // Back on the rest pose after the showing animation.
        QCOMPARE(w->currentFrame(), c->Package().animations.value(u"RestPose"_s).frames.first().image);

        AgentRequestPtr hide = c->Hide(false);
        QSignalSpy hidden(hide.get(), &AgentRequest::finished);
        QVERIFY(w->isVisible());   // still there while the hiding animation plays
        QVERIFY(hidden.wait(5000));
        QCOMPARE(hide->Status(), AgentRequest::StatusComplete);
        QVERIFY(!w->isVisible());
    }

    void playShowsFramesInTheWindow()
    {
        AgentCharacter *c = load(u"Robby"_s);
        CharacterWindow *w = m_control->windowOf(u"Robby"_s);
        c->Show(true);
        AgentRequestPtr wave = c->Play(u"Wave"_s);
        QStringList seen;
        QObject ctx;
        connect(c, &AgentCharacter::frameShown, &ctx, [&seen, w](const QString &) { seen << w->currentFrame(); });
        QSignalSpy done(wave.get(), &AgentRequest::finished);
        QVERIFY(done.wait(5000));
        QStringList expected;
        for (const CharacterFrame &f : c->Package().animations.value(u"Wave"_s).frames)
            expected << f.image;
        for (const QString &img : expected)
            QVERIFY2(seen.contains(img), qPrintable(img));
        QVERIFY_THROWS_EXCEPTION(MUError, c->Play(u"Juggle"_s));
    }

    void dragRaisesMoveWithCauseOne()
    {
        if (!m_haveX)
            QSKIP("needs an X server");
        AgentCharacter *c = load(u"Merlin"_s);
        c->Show(true);
        CharacterWindow *w = m_control->windowOf(u"Merlin"_s);
        QTRY_VERIFY(w->isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QSignalSpy move(m_control.get(), &AgentControl::Move);
        const QPoint at(90, 150);
        const QPoint global = w->mapToGlobal(at);
        const QPoint delta(230, -60);
        QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w, &press);
        for (int step = 1; step <= 5; ++step) {
            const QPoint g = global + delta * step / 5;
            QMouseEvent mv(QEvent::MouseMove, w->mapFromGlobal(g), g, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(w, &mv);
        }
        QMouseEvent release(QEvent::MouseButtonRelease, w->mapFromGlobal(global + delta), global + delta,
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(w, &release);

        QCOMPARE(move.size(), 1);
        const QList<QVariant> args = move.takeFirst();
        QCOMPARE(args.at(0).toString(), u"Merlin"_s);
        QCOMPARE(args.at(1).toInt(), 200 + delta.x());
        QCOMPARE(args.at(2).toInt(), 150 + delta.y());
        QCOMPARE(args.at(3).toInt(), 1);
        QCOMPARE(c->Left(), 200 + delta.x());
        QCOMPARE(c->Top(), 150 + delta.y());
    }

    void programMoveRaisesCauseTwo()
    {
        AgentCharacter *c = load(u"Merlin"_s);
        c->Show(true);
        QSignalSpy move(m_control.get(), &AgentControl::Move);
        AgentRequestPtr r = c->MoveTo(420, 260, 0);
        QSignalSpy done(r.get(), &AgentRequest::finished);
        QTRY_VERIFY(r->isDone());
        QCOMPARE(move.size(), 1);
        QCOMPARE(move.at(0).at(3).toInt(), 2);
        QCOMPARE(m_control->windowOf(u"Merlin"_s)->pos(), QPoint(420, 260));
    }

    void menuListsVisibleCommands()
    {
        AgentCharacter *c = load(u"Merlin"_s);
        c->Commands()->Add(u"ReadMail"_s, u"&Read my mail"_s, u"read my mail"_s);
        c->Commands()->Add(u"Secret"_s, u"Secret"_s, u"secret"_s, true, false);
        c->Commands()->Add(u"CheckNow"_s, u"&Check now"_s, u"check now"_s);
        CharacterWindow *w = m_control->windowOf(u"Merlin"_s);
        auto texts = [w] {
            std::unique_ptr<QMenu> menu(w->createMenu(nullptr));
            QStringList t;
            for (QAction *a : menu->actions())
                if (!a->isSeparator())
                    t << a->text();
            return t;
        };
        QCOMPARE(texts(), (QStringList{"&Read my mail", "&Check now", "&Listen (hold)", "&Hide"}));
        c->Commands()->Item(u"Secret"_s)->setVisible(true);
        c->Commands()->Item(u"ReadMail"_s)->setCaption(u"Read &all mail"_s);
        QCOMPARE(texts(), (QStringList{"Read &all mail", "Secret", "&Check now", "&Listen (hold)", "&Hide"}));
        c->Commands()->RemoveAll();
        QCOMPARE(texts(), (QStringList{"&Listen (hold)", "&Hide"}));

        c->Commands()->Add(u"CheckNow"_s, u"&Check now"_s, u"check now"_s);
        QSignalSpy command(m_control.get(), &AgentControl::Command);
        std::unique_ptr<QMenu> menu(w->createMenu(nullptr));
        menu->actions().first()->trigger();
        QCOMPARE(command.size(), 1);
        const AgentUserInput input = command.at(0).at(0).value<AgentUserInput>();
        QCOMPARE(input.Name, u"CheckNow"_s);
        QCOMPARE(input.CharacterID, u"Merlin"_s);

        // "Hide" from the menu hides the character through a request.
        c->Show(true);
        QTRY_VERIFY(w->isVisible());
        menu->actions().last()->trigger();
        QTRY_VERIFY(!w->isVisible());
        QVERIFY(!c->Visible());
    }

    void balloonShowsSpokenWordsThenHides()
    {
        AgentCharacter *c = load(u"Merlin"_s);
        c->Balloon()->setFontSize(12);
        c->Show(true);
        CharacterWindowView *view = m_control->viewOf(u"Merlin"_s);
        QTRY_VERIFY(view->window()->isVisible());
        QStringList texts;
        QObject ctx;
        connect(c, &AgentCharacter::wordSpoken, &ctx, [&texts, view](const QString &, const QString &) {
            QVERIFY(view->balloon()->isVisible());
            QVERIFY(view->window()->isSpeaking());
            texts << view->balloon()->text();
        });
        AgentRequestPtr speak = c->Speak(u"Hello Ann, you have mail."_s);
        QSignalSpy done(speak.get(), &AgentRequest::finished);
        QVERIFY(done.wait(20000));
        QCOMPARE(speak->Status(), AgentRequest::StatusComplete);
        QVERIFY(texts.size() >= 3);
        QVERIFY(texts.first().startsWith(u"Hello"_s));
        QVERIFY(texts.last().contains(u"mail"_s));
        QVERIFY(!view->window()->isSpeaking());
        QTRY_VERIFY(!view->balloon()->isVisible());   // auto-hide after the speech
        QCOMPARE(view->balloon()->balloonFont().pointSize(), 12);   // the font set on the character
    }

    void balloonKeepsTheAnnouncementsLinesApart()
    {
        AgentCharacter *c = load(u"Merlin"_s);
        c->Balloon()->setStyle(AgentBalloon::StyleBalloonOn | AgentBalloon::StyleSizeToText | (40u << 16) | (4u << 24));
        c->Show(true);
        CharacterWindowView *view = m_control->viewOf(u"Merlin"_s);
        QTRY_VERIFY(view->window()->isVisible());
        QStringList spoken;
        QStringList lines;
        QObject ctx;
        connect(c, &AgentCharacter::wordSpoken, &ctx, [&](const QString &word, const QString &) {
            spoken << word.trimmed();
            lines = view->balloon()->visibleLines();
        });
        // An announcement as the talker composes it: sender and subject end with a pause and a line end.
        AgentRequestPtr speak = c->Speak(QStringLiteral("\\Ctx=Email\\From Anna Berg\\Pau=100\\\r\n welcome to murmelo\\Pau=100\\\r\n"
                                                        "Hello and welcome!\r\n"));
        QSignalSpy done(speak.get(), &AgentRequest::finished);
        QVERIFY(done.wait(20000));
        QCOMPARE(speak->Status(), AgentRequest::StatusComplete);
        QCOMPARE(lines, (QStringList{"From Anna Berg", "welcome to murmelo", "Hello and welcome!"}));
        QCOMPARE(spoken.join(' ').remove('!'), u"From Anna Berg welcome to murmelo Hello and welcome"_s);
    }

    void balloonHidesWithTheCharacter()
    {
        m_control->setBalloonHideDelay(60000);   // the balloon would linger after the speech
        AgentCharacter *c = load(u"Robby"_s);
        QVERIFY(c->Package().animations.value(u"Hide"_s).frames.size() > 1);
        c->Show(true);
        CharacterWindowView *view = m_control->viewOf(u"Robby"_s);
        QTRY_VERIFY(view->window()->isVisible());
        AgentRequestPtr speak = c->Speak(u"Goodbye for now."_s);
        QSignalSpy spoken(speak.get(), &AgentRequest::finished);
        QVERIFY(spoken.wait(20000));
        QVERIFY(view->balloon()->isVisible());

        // Not one frame of the hiding animation shows with the balloon still up.
        int frames = 0, withBalloon = 0;
        QObject ctx;
        connect(c, &AgentCharacter::frameShown, &ctx, [&] {
            ++frames;
            if (view->balloon()->isVisible())
                ++withBalloon;
        });
        AgentRequestPtr hide = c->Hide(false);
        QSignalSpy hidden(hide.get(), &AgentRequest::finished);
        QVERIFY(hidden.wait(5000));
        QVERIFY(frames > 1);
        QCOMPARE(withBalloon, 0);
        QVERIFY(!view->window()->isVisible());
    }

    void heightScalesTheWindow()
    {
        AgentCharacter *c = load(u"Robby"_s);
        c->setHeight(256);
        CharacterWindow *w = m_control->windowOf(u"Robby"_s);
        QCOMPARE(w->height(), 256);
        QCOMPARE(w->width(), qRound(256.0 * c->OriginalWidth() / c->OriginalHeight()));
    }
};

AgentCharacter *TestWindowControl::load(const QString &name)
{
    m_control->Characters()->Load(name, shipped(name));
    AgentCharacter *c = m_control->Characters()->Item(name);
    c->setLeft(200);
    c->setTop(150);
    return c;
}

int main(int argc, char **argv)
{
    XvfbDisplay x;
    QString why;
    const bool haveX = x.Start(why);
    if (!haveX)
        qWarning("no X server (%s): pointer tests are skipped", qPrintable(why));
    QApplication app(argc, argv);
    TestWindowControl test(haveX);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window_control.moc"
