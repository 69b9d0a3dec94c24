// The character window and its balloon, and the control the program creates with them: each
// character's window follows its requests, and what the user does in it reaches the control.
// On a private X display where Xvfb exists.
#include "AgentTestKit.h"
#include "XvfbDisplay.h"
#include "agent/AgentBalloon.h"
#include "agent/AgentCharacter.h"
#include "agent/AgentCharacters.h"
#include "agent/AgentCommand.h"
#include "agent/AgentCommands.h"
#include "agent/AgentWidgetsControl.h"
#include "agent/BalloonWidget.h"
#include "agent/CharacterPackage.h"
#include "agent/CharacterWindow.h"
#include "agent/CharacterWindowView.h"
#include "agent/NullAudioSink.h"

#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

CharacterPackage loadShipped(const QString &name)
{
    CharacterPackage pkg;
    QString error;
    if (!CharacterPackageLoader::Load(shippedCharacter(name), pkg, error))
        qWarning("%s", qPrintable(error));
    return pkg;
}

/// A mouse event at the global point `global`, sent straight to `w`.
void mouse(QWidget *w, QEvent::Type type, const QPoint &global, Qt::MouseButton button, Qt::MouseButtons held)
{
    QMouseEvent e(type, w->mapFromGlobal(global), global, button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

/// Bounding box of the pixels that differ between two images of one size.
QRect differenceBox(const QImage &a, const QImage &b)
{
    QRect box;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y))
                box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace

class TestWindowCharacter : public QObject
{
    Q_OBJECT
public:
    TestWindowCharacter(bool haveX, QString why, XvfbDisplay *x) : m_haveX(haveX), m_why(std::move(why)), m_x(x) {}

private:
    bool m_haveX;
    QString m_why;
    XvfbDisplay *m_x = nullptr;
    CharacterPackage m_merlin;
    CharacterPackage m_robby;
    std::unique_ptr<CharacterWindow> m_window;
    std::unique_ptr<AgentWidgetsControl> m_control;

    bool showWindow()
    {
        m_window->show();
        return QTest::qWaitForWindowExposed(m_window.get());
    }

    /// A shipped character loaded into the control, placed at (200, 150).
    AgentCharacter *load(const QString &name)
    {
        m_control->Characters()->Load(name, shippedCharacter(name));
        AgentCharacter *c = m_control->Characters()->Item(name);
        c->setLeft(200);
        c->setTop(150);
        return c;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!m_haveX)
            qWarning("running without an X server (%s): pointer tests are skipped", qPrintable(m_why));
        m_merlin = loadShipped(u"Merlin"_s);
        m_robby = loadShipped(u"Robby"_s);
        QCOMPARE(m_merlin.name, u"Merlin"_s);
        QCOMPARE(m_robby.name, u"Robby"_s);
    }

    void init()
    {
        m_window = std::make_unique<CharacterWindow>(&m_merlin);
        m_window->setCharacterHeight(200);
        m_window->move(300, 200);
        // Fast silent sink: speech takes no wall time but events still come in order.
        m_control = std::make_unique<AgentWidgetsControl>(std::make_unique<NullAudioSink>(8.0));
        m_control->setIdleDelay(0);
        m_control->setBalloonHideDelay(50);
    }

    void cleanup()
    {
        m_control.reset();
        m_window.reset();
    }

    void windowSizedToTheFigure()
    {
        QVERIFY(showWindow());
        const QImage img = m_window->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(img.size(), m_window->size() * m_window->devicePixelRatioF());
        // Transparent around the figure, opaque on it (the robe below the beard).
        QCOMPARE(qAlpha(img.pixel(1, 1)), 0);
        QCOMPARE(qAlpha(img.pixel(img.width() - 2, img.height() / 2)), 0);
        QCOMPARE(qAlpha(img.pixel(img.width() / 2, img.height() * 210 / 252)), 255);
    }

    void framesRenderedOnce()
    {
        QVERIFY(showWindow());
        const CharacterAnimation wave = m_merlin.animations.value(u"Wave"_s);
        QImage first;
        for (const CharacterFrame &f : wave.frames) {
            m_window->showFrame(f.image);
            const QImage img = m_window->grab().toImage();
            if (first.isNull())
                first = img;
        }
        const int cached = m_window->cachedFrameCount();
        QVERIFY(cached >= 3);
        for (int round = 0; round < 3; ++round) {
            for (const CharacterFrame &f : wave.frames) {
                m_window->showFrame(f.image);
                m_window->grab();
            }
        }
        QCOMPARE(m_window->cachedFrameCount(), cached);   // no frame rendered twice
        m_window->showFrame(wave.frames.first().image);
        QCOMPARE(m_window->grab().toImage(), first);
        // Rendering everything ahead keeps one pixmap per image (mouths included).
        m_window->renderAll();
        QCOMPARE(m_window->cachedFrameCount(), int(m_merlin.images.size()));
    }

    void drag()
    {
        if (!m_haveX)
            QSKIP("needs an X server");
        QVERIFY(showWindow());
        QTRY_COMPARE(m_window->pos(), QPoint(300, 200));
        QSignalSpy moved(m_window.get(), &CharacterWindow::userMoved);
        const QPoint global = m_window->mapToGlobal(QPoint(100, 150));   // on the robe
        const QPoint delta(-140, 90);
        mouse(m_window.get(), QEvent::MouseButtonPress, global, Qt::LeftButton, Qt::LeftButton);
        for (int step = 1; step <= 4; ++step)
            mouse(m_window.get(), QEvent::MouseMove, global + delta * step / 4, Qt::NoButton, Qt::LeftButton);
        mouse(m_window.get(), QEvent::MouseButtonRelease, global + delta, Qt::LeftButton, Qt::NoButton);
        QCOMPARE(moved.size(), 1);   // one report at the end of the drag
        const QPoint expected = QPoint(300, 200) + delta;
        QCOMPARE(moved.at(0).at(0).toInt(), expected.x());
        QCOMPARE(moved.at(0).at(1).toInt(), expected.y());
        QTRY_COMPARE(m_window->pos(), expected);

        // A click without moving is no drag.
        const QPoint at = m_window->mapToGlobal(QPoint(100, 150));
        mouse(m_window.get(), QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
        mouse(m_window.get(), QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
        QCOMPARE(moved.size(), 1);
    }

    void rightClickOpensMenu()
    {
        if (!m_haveX)
            QSKIP("needs an X server");
        m_window->setMenuCommands({{u"ReadMail"_s, u"&Read mail"_s, true}, {u"CheckNow"_s, u"&Check now"_s, true}});
        QVERIFY(showWindow());
        QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(100, 150), m_window->mapToGlobal(QPoint(100, 150)));
        QApplication::sendEvent(m_window.get(), &ev);
        QTRY_VERIFY(qobject_cast<QMenu *>(QApplication::activePopupWidget()));
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QSignalSpy chosen(m_window.get(), &CharacterWindow::commandChosen);
        QTest::keyClick(menu, Qt::Key_C);   // the access key of "&Check now"
        QTRY_COMPARE(chosen.size(), 1);
        QCOMPARE(chosen.at(0).at(0).toString(), u"CheckNow"_s);
        QTRY_VERIFY(!QApplication::activePopupWidget());
    }

    void mouthMovesWhileSpeaking()
    {
        m_window->setCharacterHeight(252);   // one pixel per frame unit
        m_window->setSpeaking(true);
        m_window->setMouth(u"closed"_s);
        const QImage closed = m_window->grab().toImage();
        m_window->setMouth(u"open"_s);
        const QImage open = m_window->grab().toImage();
        m_window->setMouth(u"round"_s);
        const QImage round = m_window->grab().toImage();
        QVERIFY(closed != open);
        QVERIFY(open != round);
        const QRect mouth = m_merlin.mouthRect.toAlignedRect().adjusted(-1, -1, 1, 1);
        QVERIFY2(mouth.contains(differenceBox(closed, open)), "only the mouth changes");
        m_window->setSpeaking(false);
        m_window->showFrame(m_merlin.animations.value(u"RestPose"_s).frames.first().image);
        const QImage rest = m_window->grab().toImage();
        QVERIFY(rest != open);
    }

    void balloonLayout_data()
    {
        QTest::addColumn<quint32>("style");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("visible");
        QTest::addColumn<bool>("shown");

        const QString longText = QStringLiteral("You have three new messages from Ann about the garden party next "
                                                "Saturday afternoon");
        QTest::newRow("short-text-one-line-auto-hide")
            << quint32(0x1 | 0x2 | 0x4 | (32u << 16) | (2u << 24)) << "Hello there!" << QStringList{"Hello there!"} << true;
        QTest::newRow("long-text-shows-last-two-lines")
            << quint32(0x1 | 0x2 | (24u << 16) | (2u << 24)) << longText << QStringList() << true;
        QTest::newRow("line-ends-part-sender-subject-and-body")
            << quint32(0x1 | 0x2 | (40u << 16) | (4u << 24)) << "From Anna Berg \r\n welcome to murmelo \r\nHello and welcome!\r\n"
            << QStringList{"From Anna Berg", "welcome to murmelo", "Hello and welcome!"} << true;
        QTest::newRow("blank-lines-take-no-room")
            << quint32(0x1 | 0x2 | (40u << 16) | (2u << 24)) << "First paragraph.\n\n\r\nSecond one."
            << QStringList{"First paragraph.", "Second one."} << true;
        QTest::newRow("balloon-off-never-shows") << quint32(0x2 | (32u << 16) | (2u << 24)) << "Hello"
                                                 << QStringList{"Hello"} << false;
    }
    void balloonLayout()
    {
        QFETCH(quint32, style);
        QFETCH(QString, text);
        QFETCH(QStringList, visible);
        QFETCH(bool, shown);
        BalloonWidget balloon;
        balloon.setBalloonFont(u"Sans Serif"_s, 11);
        balloon.setStyleBits(style);
        balloon.placeBeside(QRect(300, 200, 160, 200));
        balloon.begin();
        balloon.setText(text);
        QCOMPARE(balloon.isVisible(), shown);
        if (!visible.isEmpty()) {
            QCOMPARE(balloon.visibleLines(), visible);
        } else {
            // Only the last `lines` lines show, and they end with the last words spoken.
            QCOMPARE(balloon.visibleLines().size(), balloon.numberOfLines());
            QVERIFY(balloon.visibleLines().last().endsWith(u"afternoon"_s));
            const QFontMetrics fm(QFont(u"Sans Serif"_s, 11));
            for (const QString &line : balloon.visibleLines())
                QVERIFY(fm.horizontalAdvance(line) <= fm.averageCharWidth() * balloon.charsPerLine());
        }
        // With auto-hide it is gone when the speech ends; without, it stays.
        balloon.end();
        QCOMPARE(balloon.isVisible(), shown && !(style & 0x4));
    }

    void balloonStaysOnScreen_data()
    {
        QTest::addColumn<QRect>("character");
        QTest::addColumn<bool>("toTheRight");
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QTest::newRow("character-on-the-left") << QRect(screen.left() + 10, 300, 160, 200) << true;
        QTest::newRow("character-at-the-right-edge") << QRect(screen.right() - 170, 300, 160, 200) << false;
        QTest::newRow("character-at-the-top") << QRect(screen.left() + 400, screen.top() - 120, 160, 200) << true;
        QTest::newRow("character-at-the-bottom") << QRect(screen.left() + 400, screen.bottom() - 60, 160, 200) << true;
    }
    void balloonStaysOnScreen()
    {
        QFETCH(QRect, character);
        QFETCH(bool, toTheRight);
        BalloonWidget balloon;
        balloon.setStyleBits(0x1 | 0x2 | 0x4 | (30u << 16) | (3u << 24));
        balloon.setText(u"A new message from Bob: lunch tomorrow?"_s);
        balloon.placeBeside(character);
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY2(screen.contains(balloon.geometry()), "kept on screen");
        if (toTheRight)
            QVERIFY(balloon.geometry().center().x() > character.center().x());
        else
            QVERIFY(balloon.geometry().center().x() < character.center().x());
    }

    void everyCharacterDrawsItsGestures()
    {
        // Both shipped characters draw something in each main gesture and with the mouth open,
        // and they differ from each other.
        QImage rest[2];
        for (int c = 0; c < 2; ++c) {
            const CharacterPackage *pkg = c ? &m_robby : &m_merlin;
            CharacterWindow w(pkg);
            w.setCharacterHeight(180);
            auto drawsSomething = [&w] {
                const QImage img = w.grab().toImage();
                return qAlpha(img.pixel(img.width() / 2, img.height() * 3 / 4)) > 0;
            };
            for (const char *anim : {"RestPose", "Greet", "Wave", "Announce", "GetAttention", "Think", "Read", "Sad",
                                     "Congratulate"}) {
                const QList<CharacterFrame> fs = pkg->animations.value(QLatin1String(anim)).frames;
                QVERIFY2(!fs.isEmpty(), anim);
                w.showFrame(fs.at(fs.size() / 2).image);
                QVERIFY2(drawsSomething(), anim);
                if (rest[c].isNull())
                    rest[c] = w.grab().toImage();
            }
            w.setSpeaking(true);
            w.setMouth(u"open"_s);
            QVERIFY(drawsSomething());
        }
        QVERIFY(rest[0] != rest[1]);
    }

    void shapedOnlyWithoutCompositor()
    {
        if (!m_haveX || !m_x)
            QSKIP(qPrintable(m_why));
        // With a compositor the window stays translucent and unshaped.
        QVERIFY2(m_x->setCompositor(true), "xcompmgr is installed by scripts/setup-deps");
        QTRY_VERIFY_WITH_TIMEOUT(CharacterWindow::compositorRunning(), 5000);
        QVERIFY(showWindow());
        QVERIFY(!m_window->isShaped());
        QVERIFY(m_window->mask().isEmpty());
        m_window->hide();

        // Without one, the window is cut to the figure.
        QVERIFY(m_x->setCompositor(false));
        QTRY_VERIFY_WITH_TIMEOUT(!CharacterWindow::compositorRunning(), 5000);
        QVERIFY(showWindow());
        QVERIFY(m_window->isShaped());
        const QRegion outline = m_window->mask();
        const int w = m_window->width(), h = m_window->height();
        QVERIFY(!outline.contains(QPoint(1, 1)));
        QVERIFY(!outline.contains(QPoint(w - 2, h / 2)));
        QVERIFY(outline.contains(QPoint(w / 2, h * 210 / 252)));   // the robe
        // The outline follows the animation.
        const QString before = m_window->currentFrame();
        for (const auto &frame : m_merlin.animations.value(u"Wave"_s).frames) {
            if (frame.image != before) {
                m_window->showFrame(frame.image);
                break;
            }
        }
        QVERIFY(m_window->currentFrame() != before);
        QVERIFY(m_window->mask() != outline);
        m_window->hide();
        // So is the balloon, to its bubble and tail.
        BalloonWidget balloon;
        balloon.setText(u"You have two new messages."_s);
        balloon.show();
        QVERIFY(QTest::qWaitForWindowExposed(&balloon));
        const QRegion bubble = balloon.mask();
        QVERIFY(!bubble.isEmpty());
        QVERIFY(!bubble.contains(QPoint(0, 0)));
        QVERIFY(!bubble.contains(QPoint(balloon.width() - 1, balloon.height() - 1)));
        QVERIFY(bubble.contains(QPoint(balloon.width() / 2, balloon.height() / 2)));
        balloon.hide();
        QVERIFY(m_x->setCompositor(true));
    }

    // ---- the control with its windows ----------------------------------------------

    void showAndHideFollowRequests()
    {
        m_control->setBalloonHideDelay(60000);   // the balloon would linger after the speech
        AgentCharacter *c = load(u"Robby"_s);
        CharacterWindowView *view = m_control->viewOf(u"Robby"_s);
        CharacterWindow *w = view->window();
        QVERIFY(!w->isVisible());
        QVERIFY(finished(c->Show(false), 5000));
        QVERIFY(w->isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QCOMPARE(w->pos(), QPoint(200, 150));
        // Back on the rest pose after the showing animation.
        QCOMPARE(w->currentFrame(), c->Package().animations.value(u"RestPose"_s).frames.first().image);

        QVERIFY(finished(c->Speak(u"Goodbye for now."_s)));
        QVERIFY(view->balloon()->isVisible());
        // The hiding animation plays in the window, not one frame of it with the balloon still up.
        QStringList seen;
        int withBalloon = 0;
        QObject ctx;
        connect(c, &AgentCharacter::frameShown, &ctx, [&seen, &withBalloon, view, w] {
            seen << w->currentFrame();
            withBalloon += view->balloon()->isVisible();
        });
        AgentRequestPtr hide = c->Hide(false);
        QVERIFY(w->isVisible());   // still there while the hiding animation plays
        QVERIFY(finished(hide, 5000));
        for (const CharacterFrame &f : c->Package().animations.value(u"Hide"_s).frames)
            QVERIFY2(seen.contains(f.image), qPrintable(f.image));
        QCOMPARE(withBalloon, 0);
        QVERIFY(!w->isVisible());
    }

    void movesAndHeightReachTheWindow()
    {
        // The Move events themselves are the character's (tested with it); here, the wiring.
        AgentCharacter *c = load(u"Merlin"_s);
        c->Show(true);
        CharacterWindow *w = m_control->windowOf(u"Merlin"_s);
        QTRY_VERIFY(w->isVisible());
        QSignalSpy move(m_control.get(), &AgentControl::Move);
        // The drag is the window's (tested with it); its report reaches the control as cause 1.
        Q_EMIT w->userMoved(430, 90);
        QCOMPARE(move.size(), 1);
        QCOMPARE(move.at(0).at(0).toString(), u"Merlin"_s);
        QCOMPARE(move.at(0).at(3).toInt(), 1);
        QCOMPARE(QPoint(c->Left(), c->Top()), QPoint(430, 90));
        // A move the program makes (cause 2) is the character's own (tst_agentrequests).
        QVERIFY(finished(c->MoveTo(420, 260, 0), 5000));
        QCOMPARE(w->pos(), QPoint(420, 260));
        c->setHeight(256);
        QCOMPARE(w->height(), 256);
        QCOMPARE(w->width(), qRound(256.0 * c->OriginalWidth() / c->OriginalHeight()));
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
            QStringList out;
            for (QAction *a : menu->actions())
                if (!a->isSeparator())
                    out << a->text();
            return out;
        };
        QCOMPARE(texts(), (QStringList{"&Read my mail", "&Check now", "&Listen (hold)", "&Hide"}));
        c->Commands()->Item(u"Secret"_s)->setVisible(true);
        c->Commands()->Item(u"ReadMail"_s)->setCaption(u"Read &all mail"_s);
        QCOMPARE(texts(), (QStringList{"Read &all mail", "Secret", "&Check now", "&Listen (hold)", "&Hide"}));
        c->Commands()->RemoveAll();
        QCOMPARE(texts(), (QStringList{"&Listen (hold)", "&Hide"}));

        c->Commands()->Add(u"CheckNow"_s, u"&Check now"_s, u"check now"_s);
        c->Commands()->Add(u"Quiet"_s, u"Be &quiet"_s, u"be quiet"_s, false);
        QSignalSpy command(m_control.get(), &AgentControl::Command);
        std::unique_ptr<QMenu> menu(w->createMenu(nullptr));
        QVERIFY(!menu->actions().at(1)->isEnabled());
        // "Listen" is held: an item like the others (no widget of its own, so lined up with them).
        QAction *check = menu->actions().first();
        QAction *listen = menu->actions().at(menu->actions().size() - 2);
        QVERIFY(menu->findChildren<QWidget *>().isEmpty());
        QSignalSpy pressed(w, &CharacterWindow::listenPressed);
        QSignalSpy released(w, &CharacterWindow::listenReleased);
        QTest::mousePress(menu.get(), Qt::LeftButton, {}, menu->actionGeometry(listen).center());
        QCOMPARE(pressed.size(), 1);
        QCOMPARE(released.size(), 0);   // still listening while held
        QTest::mouseRelease(menu.get(), Qt::LeftButton, {}, menu->actionGeometry(listen).center());
        QCOMPARE(released.size(), 1);
        // A press on another item is the menu's own.
        QTest::mousePress(menu.get(), Qt::LeftButton, {}, menu->actionGeometry(check).center());
        QCOMPARE(pressed.size(), 1);
        QCOMPARE(command.size(), 0);
        check->trigger();
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
        auto say = [c](const QString &text) {
            AgentRequestPtr speak = c->Speak(text);
            return finished(speak) && speak->Status() == AgentRequest::StatusComplete;
        };
        QVERIFY(say(u"Hello Ann, you have mail."_s));
        QVERIFY(texts.size() >= 3);
        // The balloon shows what was said so far, not the word alone.
        QCOMPARE(texts.last(), u"Hello Ann, you have mail."_s);
        QVERIFY(!view->window()->isSpeaking());
        QTRY_VERIFY(!view->balloon()->isVisible());   // auto-hide after the speech
        QCOMPARE(view->balloon()->balloonFont().pointSize(), 12);   // the font set on the character

        // Balloon off: the words are not shown.
        c->Balloon()->setStyle(c->Balloon()->Style() & ~AgentBalloon::StyleBalloonOn);
        disconnect(c, &AgentCharacter::wordSpoken, &ctx, nullptr);
        bool shown = false;
        connect(c, &AgentCharacter::wordSpoken, &ctx, [&shown, view] { shown = shown || view->balloon()->isVisible(); });
        QVERIFY(say(u"Silent balloon"_s));
        QVERIFY(!shown);
    }
};

int main(int argc, char **argv)
{
    XvfbDisplay x;
    QString why;
    // The test environment asks for the offscreen platform; a real X server is better
    // for a window test, so use a private one when Xvfb exists.
    const bool haveX = x.Start(why);
    QApplication app(argc, argv);
    TestWindowCharacter test(haveX, why, &x);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window_character.moc"
