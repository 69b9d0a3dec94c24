// The General page: the mail programs of the desktop, the derived names of stored
// command lines, the autostart entry, and starting the mail program without a shell.
#include "OptionsFixture.h"

#include "Autostart.h"
#include "DesktopEntry.h"
#include "EmailProgram.h"
#include "MailClients.h"
#include "OptionsServices.h"
#include "ucOptGeneral.h"
#include "engine/MUScripting.h"
#include "storage/CSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QTest>


namespace {
QByteArray desktopEntry(const QString &name, const QString &exec, const QString &mime, const QString &extra = {})
{
    return QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nName[de]=Post\nExec=%2\nMimeType=%3\n%4")
        .arg(name, exec, mime, extra)
        .toUtf8();
}

using Page = PageOf<ucOptGeneral>;
}

// The rows with raw strings stay below the class: moc cannot read past them.
class TstOptGeneral : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void storedProgramShownAndAnotherChosen_data();
    void storedProgramShownAndAnotherChosen()
    {
        QFETCH(QString, name);
        QFETCH(QString, command);
        QFETCH(QString, shown);
        OptionsFixture f; QVERIFY(f.isValid());
        qputenv("MURMELO_TEST_MAILDIR", "/opt/mailer");
        const QString apps = f.home().dataDir() + "/applications/";
        QVERIFY(TestHome::write(apps + "mailer.desktop", desktopEntry("Mailer", "%MURMELO_TEST_MAILDIR%/bin/mailer %u",
                                                                                "x-scheme-handler/mailto;")));
        QVERIFY(TestHome::write(apps + "ghost.desktop",
                                          desktopEntry("Ghost", "/nonexistent/ghost-mailer %u", "x-scheme-handler/mailto;")));
        if (!name.isEmpty())
            f.settings()->SaveSetting(ucOptGeneral::KeyEmailProgramName, name);
        f.settings()->SaveSetting(ucOptGeneral::KeyEmailProgramCommand, command);
        Page p(f);
        auto *combo = p.page.findChild<QComboBox *>("cboEmailProgram");
        QCOMPARE(combo->currentText(), shown);   // even when no longer installed
        QVERIFY(!p.apply.isEnabled());

        // A program that cannot start says why.
        combo->setCurrentIndex(combo->findText("Ghost"));
        p.page.cmdRunEmailClient_Click();
        QCOMPARE(f.boxes.size(), 1);
        QVERIFY(f.boxes.at(0).prompt.startsWith("Cannot start E-mail program. "));
        QVERIFY(f.boxes.at(0).prompt.size() > QString("Cannot start E-mail program. ").size());

        // The chosen program's command is stored with its variables expanded.
        combo->setCurrentIndex(combo->findText("Mailer"));
        QVERIFY(p.apply.isEnabled());
        p.page.Update();
        QCOMPARE(f.settings()->GetSetting(ucOptGeneral::KeyEmailProgramName).toString(), QString("Mailer"));
        QCOMPARE(f.settings()->GetSetting(ucOptGeneral::KeyEmailProgramCommand).toString(), QString("/opt/mailer/bin/mailer %u"));
        qunsetenv("MURMELO_TEST_MAILDIR");
    }
    void mailClientsFromDesktopEntries()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        const QString apps = f.home().dataDir() + "/applications/";
        QVERIFY(TestHome::write(apps + "mailer.desktop",
                                          desktopEntry("Mailer", "mailer --compose %u", "text/plain;x-scheme-handler/mailto;")));
        QVERIFY(TestHome::write(apps + "viewer.desktop", desktopEntry("Viewer", "viewer %f", "image/png;")));
        QVERIFY(TestHome::write(apps + "gone.desktop",
                                          desktopEntry("Gone", "gone %u", "x-scheme-handler/mailto;", "Hidden=true\n")));
        QVERIFY(TestHome::write(apps + "missing.desktop",
                                          desktopEntry("Missing", "nothere %u", "x-scheme-handler/mailto;",
                                                       "TryExec=/nonexistent/murmelo-test-program\n")));
        QVERIFY(TestHome::write(apps + "kde/kmail.desktop",
                                          desktopEntry("KMail", "kmail %u", "x-scheme-handler/mailto;")));
        QVERIFY(TestHome::write(apps + "broken.desktop", "not a desktop entry at all\n\x01\x02"));
        // The user's own entry hides the system one with the same id.
        QVERIFY(TestHome::write(apps + "override.desktop",
                                          desktopEntry("System Override", "sys %u", "x-scheme-handler/mailto;")));
        QVERIFY(TestHome::write(f.home().dataHome() + "/applications/override.desktop",
                                          desktopEntry("My Override", "mine %u", "x-scheme-handler/mailto;")));

        const QList<Record> found = MailClients::Find();
        QStringList names;
        for (const Record &r : found)
            names << r.text("Name");
        QCOMPARE(names, QStringList({"My Override", "KMail", "Mailer"}));
        QCOMPARE(found.at(1).Id(), QString("kde-kmail.desktop"));
        QCOMPARE(found.at(2).text("OpenCommand"), QString("mailer --compose %u"));

        Page p(f);
        auto *combo = p.page.findChild<QComboBox *>("cboEmailProgram");
        QCOMPARE(combo->count(), 3);
        // Nothing stored, no Outlook Express listed: the second entry is chosen.
        QCOMPARE(combo->currentText(), QString("KMail"));
    }
    void autostartWrittenOnClearRemovedOnTick()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        const QString entry = f.home().configHome() + "/autostart/murmelo.desktop";
        QCOMPARE(Autostart::EntryPath(), entry);
        {
            Page p(f);
            auto *dontRun = p.page.findChild<QCheckBox *>("chkDontRunMUatStartup");
            QVERIFY(dontRun->isChecked());   // no entry yet
            dontRun->click();
            QVERIFY(p.apply.isEnabled());
            p.page.Update();
        }
        QVERIFY(QFileInfo::exists(entry));
        DesktopEntry written;
        QVERIFY(written.load(entry));
        QCOMPARE(written.value("Type"), QString("Application"));
        const QStringList exec = DesktopEntry::ExpandArguments(DesktopEntry::SplitExec(written.value("Exec")));
        QCOMPARE(exec, Autostart::ThisProgram());
        QVERIFY(Autostart::Enabled());
        {
            Page p(f);
            auto *dontRun = p.page.findChild<QCheckBox *>("chkDontRunMUatStartup");
            QVERIFY(!dontRun->isChecked());
            dontRun->click();
            p.page.Update();
        }
        QVERIFY(!QFileInfo::exists(entry));
        QVERIFY(!Autostart::Enabled());
    }
    void execArguments_data();
    void execArguments()
    {
        QFETCH(QString, command);
        QFETCH(QStringList, arguments);
        QCOMPARE(EmailProgram::Arguments(command), arguments);
    }
    void shellMetacharactersRunNoShell();
    void notificationOnUntilSwitchedOff()
    {
        OptionsFixture f;
        Page p(f);
        auto *box = p.page.findChild<QCheckBox *>(QStringLiteral("chkNotify"));
        QVERIFY(box);
        QVERIFY(box->isChecked());   // never saved: on
        box->setChecked(false);
        QVERIFY(p.apply.isEnabled());
        p.page.Update();
        QCOMPARE(f.engine()->settings()->GetSetting(ucOptGeneral::KeyDesktopNotification, true).toBool(), false);
        Page again(f);
        QVERIFY(!again.page.findChild<QCheckBox *>(QStringLiteral("chkNotify"))->isChecked());
    }
};

void TstOptGeneral::storedProgramShownAndAnotherChosen_data()
{
    // A stored command without a name is shown by the name derived from it.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("shown");
    QTest::newRow("outlook-upper-case") << "" << R"("C:\Program Files\Microsoft Office\OUTLOOK.EXE" /c ipm.note)"
                                        << "Microsoft Outlook";
    QTest::newRow("outlook-express") << "" << R"("C:\Program Files\Outlook Express\msimn.exe" /mailurl:%1)" << "Outlook Express";
    QTest::newRow("named-program-gone") << "Old Mailer" << "old-mailer" << "Old Mailer";
}

void TstOptGeneral::execArguments_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("all-file-codes-dropped") << "prog %f %F %U --x" << QStringList{"prog", "--x"};
    QTest::newRow("quoted-program-with-blank") << R"("/opt/My Mail/mail" -compose)"
                                               << QStringList{"/opt/My Mail/mail", "-compose"};
    QTest::newRow("escapes-inside-quotes") << R"(prog "a \"b\" \$c \\d")" << QStringList{"prog", R"(a "b" $c \d)"};
    QTest::newRow("percent-sign") << "prog 100%%" << QStringList{"prog", "100%"};
    QTest::newRow("environment-variable") << "%HOME%/bin/mail --to=%u"
                                          << QStringList{qEnvironmentVariable("HOME") + "/bin/mail", "--to="};
    QTest::newRow("unknown-variable-kept") << "prog %NO_SUCH_MURMELO_VAR%" << QStringList{"prog", "%NO_SUCH_MURMELO_VAR%"};
    QTest::newRow("field-code-beside-percent") << "prog --to=%u%20x" << QStringList{"prog", "--to=%20x"};
    QTest::newRow("unclosed-quote") << R"(prog "open end)" << QStringList{"prog", "open end"};
    QTest::newRow("empty") << "   " << QStringList{};
}

void TstOptGeneral::shellMetacharactersRunNoShell()
{
    OptionsFixture f; QVERIFY(f.isValid());
    // A real program that writes each argument it got on a line of its own.
    const QString script = f.home().path("record-args");
    QVERIFY(TestHome::write(script, "#!/bin/sh\nout=\"$1\"; shift\n"
                                              "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$out.tmp\"\n"
                                              "mv \"$out.tmp\" \"$out\"\n"));
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString out = f.home().path("args.txt");
    const QString pwned1 = f.home().path("pwned1");
    const QString pwned2 = f.home().path("pwned2");
    const QString pwned3 = f.home().path("pwned3");
    const QString command = QStringLiteral(R"x("%1" "%2" "a; touch %3" "\$(touch %4)" `touch %5` |x &y %u)x")
                                .arg(script, out, pwned1, pwned2, pwned3);
    const QStringList expected = {"a; touch " + pwned1, "$(touch " + pwned2 + ")", "`touch", pwned3 + "`", "|x", "&y"};
    QCOMPARE(EmailProgram::Start(OptionsServices(), command), QString());   // the real start
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(out), 10000);
    QFile got(out);
    QVERIFY(got.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(got.readAll()).split('\n', Qt::SkipEmptyParts), expected);
    QVERIFY(!QFileInfo::exists(pwned1));
    QVERIFY(!QFileInfo::exists(pwned2));
    QVERIFY(!QFileInfo::exists(pwned3));
}

QTEST_MAIN(TstOptGeneral)
#include "tst_optgeneral.moc"
