// The main window over a real engine: the list and its order, the totals, deleting,
// the view, the spoken date and time, the account menu and the status panel through a
// real download. New mail reaching the talker is tst_notifications'.
#include "shell/ShellFixture.h"

#include "FMain.h"
#include "timing/SpokenTime.h"
#include "MessageListModel.h"
#include "MessageView.h"

#include "FakePop3Server.h"
#include "ReceiverRun.h"
#include "engine/MUScripting.h"
#include "receive/ReceiverManager.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "storage/MsgManager.h"
#include "timing/TimerManager.h"
#include "trellis/MessageTable.h"
#include "trellis/Paths.h"
#include "trellis/Utility.h"

#include "AgentControl.h"

#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QHeaderView>
#include <QLabel>
#include <QItemSelectionModel>
#include <QMenu>
#include <QSignalSpy>
#include <QTableView>
#include <QFile>
#include <QTest>

namespace {
QList<Record> threeMessages()
{
    return {ShellFixture::message(QStringLiteral("first@example.org"), QStringLiteral("One")),
            ShellFixture::message(QStringLiteral("second@example.org"), QStringLiteral("Two")),
            ShellFixture::message(QStringLiteral("third@example.org"), QStringLiteral("Three"))};
}
}

class TestFMain : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void homePageItemOnlyWithAnAddress()
    {
        ShellFixture fx;
        for (const QByteArray &address : {QByteArray(), QByteArray("https://murmelo.example/")}) {
            QVERIFY(fx.writeFile(QStringLiteral("services.json"), "{\"homePage\": \"" + address + "\"}"));
            FMain w(fx.services);
            QCOMPARE(w.menuAction(QStringLiteral("mnuVisitMurmeloHomePage"))->isVisible(), !address.isEmpty());
        }
    }

    void pagingReadsEveryRowOnce_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("column");   // sorted by this column first; -1: as stored
        QTest::newRow("exactly-a-page") << MessageListModel::PageSize << QString() << -1;
        QTest::newRow("deleting-loaded-rows-skips-none") << 450 << QStringLiteral("delete") << -1;
        QTest::newRow("new-mail-between-pages-listed-once") << 450 << QStringLiteral("arrive") << -1;
        QTest::newRow("sorted-deleting-skips-none") << 450 << QStringLiteral("delete") << int(MessageListModel::ColSubject);
    }
    void pagingReadsEveryRowOnce()
    {
        QFETCH(int, stored);
        QFETCH(QString, action);
        QFETCH(int, column);
        QList<Record> msgs;
        for (int i = 0; i < stored; ++i) {
            // Subjects out of the storing order, so sorting moves rows across pages.
            msgs << ShellFixture::message(QStringLiteral("s%1@example.org").arg(i, 4, 10, QLatin1Char('0')),
                                          QStringLiteral("Subject %1").arg((i * 7919) % stored, 4, 10, QLatin1Char('0')));
        }
        ShellWindow t(true, msgs);
        // The top row is on show from the start, and stays when new mail comes on top of it.
        const QString top = msgs.last().text(QStringLiteral("From"));
        QCOMPARE(t.w.headerText(0), top);
        MessageListModel *model = t.w.model();
        QCOMPARE(t.w.TotalText(), QStringLiteral("Total: %1 messages").arg(stored));
        if (column >= 0)
            t.w.messageList()->sortByColumn(column, Qt::DescendingOrder);
        // Only the first page is read at the start.
        QCOMPARE(model->rowCount(), std::min(stored, int(MessageListModel::PageSize)));
        QStringList expected;
        for (const Record &r : std::as_const(msgs))
            expected.prepend(column < 0 ? r.text(QStringLiteral("From")) : r.text(QStringLiteral("Subject")));
        if (column >= 0)
            std::sort(expected.begin(), expected.end(), std::greater<>());

        if (action == QLatin1String("delete")) {
            // Ten loaded rows go: the rows not read yet move up and none may be skipped.
            t.w.messageList()->clearSelection();
            for (int row = 100; row < 110; ++row)
                t.w.messageList()->selectionModel()->select(model->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
            t.w.DeleteSelectedMessages(true);
            expected.remove(100, 10);
        } else if (action == QLatin1String("arrive")) {
            Record later = ShellFixture::message(QStringLiteral("later@example.org"), QStringLiteral("Later"));
            QVERIFY(t.arrive(later));
            expected.prepend(QStringLiteral("later@example.org"));
            QCOMPARE(t.w.headerText(0), top);
        }
        QCOMPARE(t.w.TotalText(), QStringLiteral("Total: %1 messages").arg(expected.size()));
        int fetches = 0;
        while (model->canFetchMore({})) {
            const int before = model->rowCount();
            model->fetchMore({});
            QVERIFY(model->rowCount() > before || !model->canFetchMore({}));
            ++fetches;
        }
        QVERIFY(fetches <= stored / MessageListModel::PageSize + 1);
        QCOMPARE(t.rows(column < 0 ? int(MessageListModel::ColFrom) : column), expected);
    }

    void sortingByEachColumn_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("expected");   // the subjects from the top, ascending
        // Stored A, B, C: unsorted the list shows C, B, A.
        QTest::newRow("from") << int(MessageListModel::ColFrom) << QStringList{"A", "C", "B"};
        QTest::newRow("to") << int(MessageListModel::ColTo) << QStringList{"B", "A", "C"};
        // By the moment of sending, zones counted, not by the text ("Tue" > "Sat"; "10" < "2").
        QTest::newRow("date-by-real-date") << int(MessageListModel::ColDate) << QStringList{"C", "A", "B"};
    }
    void sortingByEachColumn()
    {
        QFETCH(int, column);
        QFETCH(QStringList, expected);
        auto msg = [](const char *from, const char *subject, const char *to, const char *date) {
            Record r = ShellFixture::message(QString::fromLatin1(from), QString::fromLatin1(subject));
            r.Add(QStringLiteral("To"), QString::fromLatin1(to));
            r.Add(QStringLiteral("Date"), QString::fromLatin1(date));
            return r;
        };
        ShellWindow t(true, {msg("anna@example.org", "A", "mid@example.net", "Mon, 2 Nov 2026 10:00:00 +0000"),
                        msg("zoe@example.org", "B", "alpha@example.net", "Tue, 10 Nov 2026 09:00:00 +0000"),
                        msg("Bert <bert@example.org>", "C", "zulu@example.net", "Mon, 2 Nov 2026 11:30:00 +0200")});
        QVERIFY(t.shown());
        // A click on the header sorts, a second one turns the order round.
        QHeaderView *header = t.w.messageList()->horizontalHeader();
        const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
        if (header->sortIndicatorOrder() != Qt::AscendingOrder)
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(header->sortIndicatorSection(), column);
        QCOMPARE(t.rows(MessageListModel::ColSubject), expected);
    }

    void boldUntilShownOrReadAloud_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("read");
        QTest::newRow("shown-in-the-window") << QStringLiteral("show") << true;
        QTest::newRow("read-aloud") << QStringLiteral("readAloud") << true;
        QTest::newRow("hidden-window-shows-nothing") << QStringLiteral("hidden") << false;
        QTest::newRow("header-read-aloud-only") << QStringLiteral("readHeader") << false;
    }
    void boldUntilShownOrReadAloud()
    {
        QFETCH(QString, how);
        QFETCH(bool, read);
        ShellWindow t(true, threeMessages());
        auto bold = [](const MessageListModel *model, int row) {
            return model->data(model->index(row, MessageListModel::ColSubject), Qt::FontRole).value<QFont>().bold();
        };
        // The hidden window at the start showed the top row to no one.
        for (int row = 0; row < 3; ++row)
            QVERIFY(bold(t.w.model(), row));
        if (how == QLatin1String("show")) {
            QVERIFY(t.shown());
            t.w.selectRow(1);
            t.w.ShowSelectedMessage();
            QVERIFY(!bold(t.w.model(), 0));   // the one on show when the window opened
        } else if (how == QLatin1String("readAloud") || how == QLatin1String("readHeader")) {
            t.w.selectRow(1);
            t.w.ReadSelected(how == QLatin1String("readAloud"));
        } else {
            t.w.selectRow(1);
            t.w.ShowSelectedMessage();
        }
        QCOMPARE(!bold(t.w.model(), 1), read);
        QVERIFY(bold(t.w.model(), 2));

        // A window opened again over the store, as after a restart.
        FMain again(t.fx.services);
        again.Init(t.ef.engine()->log(), t.ef.engine(), nullptr, nullptr);
        QCOMPARE(again.model()->key(1), t.w.model()->key(1));
        QCOMPARE(!bold(again.model(), 1), read);
        QVERIFY(bold(again.model(), 2));
        again.Finalize();
    }

    void senderAddressInToolTipAndHeader_data()
    {
        QTest::addColumn<QString>("displayName");
        QTest::addColumn<QString>("fromField");
        QTest::addColumn<QString>("toolTip");
        QTest::addColumn<QString>("headerLine");
        const QString anna = QStringLiteral("anna@example.org");
        const QString name = QStringLiteral("Anna Berg");
        const QString both = QStringLiteral("Anna Berg <anna@example.org>");
        QTest::newRow("name-and-address") << name << QStringLiteral("\"Anna Berg\" <anna@example.org>") << anna << both;
        QTest::newRow("bare-address") << anna << anna << anna << anna;
        QTest::newRow("no-address") << name << name << name << name;
    }
    void senderAddressInToolTipAndHeader()
    {
        QFETCH(QString, displayName);
        QFETCH(QString, fromField);
        QFETCH(QString, toolTip);
        QFETCH(QString, headerLine);
        ShellWindow t(true, {ShellFixture::message(displayName, QStringLiteral("Hi"),
                                              ShellFixture::rawPlain(fromField, QStringLiteral("Hi"), QStringLiteral("Body")))});
        const QModelIndex sender = t.w.model()->index(0, MessageListModel::ColFrom);
        QCOMPARE(sender.data(Qt::DisplayRole).toString(), displayName);
        QCOMPARE(sender.data(Qt::ToolTipRole).toString(), toolTip);
        QCOMPARE(t.w.headerText(0), headerLine);
    }

    void lastRowDeleted()
    {
        ShellWindow t(true);
        QVERIFY(t.shown());
        // The empty list says what to do.
        auto *hint = t.w.messageList()->findChild<QLabel *>(QStringLiteral("lblEmptyList"));
        QVERIFY(hint);
        QVERIFY(hint->isVisible());
        Record msg = ShellFixture::message(QStringLiteral("a@example.org"), QStringLiteral("One"));
        QVERIFY(t.arrive(msg));
        QVERIFY(!hint->isVisible());
        t.w.selectRow(0);
        t.w.ShowSelectedMessage();
        QVERIFY(!t.w.view()->toPlainText().isEmpty());
        t.w.DeleteSelectedMessages(true);
        QVERIFY(hint->isVisible());
        QCOMPARE(t.w.model()->rowCount(), 0);
        QCOMPARE(t.w.panelText(1), QStringLiteral("Total: 0 messages"));
        QVERIFY(t.w.view()->toPlainText().isEmpty());
        for (int line = 0; line < 3; ++line)
            QVERIFY(t.w.headerText(line).isEmpty());
        t.w.ShowSelectedMessage();
        QVERIFY(t.w.view()->toPlainText().isEmpty());
    }

    void deletion_data()
    {
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("deleted");
        QTest::newRow("delete-asks-and-ok-deletes") << int(Qt::NoModifier) << 1 << true << true;
        QTest::newRow("delete-asks-and-cancel-keeps") << int(Qt::NoModifier) << 2 << true << false;
        QTest::newRow("shift-delete-deletes-without-asking") << int(Qt::ShiftModifier) << 2 << false << true;
        QTest::newRow("ctrl-shift-delete-still-asks") << int(Qt::ShiftModifier | Qt::ControlModifier) << 2 << true << false;
        QTest::newRow("context-menu-asks-and-ok-deletes") << -1 << 1 << true << true;
    }
    void deletion()
    {
        QFETCH(int, modifiers);
        QFETCH(int, answer);
        QFETCH(bool, asked);
        QFETCH(bool, deleted);
        ShellWindow t(true, threeMessages());
        QVERIFY(t.shown());
        t.fx.answer = answer;
        // Select the two older messages.
        QTableView *lv = t.w.messageList();
        lv->setFocus();
        lv->clearSelection();
        lv->selectionModel()->select(t.w.model()->index(1, 0),
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
        lv->selectionModel()->select(t.w.model()->index(2, 0),
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QAction *del = t.w.menuAction(QStringLiteral("mnuDeleteMsgs"));
        QVERIFY(t.w.gridContextMenu()->actions().contains(del));
        if (modifiers < 0)
            del->trigger();
        else
            QTest::keyClick(lv, Qt::Key_Delete, Qt::KeyboardModifiers(modifiers));

        QCOMPARE(t.fx.boxes.size(), asked ? 1 : 0);
        if (asked) {
            QCOMPARE(t.fx.boxes.first().prompt, MessageTable::Text(101));
            QCOMPARE(t.fx.boxes.first().buttons, 49);
        }
        const int left = deleted ? 1 : 3;
        QCOMPARE(t.w.model()->rowCount(), left);
        QCOMPARE(t.ef.engine()->msgManager()->GetMsgs(false).Count(), left);
        QCOMPARE(t.w.panelText(1), deleted ? QStringLiteral("Total: 1 message") : QStringLiteral("Total: 3 messages"));
        QCOMPARE(t.w.model()->text(0, MessageListModel::ColFrom), QStringLiteral("third@example.org"));
    }

    void viewShowsHtmlBlocksRemoteAndHandsOutLinks()
    {
        const QString html = QStringLiteral(
            "From: News <news@example.org>\r\nTo: me@example.net\r\nSubject: Letter\r\n"
            "MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=\"r\"\r\n\r\n"
            "--r\r\nContent-Type: text/html; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
            "<html><body><script>document.write('EVIL')</script><p>Caf=E9 <b>news</b></p>"
            "<img src=3D\"cid:logo@x\"><img src=3D\"https://tracker.example/pixel.gif\">"
            "<a href=3D\"https://example.org/read\">read more</a></body></html>\r\n"
            "--r\r\nContent-Type: image/png\r\nContent-ID: <logo@x>\r\nContent-Transfer-Encoding: base64\r\n\r\n"
            "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==\r\n"
            "--r--\r\n");
        ShellWindow t(true, {ShellFixture::message(QStringLiteral("news@example.org"), QStringLiteral("Letter"), html)});
        MessageView *v = t.w.view();
        QVERIFY(!v->showingRaw());
        QVERIFY(v->toPlainText().contains(QStringLiteral("Café news")));
        QVERIFY(!v->toPlainText().contains(QStringLiteral("EVIL")));
        QCOMPARE(v->blockedRemote(), QList<QUrl>{QUrl(QStringLiteral("https://tracker.example/pixel.gif"))});
        QVERIFY(!t.w.findChild<QWidget *>(QStringLiteral("remoteBar"))->isHidden());
        // The message's own picture is there.
        const QString docHtml = v->toHtml();
        QVERIFY(docHtml.contains(QStringLiteral("data:image/png")));
        const QVariant img = v->document()->resource(QTextDocument::ImageResource,
                                                     QUrl(docHtml.mid(docHtml.indexOf(QStringLiteral("data:image/png")))
                                                              .section(QLatin1Char('"'), 0, 0)));
        QVERIFY(img.isValid());

        Q_EMIT v->anchorClicked(QUrl(QStringLiteral("https://example.org/read")));
        QCOMPARE(t.fx.opened, QList<QUrl>{QUrl(QStringLiteral("https://example.org/read"))});
    }

    void viewOfPlainText_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("raw");
        const QString head = QStringLiteral("From: Ann <ann@example.org>\r\nSubject: Lines\r\n");
        const QString lines = QStringLiteral("first line\nsecond line\n\nafter a blank\n");
        // Each line of the message is one line on screen: CR LF is not two line breaks.
        QTest::newRow("crlf") << head + "\r\nfirst line\r\nsecond line\r\n\r\nafter a blank\r\n" << lines << false;
        const QString junk = QStringLiteral("\x01\x02 this is <b>not</b> a message at all");
        QTest::newRow("not-a-message-shown-raw") << junk << junk << true;
    }
    void viewOfPlainText()
    {
        QFETCH(QString, content);
        QFETCH(QString, shown);
        QFETCH(bool, raw);
        ShellWindow t(true, {ShellFixture::message(QStringLiteral("ann@example.org"), QStringLiteral("Lines"), content)});
        QCOMPARE(t.w.view()->showingRaw(), raw);
        QCOMPARE(t.w.view()->toPlainText().trimmed(), shown.trimmed());
    }

    void accountMenuStartsACheckThePanelFollows()
    {
        // The download itself is the receivers' and the engine's; here the menu that starts it and
        // what the window makes of its events.
        ShellWindow t;
        QList<QAction *> items = t.w.thisAccountMenu()->actions();
        QCOMPARE(items.size(), 1);
        QCOMPARE(items.first()->text(), MessageTable::Text(110));
        QVERIFY(!items.first()->isEnabled());
        ReceiverManager *rm = t.ef.engine()->receiverManager();
        Q_EMIT rm->ErrorOccured(-1, QStringLiteral(" The server said no. "));
        QCOMPARE(t.w.panelText(2), QStringLiteral("The server said no"));   // one final "." dropped
        QVERIFY(t.w.panel2HasIcon());
        QVERIFY(t.fx.boxes.isEmpty());                                       // errors go to the status bar only

        FakePop3Server server;
        server.setCredentials("ann", "right");
        server.addMessage(ShellFixture::rawPlain(QStringLiteral("x@example.org"), QStringLiteral("Hi"),
                                                 QStringLiteral("Body")).toLatin1());
        QVERIFY(server.listen());
        // Listed by server: the fake one (127.0.0.1) comes first though added last.
        for (const QString &host : {QStringLiteral("pop.b.example"), server.host()}) {
            Record a = TestAccounts::engine(host, server.port(), QStringLiteral("ann"), QStringLiteral("right"), true);
            t.ef.engine()->AddAccount(a);
        }
        t.w.RebuildCheckThisAccountMenu();
        items = t.w.thisAccountMenu()->actions();
        QCOMPARE(items.size(), 2);
        QCOMPARE(items.at(0)->text(), QStringLiteral("Mail Server: '%1', User Name: 'ann'").arg(server.host()));
        QCOMPARE(items.at(1)->text(), QStringLiteral("Mail Server: 'pop.b.example', User Name: 'ann'"));
        QVERIFY(items.at(0)->isEnabled() && items.at(1)->isEnabled());
        // What panel 2 shows right after each event (the window handles it first).
        QStringList seen;
        auto record = [&](const char *what) {
            seen << QString::fromLatin1(what) + QLatin1Char('=') + t.w.panelText(2) +
                        (t.w.panel2HasIcon() ? QStringLiteral("+icon") : QString());
        };
        connect(rm, &ReceiverManager::ReceiveStart, this, [&] { record("start"); });
        connect(rm, &ReceiverManager::CurrentReceivesCount, this, [&](int n) {
            if (n > 0)
                record("count");
        });
        connect(rm, &ReceiverManager::ReceiveComplete, this, [&] { record("complete"); });
        QSignalSpy complete(rm, &ReceiverManager::ReceiveComplete);
        items.at(0)->trigger();
        QVERIFY(complete.wait(20000));
        // The error stays until the next start, then the panel empties.
        QCOMPARE(seen.first(), QStringLiteral("start="));
        QVERIFY(seen.contains(QStringLiteral("count=Checking Now...+icon")));
        QCOMPARE(seen.last(), QStringLiteral("complete="));
        QCOMPARE(t.w.model()->rowCount(), 1);   // listed through the engine's event
    }

    void listeningKeyFailureIsLogged()
    {
        // Options shows it only while open; the log keeps it.
        ShellWindow t;
        const LogPtr log = t.ef.engine()->log();
        QVERIFY(log->OpenFiles(Paths::StateDir() + "/mu.log", Paths::StateDir() + "/short.log"));
        Q_EMIT t.ef.agent()->ListeningKeyFailed(QStringLiteral("The desktop portal turned the shortcut down."));
        QVERIFY(t.fx.logText().contains("The listening key is not available: The desktop portal turned the shortcut down."));
    }

    void helpSaysWhyItCannotOpen()
    {
        // Without xdg-open the box says why; with one the manual is handed out.
        ShellWindow t;
        QTemporaryDir bin;
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.path().toLocal8Bit());
        t.w.mnuHelp_Click();
        QVERIFY(TestHome::write(bin.path() + QStringLiteral("/xdg-open"), "#!/bin/sh\n"));
        QVERIFY(QFile::setPermissions(bin.path() + QStringLiteral("/xdg-open"), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        t.w.mnuHelp_Click();
        qputenv("PATH", path);
        QCOMPARE(t.fx.boxes.size(), 1);
        QVERIFY2(t.fx.boxes.first().prompt.contains(QStringLiteral("No program to open web pages was found (xdg-open).")),
                 qPrintable(t.fx.boxes.first().prompt));
        QCOMPARE(t.fx.opened.size(), 1);
        QVERIFY(t.fx.opened.first().toLocalFile().endsWith(QStringLiteral("help/index.html")));
    }

    void speechPulseRunsOnlyWhileSpooled()
    {
        ShellWindow t;
        QObject::connect(t.ef.talker(), &CTalker::Spooled, &t.w, &FMain::moTalker_Spooled);
        TimerManager *timers = t.ef.engine()->timerManager();
        QSignalSpy started(t.ef.talker(), qOverload<>(&CTalker::StartTalking));
        QSignalSpy stopped(t.ef.talker(), qOverload<>(&CTalker::StopTalking));
        // Two texts queued back to back, at the window's clock in the stored pattern, are both
        // spoken, in one run, in their order.
        const QDate date(2026, 12, 23);
        t.ef.engine()->settings()->SaveSetting(FMain::KeyTimePattern, QStringLiteral("h:MM AM/PM"));
        t.w.setClock([date] { return QDateTime(date, QTime(14, 5)); });
        t.w.mnuTalkDate_Click();
        t.w.mnuTalkTime_Click();
        QVERIFY(timers->IsTiming(FMain::SpeechPulseId));
        QCOMPARE(t.ef.talker()->spool(), QStringList({QStringLiteral("Today is ") + SpokenTime::DatePhrase(date),
                                                      QStringLiteral("The time now is 2:05 PM")}));
        QVERIFY(stopped.wait(60000));
        QCOMPARE(started.count(), 1);
        QVERIFY(t.ef.talker()->spool().isEmpty());
        // Nothing left: no clock wakes the program until the next text.
        QTRY_VERIFY(!timers->IsTiming(FMain::SpeechPulseId));
        t.w.mnuTalkTime_Click();
        QVERIFY(timers->IsTiming(FMain::SpeechPulseId));
        QVERIFY(stopped.wait(60000));
        QCOMPARE(started.count(), 2);
        QTRY_VERIFY(!timers->IsTiming(FMain::SpeechPulseId));
    }

    void commandsAndTheirKeys()
    {
        ShellWindow t;
        const QList<std::pair<QString, QKeySequence>> keys{
            {"mnuDelete", QKeySequence(Qt::Key_Delete)}, {"mnuTalkDate", QKeySequence("Ctrl+D")},
            {"mnuTalkTime", QKeySequence("Ctrl+T")}, {"mnuSkipMessage", QKeySequence("Ctrl+K")},
            {"mnuStopTalking", QKeySequence("Ctrl+S")}, {"mnuCheckForNewMessagesAllAccounts", QKeySequence(Qt::Key_F5)},
            {"mnuStartEmailProgram", QKeySequence("Ctrl+E")}, {"mnuOptions", QKeySequence("Ctrl+O")},
            {"mnuHelp", QKeySequence(Qt::Key_F1)}, {"mnuAbout", QKeySequence()}};
        for (const auto &[name, key] : keys)
            QVERIFY2(t.w.menuAction(name) && t.w.menuAction(name)->shortcut() == key, qPrintable(name));

        // While talking only stopping and skipping make sense, in the menus and on the tool bar.
        // One action of each group the state switches.
        t.w.SetTalkingState(true);
        QVERIFY(t.w.menuAction(QStringLiteral("mnuStopTalking"))->isEnabled());
        QVERIFY(!t.w.menuAction(QStringLiteral("mnuTalkDate"))->isEnabled());
        QVERIFY(!t.w.toolAction(QStringLiteral("mnuTalkTime_Click"))->isEnabled());
        t.w.moTalker_StopTalking();
        QVERIFY(!t.w.menuAction(QStringLiteral("mnuStopTalking"))->isEnabled());
        QVERIFY(t.w.toolAction(QStringLiteral("mnuTalkDate_Click"))->isEnabled());
        QVERIFY(!t.w.toolAction(QStringLiteral("mnuSkipMessage_Click"))->isEnabled());

        // No mail program set: strings 100 and 513.
        t.w.mnuStartEmailProgram_Click();
        QCOMPARE(t.fx.boxes.size(), 1);
        QCOMPARE(t.fx.boxes.first().prompt, MessageTable::Text(100) + MessageTable::Text(513));
        QCOMPARE(t.fx.boxes.first().buttons, 64);

        // The character moved by hand keeps its place.
        Q_EMIT t.ef.agent()->Move(QStringLiteral("{char}"), 123, 456, 1);
        QCOMPARE(Utility::ToInt(t.ef.engine()->settings()->GetSetting(CTalker::KeyLeft), -1), 123);
        QCOMPARE(Utility::ToInt(t.ef.engine()->settings()->GetSetting(CTalker::KeyTop), -1), 456);
    }

    void readingCommands()
    {
        ShellWindow t(true, threeMessages());
        // Nothing selected: string 109.
        t.w.messageList()->clearSelection();
        t.w.ReadSelected(true);
        QCOMPARE(t.fx.boxes.size(), 1);
        QCOMPARE(t.fx.boxes.first().prompt, MessageTable::Text(109));

        // A long text document: the warning, then its first 2048 characters.
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(QByteArray(3000, 'a'));
        file.close();
        t.w.ReadTextFile(file.fileName());
        const QStringList spool = t.ef.talker()->spool();
        QCOMPARE(spool.size(), 2);
        QCOMPARE(spool.at(0), MessageTable::Text(134));
        QCOMPARE(spool.at(1).size(), 2048);

        t.fx.clear();
        t.w.ReadTextFile(QStringLiteral("/no/such/file.txt"));
        QCOMPARE(t.fx.boxes.value(0).prompt, MessageTable::Text(108));
        t.w.PlayWavFile(QStringLiteral("/no/such/file.wav"));
        QCOMPARE(t.fx.boxes.value(1).prompt, MessageTable::Text(107));
    }
};

QTEST_MAIN(TestFMain)
#include "tst_fmain.moc"
