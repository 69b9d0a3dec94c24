// The character window on a real (virtual) X display: it shows the character, a drag
// moves it and reports the new place, a right click lists the visible commands, the
// mouth moves while speaking, and frames are rendered once. Also the speech balloon.
#include "XvfbDisplay.h"
#include "agent/BalloonWidget.h"
#include "agent/CharacterPackage.h"
#include "agent/CharacterWindow.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QWidgetAction>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

CharacterPackage loadShipped(const QString &name)
{
    CharacterPackage pkg;
    QString error;
    const QString file = qEnvironmentVariable("MURMELO_BUILD_DIR") + u"/share/murmelo/chars/"_s + name
                         + u".acs"_s;
    if (!CharacterPackageLoader::Load(file, pkg, error))
        qWarning("%s", qPrintable(error));
    return pkg;
}

bool xdotool(const QStringList &args)
{
    const QString tool = QStandardPaths::findExecutable(u"xdotool"_s);
    return !tool.isEmpty() && QProcess::execute(tool, args) == 0;
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
    TestWindowCharacter(bool haveX, QString why, XvfbDisplay *x = nullptr)
        : m_haveX(haveX), m_why(std::move(why)), m_x(x)
    {
    }


private:
    bool m_haveX;
    QString m_why;
    XvfbDisplay *m_x = nullptr;
    CharacterPackage m_merlin;
    CharacterPackage m_robby;
    std::unique_ptr<CharacterWindow> m_window;

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
    }

    void cleanup()
    {
        m_window.reset();
    }

    void windowIsToolFramelessOnTop()
    {
        const Qt::WindowFlags f = m_window->windowFlags();
        QCOMPARE(f & Qt::WindowType_Mask, Qt::Tool);   // no task bar entry
        QVERIFY(f & Qt::FramelessWindowHint);
        QVERIFY(f & Qt::WindowStaysOnTopHint);
        QVERIFY(m_window->testAttribute(Qt::WA_TranslucentBackground));
        QVERIFY(m_window->testAttribute(Qt::WA_ShowWithoutActivating));
    }

    void showsCharacter()
    {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        const QImage img = m_window->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(img.size(), m_window->size() * m_window->devicePixelRatioF());
        // Transparent around the figure, opaque on it (the robe below the beard).
        QCOMPARE(qAlpha(img.pixel(1, 1)), 0);
        QCOMPARE(qAlpha(img.pixel(img.width() - 2, img.height() / 2)), 0);
        QCOMPARE(qAlpha(img.pixel(img.width() / 2, img.height() * 210 / 252)), 255);
    }

    void heightKeepsProportions()
    {
        m_window->setCharacterHeight(256);
        QCOMPARE(m_window->characterSize(), QSize(qRound(256.0 * 200 / 252), 256));
        QCOMPARE(m_window->size(), m_window->characterSize());
        m_window->setCharacterHeight(128);
        QCOMPARE(m_window->characterSize(), QSize(qRound(128.0 * 200 / 252), 128));
    }

    void framesRenderedOnce()
    {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
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

    void drag_data()
    {
        QTest::addColumn<bool>("realPointer");
        QTest::newRow("mouse-events") << false;
        QTest::newRow("xdotool-real-pointer") << true;
    }
    void drag()
    {
        QFETCH(bool, realPointer);
        if (!m_haveX)
            QSKIP("needs an X server");
        if (realPointer && QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
            QSKIP("xdotool is not installed");
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QTRY_COMPARE(m_window->pos(), QPoint(300, 200));
        QSignalSpy moved(m_window.get(), &CharacterWindow::userMoved);
        const QPoint grabAt(100, 150);   // on the robe
        const QPoint delta(-140, 90);
        if (realPointer) {
            const QPoint start = m_window->mapToGlobal(grabAt);
            QVERIFY(xdotool({"mousemove", "--sync", QString::number(start.x()), QString::number(start.y())}));
            QVERIFY(xdotool({"mousedown", "1"}));
            for (int step = 1; step <= 4; ++step) {
                const QPoint p = start + delta * step / 4;
                QVERIFY(xdotool({"mousemove", "--sync", QString::number(p.x()), QString::number(p.y())}));
            }
            QVERIFY(xdotool({"mouseup", "1"}));
            QVERIFY(moved.wait(5000));
        } else {
            const QPoint global = m_window->mapToGlobal(grabAt);
            QMouseEvent press(QEvent::MouseButtonPress, grabAt, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(m_window.get(), &press);
            for (int step = 1; step <= 4; ++step) {
                const QPoint g = global + delta * step / 4;
                QMouseEvent mv(QEvent::MouseMove, m_window->mapFromGlobal(g), g, Qt::NoButton, Qt::LeftButton,
                               Qt::NoModifier);
                QApplication::sendEvent(m_window.get(), &mv);
            }
            const QPoint end = global + delta;
            QMouseEvent release(QEvent::MouseButtonRelease, m_window->mapFromGlobal(end), end, Qt::LeftButton,
                                Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(m_window.get(), &release);
        }
        QCOMPARE(moved.size(), 1);   // one report at the end of the drag
        const QPoint expected = QPoint(300, 200) + delta;
        QCOMPARE(moved.at(0).at(0).toInt(), expected.x());
        QCOMPARE(moved.at(0).at(1).toInt(), expected.y());
        QTRY_COMPARE(m_window->pos(), expected);

        // A click without moving is no drag.
        if (!realPointer) {
            const QPoint at(100, 150);
            QMouseEvent press(QEvent::MouseButtonPress, at, m_window->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                              Qt::NoModifier);
            QApplication::sendEvent(m_window.get(), &press);
            QMouseEvent release(QEvent::MouseButtonRelease, at, m_window->mapToGlobal(at), Qt::LeftButton,
                                Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(m_window.get(), &release);
            QCOMPARE(moved.size(), 1);
        }
    }

    void rightClickMenuListsCommands()
    {
        m_window->setMenuCommands({{u"ReadMail"_s, u"&Read mail"_s, true}, {u"CheckNow"_s, u"&Check now"_s, true},
                                   {u"Quiet"_s, u"Be &quiet"_s, false}});
        std::unique_ptr<QMenu> menu(m_window->createMenu(nullptr));
        QStringList texts;
        for (QAction *a : menu->actions())
            if (!a->isSeparator())
                texts << a->text();
        QCOMPARE(texts, (QStringList{"&Read mail", "&Check now", "Be &quiet", "&Listen (hold)", "&Hide"}));
        QVERIFY(!menu->actions().at(2)->isEnabled());

        QSignalSpy chosen(m_window.get(), &CharacterWindow::commandChosen);
        QSignalSpy hide(m_window.get(), &CharacterWindow::hideChosen);
        menu->actions().at(1)->trigger();
        QCOMPARE(chosen.size(), 1);
        QCOMPARE(chosen.at(0).at(0).toString(), u"CheckNow"_s);
        menu->actions().last()->trigger();
        QCOMPARE(hide.size(), 1);
        QCOMPARE(chosen.size(), 1);
    }

    void rightClickOpensMenu()
    {
        if (!m_haveX)
            QSKIP("needs an X server");
        m_window->setMenuCommands({{u"ReadMail"_s, u"&Read mail"_s, true}, {u"CheckNow"_s, u"&Check now"_s, true}});
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        const QPoint at = m_window->mapToGlobal(QPoint(100, 150));
        if (!QStandardPaths::findExecutable(u"xdotool"_s).isEmpty()) {
            QVERIFY(xdotool({"mousemove", "--sync", QString::number(at.x()), QString::number(at.y())}));
            QVERIFY(xdotool({"click", "3"}));
        } else {
            QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(100, 150), at);
            QApplication::sendEvent(m_window.get(), &ev);
        }
        QTRY_VERIFY(qobject_cast<QMenu *>(QApplication::activePopupWidget()));
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QStringList texts;
        for (QAction *a : menu->actions())
            if (!a->isSeparator())
                texts << a->text();
        QCOMPARE(texts, (QStringList{"&Read mail", "&Check now", "&Listen (hold)", "&Hide"}));
        QSignalSpy chosen(m_window.get(), &CharacterWindow::commandChosen);
        QTest::keyClick(menu, Qt::Key_C);   // the access key of "&Check now"
        QTRY_COMPARE(chosen.size(), 1);
        QCOMPARE(chosen.at(0).at(0).toString(), u"CheckNow"_s);
        QTRY_VERIFY(!QApplication::activePopupWidget());
    }

    void listenIsHeld()
    {
        m_window->setMenuCommands({{u"CheckNow"_s, u"&Check now"_s, true}});
        std::unique_ptr<QMenu> menu(m_window->createMenu(nullptr));
        QAction *check = menu->actions().first();
        QAction *listen = menu->actions().at(2);
        QCOMPARE(listen->text(), u"&Listen (hold)"_s);
        // An item like the others, lined up with them (no widget of its own inside the menu).
        QVERIFY(menu->findChildren<QWidget *>().isEmpty());
        QCOMPARE(menu->actionGeometry(listen).left(), menu->actionGeometry(check).left());
        QCOMPARE(menu->actionGeometry(listen).width(), menu->actionGeometry(check).width());

        QSignalSpy pressed(m_window.get(), &CharacterWindow::listenPressed);
        QSignalSpy released(m_window.get(), &CharacterWindow::listenReleased);
        QSignalSpy chosen(m_window.get(), &CharacterWindow::commandChosen);
        QTest::mousePress(menu.get(), Qt::LeftButton, {}, menu->actionGeometry(listen).center());
        QCOMPARE(pressed.size(), 1);
        QCOMPARE(released.size(), 0);   // still listening while held
        QTest::mouseRelease(menu.get(), Qt::LeftButton, {}, menu->actionGeometry(listen).center());
        QCOMPARE(released.size(), 1);
        QCOMPARE(chosen.size(), 0);
        // A press on another item is the menu's own.
        QTest::mousePress(menu.get(), Qt::LeftButton, {}, menu->actionGeometry(check).center());
        QCOMPARE(pressed.size(), 1);
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
        QTest::newRow("short-text-one-line") << quint32(0x1 | 0x2 | (32u << 16) | (2u << 24)) << "Hello there!"
                                             << QStringList{"Hello there!"} << true;
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
        // Auto-hide: gone when the speech ends; without it, it stays.
        balloon.begin();
        balloon.setText(u"Hi"_s);
        QVERIFY(balloon.isVisible());
        balloon.end();
        QVERIFY(!balloon.isVisible());
        balloon.setStyleBits(0x1 | 0x2);
        balloon.begin();
        balloon.end();
        QVERIFY(balloon.isVisible());
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
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QVERIFY(!m_window->isShaped());
        QVERIFY(m_window->mask().isEmpty());
        m_window->hide();

        // Without one, the window is cut to the figure.
        QVERIFY(m_x->setCompositor(false));
        QTRY_VERIFY_WITH_TIMEOUT(!CharacterWindow::compositorRunning(), 5000);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
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
