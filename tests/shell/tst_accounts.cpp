// The accounts dialogs over a real engine: the enabling rules, OK with and without the
// server test, adding, modifying, removing, importing Thunderbird profiles, and the wait
// window and choice dialog they use.
#include "shell/ShellFixture.h"
#include "FAccounts.h"
#include "FAddAccount.h"
#include "FChooseOne.h"
#include "FProgressor.h"
#include "ThunderbirdAccounts.h"
#include "DovecotFixture.h"
#include "FakePop3Server.h"
#include "Mnemonics.h"
#include "TestCertificates.h"
#include "ShellMessage.h"
#include "engine/MUScripting.h"
#include "receive/CArriveShell.h"
#include "receive/CCheckMB.h"
#include "receive/ReceiverManager.h"
#include "receive/Sasl.h"
#include "storage/AccountManager.h"
#include "storage/MsgManager.h"
#include "trellis/MessageTable.h"
#include "trellis/MetaTypes.h"
#include "trellis/Utility.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

namespace {

Record account(const QString &server, const QString &user, bool disabled, int port = 110)
{
    Record r;
    r.Add(QStringLiteral("Server"), server);
    r.Add(QStringLiteral("Port"), port);
    r.Add(QStringLiteral("User"), user);
    r.Add(QStringLiteral("Pwd"), QStringLiteral("secret"));
    r.Add(QStringLiteral("CheckInterval"), 10);
    r.Add(QStringLiteral("Disabled"), disabled);
    r.Add(QStringLiteral("Email"), user + QStringLiteral("@example.org"));
    r.Add(QStringLiteral("Security"), QStringLiteral("None"));
    return r;
}

/// Types into the form; with a port, a plain-text server on it.
void fill(FAddAccount &form, const QString &email, const QString &pwd, const QString &retype, const QString &server,
          const QString &user, int port = 0)
{
    form.txtEmailAddress()->setText(email);
    form.txtPwd()->setText(pwd);
    form.txtRetypePwd()->setText(retype);
    form.txtServer()->setText(server);
    form.txtUser()->setText(user);
    if (port) {
        form.cboSecurity()->setCurrentText(QStringLiteral("None"));
        form.txtPort()->setValue(port);
    }
}

void writeFile(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

QByteArray popPrefs(const QList<std::tuple<QString, QString, QString, int, int>> &servers)
{
    // (address, host, user, port, socketType) per account; a news server and the local
    // folders sit among them as in a real profile.
    QByteArray out = "// Mozilla User Preferences\n";
    QStringList accounts;
    int n = 1;
    for (const auto &[address, host, user, port, socketType] : servers) {
        const QByteArray i = QByteArray::number(n++);
        accounts << QStringLiteral("account%1").arg(QString::fromLatin1(i));
        out += "user_pref(\"mail.account.account" + i + ".identities\", \"id" + i + "\");\n";
        out += "user_pref(\"mail.account.account" + i + ".server\", \"server" + i + "\");\n";
        out += "user_pref(\"mail.identity.id" + i + ".useremail\", \"" + address.toUtf8() + "\");\n";
        out += "user_pref(\"mail.server.server" + i + ".hostname\", \"" + host.toUtf8() + "\");\n";
        out += "user_pref(\"mail.server.server" + i + ".port\", " + QByteArray::number(port) + ");\n";
        out += "user_pref(\"mail.server.server" + i + ".socketType\", " + QByteArray::number(socketType) + ");\n";
        out += "user_pref(\"mail.server.server" + i + ".type\", \"pop3\");\n";
        out += "user_pref(\"mail.server.server" + i + ".userName\", \"" + user.toUtf8() + "\");\n";
    }
    out += "user_pref(\"mail.account.account90.server\", \"server90\");\n"
           "user_pref(\"mail.server.server90.hostname\", \"news.example.net\");\n"
           "user_pref(\"mail.server.server90.type\", \"nntp\");\n"
           "user_pref(\"mail.account.account91.server\", \"server91\");\n"
           "user_pref(\"mail.server.server91.hostname\", \"Local Folders\");\n"
           "user_pref(\"mail.server.server91.type\", \"none\");\n";
    accounts << QStringLiteral("account90") << QStringLiteral("account91");
    out += "user_pref(\"mail.accountmanager.accounts\", \"" + accounts.join(u',').toUtf8() + "\");\n";
    return out;
}

/// Thunderbird profiles under `tb`: none (0), one without POP3 (-1), one listed in
/// profiles.ini (1), or that and one more found by its prefs.js alone (2).
void writeProfiles(const QString &tb, int profiles)
{
    if (profiles == -1) {
        writeFile(tb + QStringLiteral("/abc.default/prefs.js"), popPrefs({}));
    } else if (profiles >= 1) {
        writeFile(tb + QStringLiteral("/profiles.ini"),
                  "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=default\nIsRelative=1\n"
                  "Path=abc.default\nDefault=1\n");
        writeFile(tb + QStringLiteral("/abc.default/prefs.js"),
                  popPrefs({{QStringLiteral("one@one.example"), QStringLiteral("pop.one.example"), QStringLiteral("one"),
                             995, 3}}));
    }
    if (profiles == 2)
        writeFile(tb + QStringLiteral("/xyz.default-release/prefs.js"),
                  popPrefs({{QStringLiteral("two@two.example"), QStringLiteral("pop.two.example"),
                             QStringLiteral("two@two.example"), 110, 2}}));
}

/// A throw-away HOME for the default profile folder; the real one comes back afterwards.
struct FakeHome
{
    QTemporaryDir dir;
    QByteArray old = qgetenv("HOME");
    FakeHome() { qputenv("HOME", dir.path().toUtf8()); }
    ~FakeHome() { qputenv("HOME", old); }
    QString thunderbird() const { return dir.path() + QStringLiteral("/.thunderbird"); }
};

}

class TestAccounts : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { RegisterTrellisMetaTypes(); }

    void enablingRules_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("pwd");
        QTest::addColumn<QString>("retype");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("user");
        QTest::addColumn<bool>("middle");   // server, login, autodetect
        QTest::addColumn<bool>("lower");    // interval, disable, OK, test
        QTest::addColumn<QString>("hint");  // why the server part is greyed out; "" when it is not
        const QString twice = QStringLiteral("Enter your e-mail address and the password twice.");
        const QString pw = QStringLiteral("pw");
        const QString srv = QStringLiteral("pop.example.org");
        const QString usr = QStringLiteral("ann");
        QTest::newRow("complete") << "ann@example.org" << pw << pw << srv << usr << true << true << QString();
        QTest::newRow("no-dot-after-at") << "ann@example" << pw << pw << srv << usr << false << false << twice;
        QTest::newRow("dot-only-before-at") << "ann.b@example" << pw << pw << srv << usr << false << false << twice;
        QTest::newRow("one-char-after-last-dot") << "ann@example.c" << pw << pw << srv << usr << false << false << twice;
        QTest::newRow("two-chars-after-last-dot") << "a@b.co" << pw << pw << srv << usr << true << true << QString();
        QTest::newRow("nothing-before-at") << "@example.org" << pw << pw << srv << usr << false << false << twice;
        QTest::newRow("nothing-between-at-and-dot") << "ann@.org" << pw << pw << srv << usr << false << false << twice;
        QTest::newRow("passwords-differ")
            << "ann@example.org" << pw << "pW" << srv << usr << false << false
            << QStringLiteral("The two passwords differ: type the same password twice.");
        QTest::newRow("passwords-empty") << "ann@example.org" << "" << "" << srv << usr << false << false << twice;
        QTest::newRow("retype-missing") << "ann@example.org" << pw << "" << srv << usr << false << false << twice;
        QTest::newRow("server-empty") << "ann@example.org" << pw << pw << "" << usr << true << false << QString();
        QTest::newRow("login-empty") << "ann@example.org" << pw << pw << srv << "" << true << false << QString();
    }
    void enablingRules()
    {
        QFETCH(QString, email);
        QFETCH(QString, pwd);
        QFETCH(QString, retype);
        QFETCH(QString, server);
        QFETCH(QString, user);
        QFETCH(bool, middle);
        QFETCH(bool, lower);
        QFETCH(QString, hint);
        ShellFixture fx;
        FAddAccount form(fx.services, nullptr);
        fill(form, email, pwd, retype, server, user);
        for (QWidget *m : std::initializer_list<QWidget *>{form.txtServer(), form.txtUser(), form.txtPort(),
                                                            form.cboSecurity(), form.cmdAutodetect()})
            QVERIFY2(m->isEnabled() == middle, qPrintable(m->objectName()));
        for (QWidget *l : std::initializer_list<QWidget *>{form.cmdOK(), form.cmdTestAccount(), form.chkDisable(),
                                                            form.txtCheckMailInterval()})
            QVERIFY2(l->isEnabled() == lower, qPrintable(l->objectName()));
        const QLabel *why = form.findChild<QLabel *>(QStringLiteral("lblServerHint"));
        QVERIFY(why);
        QCOMPARE(why->isHidden(), hint.isEmpty());
        if (!hint.isEmpty())
            QCOMPARE(why->text(), hint);
    }

    void newFormDefaultsAndRoundTrip()
    {
        ShellFixture fx;
        FAddAccount form(fx.services, nullptr);
        // The tests reach no session bus, so no keyring answers: the form says where the password goes.
        QCOMPARE(form.findChildren<QLabel *>(QStringLiteral("lblNoKeyring")).size(), 1);
        Record in = account(QStringLiteral("pop.example.org"), QStringLiteral("ann"), true, 1110);
        in.Add(QStringLiteral("Extra"), 5);
        form.LoadAccount(&in);
        QCOMPARE(form.txtRetypePwd()->text(), QStringLiteral("secret"));
        QVERIFY(form.chkDisable()->isChecked());
        QVERIFY(!form.txtCheckMailInterval()->isEnabled());
        form.chkDisable()->setChecked(false);
        QVERIFY(form.txtCheckMailInterval()->isEnabled());
        form.chkDisable()->setChecked(true);
        QCOMPARE(form.txtPort()->value(), 1110);
        QCOMPARE(form.cboSecurity()->currentText(), QStringLiteral("None"));
        Record out;
        out.setId(QStringLiteral("{kept}"));
        out.Add(QStringLiteral("Stale"), 1);
        form.WriteAccount(out);
        QCOMPARE(out.Id(), QStringLiteral("{kept}"));
        QVERIFY(!out.Exists(QStringLiteral("Stale")));
        QCOMPARE(out.Item(QStringLiteral("Port")).toInt(), 1110);
        QCOMPARE(out.text(QStringLiteral("Security")), QStringLiteral("None"));
        QCOMPARE(out.Item(QStringLiteral("CheckInterval")).toInt(), 10);
        QCOMPARE(out.Item(QStringLiteral("Disabled")).toBool(), true);
        QCOMPARE(out.text(QStringLiteral("Email")), QStringLiteral("ann@example.org"));
    }

    void protocolChoiceFollowsPortsAndKeepsTheFolder_data()
    {
        QTest::addColumn<QString>("security");
        QTest::addColumn<int>("startPort");
        QTest::addColumn<int>("imapPort");
        QTest::newRow("tls-usual-port") << QStringLiteral("TLS") << 995 << 993;
        QTest::newRow("starttls-usual-port") << QStringLiteral("STARTTLS") << 110 << 143;
        QTest::newRow("own-port-kept") << QStringLiteral("TLS") << 1995 << 1995;
    }

    void protocolChoiceFollowsPortsAndKeepsTheFolder()
    {
        QFETCH(QString, security);
        QFETCH(int, startPort);
        QFETCH(int, imapPort);
        ShellFixture fx;
        FAddAccount form(fx.services, nullptr);
        Record in = account(QStringLiteral("mail.example.org"), QStringLiteral("ann"), false, startPort);
        in.Add(QStringLiteral("Security"), security);
        in.Add(QStringLiteral("Folder"), QStringLiteral("Lists"));
        form.LoadAccount(&in);
        QCOMPARE(form.cboProtocol()->currentText(), QStringLiteral("POP3"));
        form.cboProtocol()->setCurrentText(QStringLiteral("IMAP"));
        QCOMPARE(form.txtPort()->value(), imapPort);
        Record out;
        form.WriteAccount(out);
        QCOMPARE(out.text(QStringLiteral("Protocol")), QStringLiteral("IMAP"));
        QCOMPARE(out.text(QStringLiteral("Folder")), QStringLiteral("Lists"));
        form.cboProtocol()->setCurrentText(QStringLiteral("POP3"));
        QCOMPARE(form.txtPort()->value(), startPort);
    }

    void okOnDisabledAccountContactsNoServer()
    {
        ShellFixture fx;
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        int checkers = 0;
        fx.services.setUpChecker = [&checkers](CCheckMB &) { ++checkers; };
        FAddAccount form(fx.services, nullptr);
        fill(form, QStringLiteral("ann@example.org"), QStringLiteral("pw"), QStringLiteral("pw"),
             QStringLiteral("127.0.0.1"), QStringLiteral("ann"), listener.serverPort());
        form.chkDisable()->setChecked(true);
        QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
        QVERIFY(form.accepted());
        QCOMPARE(form.result(), int(QDialog::Accepted));
        QCOMPARE(checkers, 0);
        QVERIFY(!listener.hasPendingConnections());
        QVERIFY(fx.boxes.isEmpty());
    }

    void okTestsAnEnabledAccount_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right-password") << "right" << true;
        QTest::newRow("wrong-password-keeps-dialog-open") << "wrong" << false;
    }
    void okTestsAnEnabledAccount()
    {
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        ShellFixture fx;
        FakePop3Server server;
        server.setCredentials("ann", "right");
        QVERIFY(server.listen());
        FAddAccount form(fx.services, nullptr);
        fill(form, QStringLiteral("ann@example.org"), password, password, server.host(), QStringLiteral("ann"), server.port());
        QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
        QCOMPARE(form.accepted(), accepted);
        QVERIFY(QApplication::overrideCursor() == nullptr);
        if (accepted) {
            QVERIFY(fx.boxes.isEmpty());
        } else {
            QCOMPARE(fx.boxes.size(), 1);
            QVERIFY2(fx.boxes.first().prompt.startsWith(MessageTable::Text(115)), qPrintable(fx.boxes.first().prompt));
            QVERIFY(fx.boxes.first().prompt.size() > MessageTable::Text(115).size());
            QCOMPARE(fx.boxes.first().buttons, int(ShellMessage::Exclamation));
        }
    }

    void testAccountSettingsMessages_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("message");
        QTest::newRow("server-empty") << "" << "ann" << "right" << 116;
        QTest::newRow("login-empty") << "SERVER" << "" << "right" << 118;
        QTest::newRow("success") << "SERVER" << "ann" << "right" << 114;
        QTest::newRow("failure") << "SERVER" << "ann" << "wrong" << 115;
    }
    void testAccountSettingsMessages()
    {
        QFETCH(QString, server);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(int, message);
        ShellFixture fx;
        FakePop3Server pop;
        pop.setCredentials("ann", "right");
        QVERIFY(pop.listen());
        FAddAccount form(fx.services, nullptr);
        fill(form, QStringLiteral("ann@example.org"), password, password,
             server == QLatin1String("SERVER") ? pop.host() : server, user, pop.port());
        form.cmdTestAccount_Click();
        QCOMPARE(fx.boxes.size(), 1);
        QVERIFY2(fx.boxes.first().prompt.startsWith(MessageTable::Text(message)), qPrintable(fx.boxes.first().prompt));
        QVERIFY(!form.accepted());
    }

    void yahooWarningAbandonsUnlessYes_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("warned");
        QTest::addColumn<bool>("tested");
        QTest::newRow("yahoo-answer-no") << " Ann@YAHOO.com " << int(ShellMessage::No) << true << false;
        QTest::newRow("yahoo-answer-yes") << "ann@yahoo.com" << int(ShellMessage::Yes) << true << true;
        QTest::newRow("yahoo-subdomain-not-warned") << "ann@mail.yahoo.com" << int(ShellMessage::No) << false << true;
        QTest::newRow("other-domain") << "ann@example.org" << int(ShellMessage::No) << false << true;
    }
    void yahooWarningAbandonsUnlessYes()
    {
        QFETCH(QString, address);
        QFETCH(int, answer);
        QFETCH(bool, warned);
        QFETCH(bool, tested);
        ShellFixture fx;
        fx.answer = answer;
        int checkers = 0;
        fx.services.setUpChecker = [&checkers](CCheckMB &c) {
            ++checkers;
            c.setResolver([](const QString &, quint16) { return std::optional<CCheckMB::Target>(); });
        };
        FAddAccount form(fx.services, nullptr);
        fill(form, address, QStringLiteral("pw"), QStringLiteral("pw"), QStringLiteral("pop.example.org"),
             QStringLiteral("ann"));
        QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
        QVERIFY(!form.accepted());
        const bool sawWarning = !fx.boxes.isEmpty()
            && fx.boxes.first().prompt == Utility::FormatText(MessageTable::Text(153), {address});
        QCOMPARE(sawWarning, warned);
        if (warned)
            QCOMPARE(fx.boxes.first().buttons, int(ShellMessage::YesNo) | int(ShellMessage::Exclamation)
                                                    | int(ShellMessage::DefaultButton2));   // No is the default
        QCOMPARE(checkers > 0, tested);
    }

    void everyShortcutLabelHasABuddy()
    {
        ShellFixture fx;
        FAddAccount form(fx.services, nullptr);
        QVERIFY2(labelsWithoutBuddy(&form).isEmpty(), qPrintable(labelsWithoutBuddy(&form).join(", ")));
        EngineFixture ef;
        FAccounts dlg(fx.services, ef.engine(), ef.engine()->log());
        QVERIFY2(labelsWithoutBuddy(&dlg).isEmpty(), qPrintable(labelsWithoutBuddy(&dlg).join(", ")));
    }

    void untrustedCertificateCanBePinnedFromTheDialog_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("trusted") << int(ShellMessage::Yes);
        QTest::newRow("not-trusted") << int(ShellMessage::No);
    }
    void untrustedCertificateCanBePinnedFromTheDialog()
    {
        QFETCH(int, answer);
        const bool trusted = answer == ShellMessage::Yes;
        TestCertificates certs;
        QString why;
        QVERIFY2(certs.make(&why), qPrintable(why));
        DovecotFixture dovecot;
        dovecot.enableTls(certs.selfSignedCert(), certs.selfSignedKey());
        if (!dovecot.start(&why))
            QSKIP(qPrintable(why));
        ShellFixture fx;
        fx.answer = answer;
        // Nothing injected: the real shell checks the certificate against the system's store.
        FAddAccount form(fx.services, nullptr);
        fill(form, QStringLiteral("murmelo@example.org"), dovecot.password(), dovecot.password(), dovecot.host(),
             dovecot.user());
        form.cboSecurity()->setCurrentText(QStringLiteral("TLS"));
        form.txtPort()->setValue(dovecot.tlsPort());
        QTest::mouseClick(form.cmdTestAccount(), Qt::LeftButton);

        const QString fingerprint =
            CArriveShell::Fingerprint(QSslCertificate::fromPath(certs.selfSignedCert()).value(0));
        QVERIFY(!fingerprint.isEmpty());
        QCOMPARE(fx.boxes.size(), 2);
        QVERIFY2(fx.boxes.first().prompt.contains(fingerprint), qPrintable(fx.boxes.first().prompt));
        QVERIFY2(fx.boxes.first().prompt.contains(QLatin1String("self-signed")), qPrintable(fx.boxes.first().prompt));
        QCOMPARE(fx.boxes.first().buttons, int(ShellMessage::YesNo) | int(ShellMessage::Exclamation)
                                                | int(ShellMessage::DefaultButton2));   // No is the default
        if (trusted)
            QCOMPARE(fx.boxes.last().prompt, MessageTable::Text(114));
        else
            QVERIFY(fx.boxes.last().prompt.startsWith(MessageTable::Text(115)));
        Record written;
        form.WriteAccount(written);
        QCOMPARE(written.text(QStringLiteral("CertPin")), trusted ? fingerprint : QString());

        // The pin belongs to the endpoint it was seen on.
        form.txtPort()->setValue(995);
        form.WriteAccount(written);
        QVERIFY(written.text(QStringLiteral("CertPin")).isEmpty());
        QVERIFY(!fx.logText().contains(dovecot.password()));
    }

    void autodetectUnknownDomainWithEmptyServer()
    {
        ShellFixture fx;
        // No candidate host resolves: nothing leaves the machine.
        fx.services.setUpChecker = [](CCheckMB &c) {
            c.setResolver([](const QString &, quint16) { return std::optional<CCheckMB::Target>(); });
        };
        FAddAccount form(fx.services, nullptr);
        fill(form, QStringLiteral("ann@nowhere.invalid"), QStringLiteral("pw"), QStringLiteral("pw"), {}, {});
        form.cmdAutodetect_Click();
        QCOMPARE(fx.boxes.size(), 1);
        QCOMPARE(fx.boxes.first().prompt,
                 Utility::FormatText(MessageTable::Text(130), {QStringLiteral("ann@nowhere.invalid")}));
        QVERIFY(form.txtServer()->text().isEmpty());
    }

    void autodetectFindsServerAndLogon()
    {
        ShellFixture fx;
        FakePop3Server pop;
        pop.setCredentials("ann", "pw");
        QVERIFY(pop.listen());
        const quint16 port = pop.port();
        // Only "mail." + the domain answers, and only in plain text on 110.
        fx.services.setUpChecker = [port](CCheckMB &c) {
            c.setResolver([port](const QString &host, quint16 p) -> std::optional<CCheckMB::Target> {
                if (host == QLatin1String("mail.example.test") && p == 110)
                    return CCheckMB::Target{QStringLiteral("127.0.0.1"), port};
                return std::nullopt;
            });
        };
        FAddAccount form(fx.services, nullptr);
        fill(form, QStringLiteral("ann@example.test"), QStringLiteral("pw"), QStringLiteral("pw"), {}, {});
        form.cmdAutodetect_Click();
        QVERIFY2(fx.boxes.isEmpty(), fx.boxes.isEmpty() ? "" : qPrintable(fx.boxes.first().prompt));
        QCOMPARE(form.txtServer()->text(), QStringLiteral("mail.example.test"));
        QCOMPARE(form.txtUser()->text(), QStringLiteral("ann"));
        QCOMPARE(form.txtPort()->value(), 110);
        QCOMPARE(form.cboSecurity()->currentText(), QStringLiteral("None"));
    }

    void addThroughTheList()
    {
        ShellFixture fx;
        EngineFixture ef;
        fx.services.runAccountForm = [](FAddAccount &form) {
            fill(form, QStringLiteral("bob@example.org"), QStringLiteral("pw"), QStringLiteral("pw"),
                 QStringLiteral("pop.example.org"), QStringLiteral("bob"));
            form.cboSecurity()->setCurrentText(QStringLiteral("STARTTLS"));
            form.txtPort()->setValue(1110);
            form.chkDisable()->setChecked(true);
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
            return form.accepted();
        };
        FAccounts dlg(fx.services, ef.engine(), ef.engine()->log());
        dlg.RefreshList();
        QCOMPARE(dlg.lv()->topLevelItemCount(), 0);
        dlg.cmdAdd_Click();
        QCOMPARE(dlg.lv()->topLevelItemCount(), 1);
        QTreeWidgetItem *item = dlg.lv()->topLevelItem(0);
        QCOMPARE(item->text(0), QStringLiteral("pop.example.org"));
        QCOMPARE(item->text(1), QStringLiteral("bob"));
        QCOMPARE(item->text(2), QStringLiteral("Disabled"));
        const Record stored = ef.engine()->accountManager()->GetAccount(item->data(0, Qt::UserRole).toString());
        QCOMPARE(stored.Item(QStringLiteral("Port")).toInt(), 1110);
        QCOMPARE(stored.text(QStringLiteral("Security")), QStringLiteral("STARTTLS"));
        QCOMPARE(stored.text(QStringLiteral("Pwd")), QStringLiteral("pw"));
    }

    void cancelAddsNothing()
    {
        ShellFixture fx;
        EngineFixture ef;
        fx.services.runAccountForm = [](FAddAccount &form) {
            fill(form, QStringLiteral("bob@example.org"), QStringLiteral("pw"), QStringLiteral("pw"),
                 QStringLiteral("pop.example.org"), QStringLiteral("bob"));
            QTest::mouseClick(form.cmdCancel(), Qt::LeftButton);
            return form.accepted();
        };
        FAccounts dlg(fx.services, ef.engine(), ef.engine()->log());
        dlg.cmdAdd_Click();
        QCOMPARE(ef.engine()->accountManager()->AccountList().Count(), 0);
    }

    void modifyKeepsTheId()
    {
        ShellFixture fx;
        EngineFixture ef;
        Record first = account(QStringLiteral("pop.example.org"), QStringLiteral("ann"), true);
        ef.engine()->AddAccount(first);
        const QString id = first.Id();
        QVERIFY(!id.isEmpty());
        fx.services.runAccountForm = [](FAddAccount &form) {
            [&] { QCOMPARE(form.txtPwd()->text(), QStringLiteral("secret")); }();
            form.txtServer()->setText(QStringLiteral("pop2.example.org"));
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
            return form.accepted();
        };
        FAccounts dlg(fx.services, ef.engine(), ef.engine()->log());
        dlg.RefreshList();
        dlg.lv()->setCurrentItem(dlg.lv()->topLevelItem(0));
        dlg.cmdProperties_Click();
        const DataBag all = ef.engine()->accountManager()->AccountList();
        QCOMPARE(all.Count(), 1);
        QCOMPARE(all.Key(1), id);
        QCOMPARE(all.Item(1).value<Record>().text(QStringLiteral("Server")), QStringLiteral("pop2.example.org"));
        QCOMPARE(dlg.lv()->topLevelItem(0)->text(0), QStringLiteral("pop2.example.org"));
    }

    void modifyAndRemoveNeedASelection()
    {
        ShellFixture fx;
        EngineFixture ef;
        Record acc = account(QStringLiteral("pop.example.org"), QStringLiteral("ann"), true);
        ef.engine()->AddAccount(acc);
        FAccounts dlg(fx.services, ef.engine(), ef.engine()->log());
        auto *modify = dlg.findChild<QPushButton *>(QStringLiteral("cmdProperties"));
        auto *remove = dlg.findChild<QPushButton *>(QStringLiteral("cmdRemove"));
        QVERIFY(!modify->isEnabled() && !remove->isEnabled());   // empty list
        dlg.RefreshList();
        QVERIFY(modify->isEnabled() && remove->isEnabled());     // the first is selected
        dlg.lv()->clearSelection();
        QVERIFY(!modify->isEnabled() && !remove->isEnabled());
        dlg.lv()->topLevelItem(0)->setSelected(true);
        QVERIFY(modify->isEnabled() && remove->isEnabled());
    }

    void removeAsksAndKeepsMessages_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("accountsLeft");
        QTest::newRow("yes-removes") << int(ShellMessage::Yes) << 0;
        QTest::newRow("no-keeps") << int(ShellMessage::No) << 1;
    }
    void removeAsksAndKeepsMessages()
    {
        QFETCH(int, answer);
        QFETCH(int, accountsLeft);
        ShellFixture fx;
        EngineFixture ef;
        Record acc = account(QStringLiteral("pop.example.org"), QStringLiteral("ann"), true);
        ef.engine()->AddAccount(acc);
        Record msg = ShellFixture::message(QStringLiteral("x@example.org"), QStringLiteral("Kept"));
        msg.Add(QStringLiteral("Server"), QStringLiteral("pop.example.org"));
        msg.Add(QStringLiteral("User"), QStringLiteral("ann"));
        QVERIFY(ef.store(msg));
        const qsizetype before = ef.engine()->msgManager()->GetMsgs().Count();
        QVERIFY(before >= 1);
        fx.answer = answer;
        FAccounts dlg(fx.services, ef.engine(), ef.engine()->log());
        dlg.RefreshList();
        dlg.lv()->setCurrentItem(dlg.lv()->topLevelItem(0));
        dlg.cmdRemove_Click();
        QCOMPARE(fx.boxes.size(), 1);
        QCOMPARE(fx.boxes.first().prompt, QStringLiteral("Are you sure you want to delete account information ?"));
        QCOMPARE(fx.boxes.first().buttons, int(int(ShellMessage::YesNo) | int(ShellMessage::Exclamation)));
        QCOMPARE(ef.engine()->accountManager()->AccountList().Count(), accountsLeft);
        QCOMPARE(dlg.lv()->topLevelItemCount(), accountsLeft);
        QCOMPARE(ef.engine()->msgManager()->GetMsgs().Count(), before);
    }

    void thunderbirdProfiles_data()
    {
        QTest::addColumn<int>("profiles");        // 0: no folder at all; -1: a profile without POP3
        QTest::addColumn<QStringList>("servers"); // server:port:security of each account found
        QTest::newRow("none") << 0 << QStringList{};
        QTest::newRow("profile-without-pop3") << -1 << QStringList{};
        QTest::newRow("listed-profile") << 1 << QStringList{"pop.one.example:995:TLS"};
        QTest::newRow("listed-and-unlisted") << 2 << QStringList{"pop.one.example:995:TLS", "pop.two.example:110:STARTTLS"};
    }
    void thunderbirdProfiles()
    {
        // The profiles are read from the folder given, or from ~/.thunderbird.
        QFETCH(int, profiles);
        QFETCH(QStringList, servers);
        FakeHome home;
        writeProfiles(home.thunderbird(), profiles);
        for (const QString &dir : {home.thunderbird(), QString()}) {
            QStringList found;
            for (const Record &r : ThunderbirdAccounts::EnumAccounts(dir))
                found << r.text(QStringLiteral("Server")) + u':' + r.text(QStringLiteral("Port")) + u':' +
                             r.text(QStringLiteral("Security"));
            QCOMPARE(found, servers);
        }
    }

    void importThunderbird_data()
    {
        QTest::addColumn<int>("profiles");   // as above
        QTest::addColumn<int>("choice");     // what the chooser answers (two accounts)
        QTest::addColumn<QString>("server"); // "" when nothing is added
        QTest::newRow("none") << 0 << 0 << "";
        QTest::newRow("one") << 1 << 0 << "pop.one.example";
        QTest::newRow("two-pick-second") << 2 << 2 << "pop.two.example";
        QTest::newRow("two-cancelled") << 2 << 0 << "";
    }
    void importThunderbird()
    {
        QFETCH(int, profiles);
        QFETCH(int, choice);
        QFETCH(QString, server);
        ShellFixture fx;
        EngineFixture ef;
        fx.services.thunderbirdDir = fx.home() + QStringLiteral("/tb");
        writeProfiles(fx.services.thunderbirdDir, profiles);
        QStringList offered;
        fx.services.chooseOne = [&offered, choice](const QStringList &entries, QWidget *) {
            offered = entries;
            return choice;
        };
        QString loadedPwd = QStringLiteral("unset");
        bool okBeforePassword = true;
        fx.services.runAccountForm = [&](FAddAccount &form) {
            loadedPwd = form.txtPwd()->text();
            okBeforePassword = form.cmdOK()->isEnabled();
            form.txtPwd()->setText(QStringLiteral("pw"));
            form.txtRetypePwd()->setText(QStringLiteral("pw"));
            form.chkDisable()->setChecked(true);
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
            return form.accepted();
        };
        FAccounts dlg(fx.services, ef.engine(), ef.engine()->log());
        dlg.cmdImportFromOE_Click();

        if (profiles <= 0) {
            QCOMPARE(fx.boxes.size(), 1);
            QCOMPARE(fx.boxes.first().prompt, MessageTable::Text(132));
            QCOMPARE(fx.boxes.first().buttons, int(ShellMessage::Information));
        } else {
            QVERIFY(fx.boxes.isEmpty());
        }
        if (profiles == 2)
            QCOMPARE(offered, (QStringList{QStringLiteral("one@one.example"), QStringLiteral("two@two.example")}));
        else
            QVERIFY(offered.isEmpty());
        const DataBag all = ef.engine()->accountManager()->AccountList();
        if (server.isEmpty()) {
            QCOMPARE(all.Count(), 0);
            return;
        }
        QCOMPARE(loadedPwd, QString());
        QVERIFY(!okBeforePassword);
        QCOMPARE(all.Count(), 1);
        const Record stored = all.Item(1).value<Record>();
        QCOMPARE(stored.text(QStringLiteral("Server")), server);
        // The form took what the profile said.
        const bool first = server == QLatin1String("pop.one.example");
        QCOMPARE(stored.Item(QStringLiteral("Port")).toInt(), first ? 995 : 110);
        QCOMPARE(stored.text(QStringLiteral("Security")), first ? QStringLiteral("TLS") : QStringLiteral("STARTTLS"));
        QCOMPARE(dlg.lv()->topLevelItemCount(), 1);
    }

    void prefsParsing()
    {
        const QString prefs = QStringLiteral(
            "user_pref(\"mail.accountmanager.accounts\", \"account2,account1\");\n"
            "user_pref(\"mail.account.account1.server\", \"server1\");\n"
            "user_pref(\"mail.account.account1.identities\", \"id1\");\n"
            "user_pref(\"mail.identity.id1.useremail\", \"first@example.org\");\n"
            "user_pref(\"mail.server.server1.type\", \"pop3\");\n"
            "user_pref(\"mail.server.server1.hostname\", \"pop.example.org\");\n"
            "user_pref(\"mail.server.server1.userName\", \"quote\\\"d \\\\ name\");\n"
            "user_pref(\"mail.account.account2.server\", \"server2\");\n"
            "user_pref(\"mail.server.server2.type\", \"pop3\");\n"
            "user_pref(\"mail.server.server2.hostname\", \"pop.other.org\");\n"
            "user_pref(\"mail.server.server2.socketType\", 3);\n"
            "user_pref(\"mail.server.server2.userName\", \"x@other.org\");\n"
            "user_pref(\"mail.server.server7.type\", \"pop3\");\n"
            "user_pref(\"mail.server.server7.hostname\", \"pop.stray.org\");\n"
            "user_pref(\"mail.server.server8.type\", \"imap\");\n"
            "user_pref(\"mail.server.server8.hostname\", \"imap.example.org\");\n"
            "this line is garbage ( \" \n");
        const QList<Record> found = ThunderbirdAccounts::FromPrefs(prefs);
        QCOMPARE(found.size(), 4);
        QCOMPARE(found.at(0).text(QStringLiteral("Server")), QStringLiteral("pop.other.org"));
        QCOMPARE(found.at(0).text(QStringLiteral("Protocol")), QStringLiteral("POP3"));
        QCOMPARE(found.at(0).text(QStringLiteral("Email")), QStringLiteral("x@other.org"));
        QCOMPARE(found.at(0).Item(QStringLiteral("Port")).toInt(), 995);
        QCOMPARE(found.at(0).text(QStringLiteral("Security")), QStringLiteral("TLS"));
        QCOMPARE(found.at(1).text(QStringLiteral("User")), QStringLiteral("quote\"d \\ name"));
        QCOMPARE(found.at(1).text(QStringLiteral("Email")), QStringLiteral("first@example.org"));
        QCOMPARE(found.at(1).Item(QStringLiteral("Port")).toInt(), 110);
        QCOMPARE(found.at(1).text(QStringLiteral("Security")), QStringLiteral("None"));
        QCOMPARE(found.at(2).text(QStringLiteral("Server")), QStringLiteral("pop.stray.org"));
        // IMAP accounts come too, with IMAP's usual port.
        QCOMPARE(found.at(3).text(QStringLiteral("Server")), QStringLiteral("imap.example.org"));
        QCOMPARE(found.at(3).text(QStringLiteral("Protocol")), QStringLiteral("IMAP"));
        QCOMPARE(found.at(3).Item(QStringLiteral("Port")).toInt(), 143);
        QVERIFY(ThunderbirdAccounts::FromPrefs(QStringLiteral("\0\1garbage(((")).isEmpty());
    }

    void progressorRunsWorkWhileShown()
    {
        ShellFixture fx;
        QWidget owner;
        bool visibleDuringWork = false;
        bool hourglass = false;
        bool ran = false;
        FProgressor form(&owner);
        connect(&form, &FProgressor::Started, &form, [&] {
            visibleDuringWork = form.isVisible();
            hourglass = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
            ran = true;
        });
        form.ShowProgress(MessageTable::Text(154), &owner, true);
        QVERIFY(ran);
        QVERIFY(visibleDuringWork);
        QVERIFY(hourglass);
        QVERIFY(!form.isVisible());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QCOMPARE(form.label()->text(), MessageTable::Text(154));
    }

    void progressorNonModalReturnsAtOnce()
    {
        ShellFixture fx;
        FProgressor form;
        QSignalSpy started(&form, &FProgressor::Started);
        form.ShowProgress(QStringLiteral("Working"), nullptr, false);
        QCOMPARE(started.count(), 0);
        QVERIFY(started.wait(5000));
        QTRY_VERIFY(!form.isVisible());
    }

    void chooseOne_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("expected");
        QTest::newRow("enter-on-first") << "enter" << 1;
        QTest::newRow("ok-on-third") << "third-ok" << 3;
        QTest::newRow("double-click-second") << "double-second" << 2;
        QTest::newRow("escape") << "escape" << 0;
        QTest::newRow("cancel-button") << "cancel" << 0;
        QTest::newRow("chosen-text-not-in-list") << "renamed" << -1;
    }
    void chooseOne()
    {
        QFETCH(QString, action);
        QFETCH(int, expected);
        QWidget owner;
        FChooseOne dlg(&owner);
        const QStringList col{QStringLiteral("a@example.org"), QStringLiteral("b@example.org"),
                              QStringLiteral("c@example.org")};
        QTimer::singleShot(0, &dlg, [&dlg, action] {
            QListWidget *list = dlg.list();
            if (action == QLatin1String("enter")) {
                QTest::keyClick(list, Qt::Key_Return);
            } else if (action == QLatin1String("third-ok")) {
                list->setCurrentRow(2);
                QTest::mouseClick(dlg.okButton(), Qt::LeftButton);
            } else if (action == QLatin1String("double-second")) {
                list->doItemsLayout();
                const QRect rect = list->visualItemRect(list->item(1));
                QTest::mousePress(list->viewport(), Qt::LeftButton, {}, rect.center());
                QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, rect.center());
                QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
            } else if (action == QLatin1String("escape")) {
                QTest::keyClick(&dlg, Qt::Key_Escape);
            } else if (action == QLatin1String("cancel")) {
                QTest::mouseClick(dlg.cancelButton(), Qt::LeftButton);
            } else if (action == QLatin1String("renamed")) {
                list->currentItem()->setText(QStringLiteral("z@example.org"));
                QTest::mouseClick(dlg.okButton(), Qt::LeftButton);
            }
            // An action that failed to close the dialog fails the row instead of hanging it.
            if (dlg.isVisible())
                dlg.reject();
        });
        QCOMPARE(dlg.ChooseOne(col, &owner), expected);
    }

    void refusedSignInIsSaidOnceAndMarked()
    {
        ShellFixture fx;
        // A browser sign-in whose refresh token is gone (no keyring here keeps one): the provider is never asked.
        writeFile(fx.home() + QStringLiteral("/services.json"),
                  "{\"providers\": [{\"domains\": [\"example.test\"], \"oauth2\": {\"authorizationEndpoint\": "
                  "\"http://127.0.0.1:9/a\", \"tokenEndpoint\": \"http://127.0.0.1:9/t\", \"clientId\": \"t\"}}]}");
        EngineFixture ef;
        FakePop3Server server;
        QVERIFY(server.listen());
        Record linked = account(server.host(), QStringLiteral("ann"), false, server.port());
        linked.Add(QStringLiteral("OAuth2Provider"), QStringLiteral("example.test"));
        ef.engine()->AddAccount(linked);
        const Record stored = ef.engine()->accountManager()->GetAccount(linked.Id());
        ReceiverManager *receivers = ef.engine()->receiverManager();
        QSignalSpy shown(receivers, &ReceiverManager::ErrorOccured);
        QSignalSpy failed(receivers, &ReceiverManager::DownloadFailed);
        for (int check = 1; check <= 2; ++check) {
            ef.engine()->CheckForNewMessagesNow(&stored);
            QVERIFY(failed.count() == check || failed.wait());
            QCOMPARE(failed.last().at(1).toInt(), Sasl::SignInNeeded);
        }
        QCOMPARE(shown.count(), 1); // said once; the next refusal is only logged

        FAccounts dlg(fx.services, ef.engine(), ef.engine()->log());
        dlg.RefreshList();
        QVERIFY(!dlg.lv()->topLevelItem(0)->icon(0).isNull());
        QVERIFY(dlg.lv()->topLevelItem(0)->toolTip(2).startsWith(QStringLiteral("Sign in again")));
        QVERIFY(dlg.lv()->topLevelItem(0)->toolTip(0).contains(QStringLiteral("accounts signin ") + linked.Id()));
        // OK signs in as a check does and says why it cannot; a modified account is no longer marked.
        fx.services.runAccountForm = [](FAddAccount &form) {
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
            if (form.accepted())
                return true;
            form.chkDisable()->setChecked(true);
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
            return form.accepted();
        };
        dlg.lv()->setCurrentItem(dlg.lv()->topLevelItem(0));
        dlg.cmdProperties_Click();
        QCOMPARE(fx.boxes.size(), 1);
        QVERIFY2(fx.boxes.first().prompt.contains(QStringLiteral("sign in again")), qPrintable(fx.boxes.first().prompt));
        QVERIFY(dlg.lv()->topLevelItem(0)->icon(0).isNull());
        QCOMPARE(dlg.lv()->topLevelItem(0)->text(2), QStringLiteral("Disabled"));
    }
};

QTEST_MAIN(TestAccounts)
#include "tst_accounts.moc"
