// The accounts dialogs over a real engine: the enabling rules, OK and Test with and without
// a server (under the wait window), adding, modifying, removing, importing Thunderbird
// profiles, and the choice dialog they use.
#include "shell/ShellFixture.h"
#include "FAccounts.h"
#include "FAddAccount.h"
#include "FChooseOne.h"
#include "FProgressor.h"
#include "ThunderbirdAccounts.h"
#include "DovecotFixture.h"
#include "FakePop3Server.h"
#include "Mnemonics.h"
#include "ReceiverRun.h"
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
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <optional>

namespace {

const int kWarnNoDefault = int(ShellMessage::YesNo) | int(ShellMessage::Exclamation) | int(ShellMessage::DefaultButton2);

/// The kit's stored account of ann, with the address the dialogs need to enable OK.
Record annAccount(const QString &server, int port, bool disabled)
{
    Record r = TestAccounts::engine(server, port, QStringLiteral("ann"), QStringLiteral("secret"), disabled);
    r.Add(QStringLiteral("Email"), QStringLiteral("ann@example.org"));
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

/// A prefs.js holding one POP3 account, its user name the address.
QByteArray prefsJs(const QByteArray &address, const QByteArray &host, int port, int socketType)
{
    return "user_pref(\"mail.accountmanager.accounts\", \"account1\");\n"
           "user_pref(\"mail.account.account1.server\", \"server1\");\n"
           "user_pref(\"mail.account.account1.identities\", \"id1\");\n"
           "user_pref(\"mail.identity.id1.useremail\", \"" + address + "\");\n"
           "user_pref(\"mail.server.server1.type\", \"pop3\");\n"
           "user_pref(\"mail.server.server1.hostname\", \"" + host + "\");\n"
           "user_pref(\"mail.server.server1.userName\", \"" + address + "\");\n"
           "user_pref(\"mail.server.server1.port\", " + QByteArray::number(port) + ");\n"
           "user_pref(\"mail.server.server1.socketType\", " + QByteArray::number(socketType) + ");\n";
}

/// Thunderbird profiles under `tb`: none (0), one listed in profiles.ini (1), or that and one
/// more found by its prefs.js alone (2).
void writeProfiles(const ShellFixture &home, const QString &tb, int profiles)
{
    if (profiles >= 1) {
        QVERIFY(home.writeFile(tb + QStringLiteral("/profiles.ini"), "[General]\nStartWithLastProfile=1\n\n[Profile0]\n"
                                                                     "Name=default\nIsRelative=1\nPath=abc.default\nDefault=1\n"));
        QVERIFY(home.writeFile(tb + QStringLiteral("/abc.default/prefs.js"), prefsJs("one@one.example", "pop.one.example", 995, 3)));
    }
    if (profiles == 2)
        QVERIFY(home.writeFile(tb + QStringLiteral("/xyz.default-release/prefs.js"),
                               prefsJs("two@two.example", "pop.two.example", 110, 2)));
}

}

class TestAccountDialogs : public QObject
{
    Q_OBJECT

    // A home per test; an engine in it for the tests that ask for one.
    std::optional<ShellFixture> fx;
    std::optional<ShellEngine> m_ef;
    MUScripting *engine()
    {
        if (!m_ef)
            m_ef.emplace();
        return m_ef->engine();
    }

private Q_SLOTS:
    void initTestCase() { RegisterTrellisMetaTypes(); }
    void init() { fx.emplace(); }
    void cleanup()
    {
        m_ef.reset();
        fx.reset();
    }

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
        const QString differ = QStringLiteral("The two passwords differ: type the same password twice.");
        const QString pw = QStringLiteral("pw");
        const QString srv = QStringLiteral("pop.example.org");
        const QString usr = QStringLiteral("ann");
        QTest::newRow("complete") << "ann@example.org" << pw << pw << srv << usr << true << true << QString();
        QTest::newRow("no-dot-after-at") << "ann@example" << pw << pw << srv << usr << false << false << twice;
        QTest::newRow("one-char-after-last-dot") << "ann@example.c" << pw << pw << srv << usr << false << false << twice;
        QTest::newRow("two-chars-after-last-dot") << "a@b.co" << pw << pw << srv << usr << true << true << QString();
        QTest::newRow("nothing-before-at") << "@example.org" << pw << pw << srv << usr << false << false << twice;
        QTest::newRow("nothing-between-at-and-dot") << "ann@.org" << pw << pw << srv << usr << false << false << twice;
        QTest::newRow("passwords-differ") << "ann@example.org" << pw << "pW" << srv << usr << false << false << differ;
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
        FAddAccount form(fx->services, nullptr);
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

    void formRoundTrip_data()
    {
        // Switching to IMAP moves a usual POP3 port to IMAP's and keeps an own one.
        QTest::addColumn<QString>("security");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("imapPort");
        QTest::newRow("none-own-port") << QStringLiteral("None") << 1110 << 1110;
        QTest::newRow("tls-usual-port") << QStringLiteral("TLS") << 995 << 993;
        QTest::newRow("starttls-usual-port") << QStringLiteral("STARTTLS") << 110 << 143;
    }
    void formRoundTrip()
    {
        QFETCH(QString, security);
        QFETCH(int, port);
        QFETCH(int, imapPort);
        FAddAccount form(fx->services, nullptr);
        QVERIFY2(labelsWithoutBuddy(&form).isEmpty(), qPrintable(labelsWithoutBuddy(&form).join(", ")));
        // The tests reach no session bus, so no keyring answers: the form says where the password goes.
        QCOMPARE(form.findChildren<QLabel *>(QStringLiteral("lblNoKeyring")).size(), 1);
        Record in = annAccount(QStringLiteral("pop.example.org"), port, true);
        in.Add(QStringLiteral("Security"), security);
        in.Add(QStringLiteral("Folder"), QStringLiteral("Lists"));
        in.Add(QStringLiteral("Extra"), 5);
        form.LoadAccount(&in);
        QCOMPARE(form.txtRetypePwd()->text(), QStringLiteral("secret"));
        QVERIFY(form.chkDisable()->isChecked());
        QVERIFY(!form.txtCheckMailInterval()->isEnabled());
        form.chkDisable()->setChecked(false);
        QVERIFY(form.txtCheckMailInterval()->isEnabled());
        form.chkDisable()->setChecked(true);
        QCOMPARE(form.txtPort()->value(), port);
        QCOMPARE(form.cboSecurity()->currentText(), security);
        QCOMPARE(form.cboProtocol()->currentText(), QStringLiteral("POP3"));

        Record out;
        out.setId(QStringLiteral("{kept}"));
        out.Add(QStringLiteral("Stale"), 1);
        form.WriteAccount(out);
        QCOMPARE(out.Id(), QStringLiteral("{kept}"));
        QVERIFY(!out.Exists(QStringLiteral("Stale")));
        QCOMPARE(out.Item(QStringLiteral("Port")).toInt(), port);
        QCOMPARE(out.text(QStringLiteral("Security")), security);
        QCOMPARE(out.Item(QStringLiteral("CheckInterval")).toInt(), 10);
        QCOMPARE(out.Item(QStringLiteral("Disabled")).toBool(), true);
        QCOMPARE(out.text(QStringLiteral("Email")), QStringLiteral("ann@example.org"));

        form.cboProtocol()->setCurrentText(QStringLiteral("IMAP"));
        QCOMPARE(form.txtPort()->value(), imapPort);
        form.WriteAccount(out);
        QCOMPARE(out.text(QStringLiteral("Protocol")), QStringLiteral("IMAP"));
        QCOMPARE(out.text(QStringLiteral("Folder")), QStringLiteral("Lists"));
        form.cboProtocol()->setCurrentText(QStringLiteral("POP3"));
        QCOMPARE(form.txtPort()->value(), port);
    }

    void okAndTestButtons_data()
    {
        // The fake server takes ann / right; "" for the server leaves the box empty.
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("user");
        QTest::addColumn<bool>("disabled");
        QTest::addColumn<int>("answer");     // to the Yahoo question
        QTest::addColumn<bool>("ok");        // OK; else Test Account
        QTest::addColumn<int>("box");        // the message shown (0: none)
        QTest::addColumn<int>("style");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("tested");    // a server check was made
        const QString ann = QStringLiteral("ann@example.org");
        const int no = ShellMessage::No;
        const int excl = ShellMessage::Exclamation;
        QTest::newRow("ok-right-password") << ann << "right" << "pop" << "ann" << false << no << true << 0 << 0 << true << true;
        QTest::newRow("ok-wrong-password-keeps-dialog-open") << ann << "wrong" << "pop" << "ann" << false << no << true << 115 << excl << false << true;
        QTest::newRow("ok-disabled-contacts-no-server") << ann << "wrong" << "pop" << "ann" << true << no << true << 0 << 0 << true << false;
        QTest::newRow("test-server-empty") << ann << "right" << "" << "ann" << false << no << false << 116 << excl << false << false;
        QTest::newRow("test-login-empty") << ann << "right" << "pop" << "" << false << no << false << 118 << excl << false << false;
        QTest::newRow("test-success") << ann << "right" << "pop" << "ann" << false << no << false << 114 << int(ShellMessage::Information) << false << true;
        QTest::newRow("yahoo-answer-no") << " Ann@YAHOO.com " << "right" << "pop" << "ann" << false << no << true << 153 << kWarnNoDefault << false << false;
        QTest::newRow("yahoo-answer-yes") << "ann@yahoo.com" << "right" << "pop" << "ann" << false << int(ShellMessage::Yes) << true << 153 << kWarnNoDefault << true << true;
        QTest::newRow("yahoo-subdomain-not-warned") << "ann@mail.yahoo.com" << "right" << "pop" << "ann" << false << no << true << 0 << 0 << true << true;
    }
    void okAndTestButtons()
    {
        QFETCH(QString, address);
        QFETCH(QString, password);
        QFETCH(QString, server);
        QFETCH(QString, user);
        QFETCH(bool, disabled);
        QFETCH(int, answer);
        QFETCH(bool, ok);
        QFETCH(int, box);
        QFETCH(int, style);
        QFETCH(bool, accepted);
        QFETCH(bool, tested);
        FakePop3Server pop;
        pop.setCredentials("ann", "right");
        QVERIFY(pop.listen());
        fx->answer = answer;
        FAddAccount form(fx->services, nullptr);
        int checkers = 0;
        bool waited = true;
        // The check runs in the wait window, under the hourglass.
        fx->services.setUpChecker = [&](CCheckMB &) {
            ++checkers;
            const FProgressor *wait = form.findChild<FProgressor *>();
            waited = waited && wait && wait->isVisible() && wait->label()->text() == MessageTable::Text(154)
                     && QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
        };
        fill(form, address, password, password, server.isEmpty() ? server : pop.host(), user, pop.port());
        form.chkDisable()->setChecked(disabled);
        if (ok)
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
        else   // also where the greyed-out button cannot be clicked
            form.cmdTestAccount_Click();

        QCOMPARE(form.accepted(), accepted);
        QCOMPARE(form.result(), accepted ? int(QDialog::Accepted) : 0);
        QCOMPARE(checkers > 0, tested);
        QCOMPARE(pop.commands().isEmpty(), !tested);
        QVERIFY(waited);
        QVERIFY(form.findChildren<FProgressor *>().isEmpty());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QCOMPARE(fx->boxes.size(), box ? 1 : 0);
        if (box) {
            const QString prompt = fx->boxes.first().prompt;
            QVERIFY2(prompt.startsWith(Utility::FormatText(MessageTable::Text(box), {address})), qPrintable(prompt));
            QCOMPARE(fx->boxes.first().buttons, style);
            if (box == 115)   // the reason follows
                QVERIFY(prompt.size() > MessageTable::Text(115).size());
        }
    }

    void untrustedCertificateCanBePinnedFromTheDialog()
    {
        TestCertificates certs;
        QString why;
        QVERIFY2(certs.make(&why), qPrintable(why));
        DovecotFixture dovecot;
        dovecot.enableTls(certs.selfSignedCert(), certs.selfSignedKey());
        if (!dovecot.start(&why))
            QSKIP(qPrintable(why));
        // Nothing injected: the real shell checks the certificate against the system's store.
        FAddAccount form(fx->services, nullptr);
        fill(form, QStringLiteral("murmelo@example.org"), dovecot.password(), dovecot.password(), dovecot.host(),
             dovecot.user());
        form.cboSecurity()->setCurrentText(QStringLiteral("TLS"));
        form.txtPort()->setValue(dovecot.tlsPort());
        const QString fingerprint =
            CArriveShell::Fingerprint(QSslCertificate::fromPath(certs.selfSignedCert()).value(0));
        QVERIFY(!fingerprint.isEmpty());
        Record written;
        // Not trusted, then trusted: each test asks, and only the second one pins.
        for (const int answer : {int(ShellMessage::No), int(ShellMessage::Yes)}) {
            fx->clear();
            fx->answer = answer;
            QTest::mouseClick(form.cmdTestAccount(), Qt::LeftButton);
            const bool trusted = answer == ShellMessage::Yes;
            QCOMPARE(fx->boxes.size(), 2);
            const QString asked = fx->boxes.first().prompt;
            QVERIFY2(asked.contains(fingerprint) && asked.contains(QLatin1String("self-signed")), qPrintable(asked));
            QCOMPARE(fx->boxes.first().buttons, kWarnNoDefault);
            QVERIFY(fx->boxes.last().prompt.startsWith(MessageTable::Text(trusted ? 114 : 115)));
            form.WriteAccount(written);
            QCOMPARE(written.text(QStringLiteral("CertPin")), trusted ? fingerprint : QString());
        }

        // The pin belongs to the endpoint it was seen on.
        form.txtPort()->setValue(995);
        form.WriteAccount(written);
        QVERIFY(written.text(QStringLiteral("CertPin")).isEmpty());
        QVERIFY(!fx->logText().contains(dovecot.password()));
    }

    void autodetect_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("answering");   // the one host that resolves, on 110 only
        QTest::newRow("unknown-domain-says-so") << QStringLiteral("ann@nowhere.invalid") << QString();
        QTest::newRow("mail-host-found") << QStringLiteral("ann@example.test") << QStringLiteral("mail.example.test");
    }
    void autodetect()
    {
        QFETCH(QString, address);
        QFETCH(QString, answering);
        FakePop3Server pop;
        pop.setCredentials("ann", "pw");
        QVERIFY(pop.listen());
        const quint16 port = pop.port();
        // Nothing else leaves the machine.
        fx->services.setUpChecker = [port, answering](CCheckMB &c) {
            c.setResolver([port, answering](const QString &host, quint16 p) -> std::optional<CCheckMB::Target> {
                if (host == answering && p == 110)
                    return CCheckMB::Target{QStringLiteral("127.0.0.1"), port};
                return std::nullopt;
            });
        };
        FAddAccount form(fx->services, nullptr);
        fill(form, address, QStringLiteral("pw"), QStringLiteral("pw"), {}, {});
        form.cmdAutodetect_Click();
        QCOMPARE(form.txtServer()->text(), answering);
        if (answering.isEmpty()) {
            QCOMPARE(fx->boxes.size(), 1);
            QCOMPARE(fx->boxes.first().prompt, Utility::FormatText(MessageTable::Text(130), {address}));
            return;
        }
        QVERIFY2(fx->boxes.isEmpty(), fx->boxes.isEmpty() ? "" : qPrintable(fx->boxes.first().prompt));
        QCOMPARE(form.txtUser()->text(), QStringLiteral("ann"));
        QCOMPARE(form.txtPort()->value(), 110);
        QCOMPARE(form.cboSecurity()->currentText(), QStringLiteral("None"));
    }

    void addModifyAndRemove_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("accountsLeft");
        QTest::newRow("yes-removes") << int(ShellMessage::Yes) << 0;
        QTest::newRow("no-keeps") << int(ShellMessage::No) << 1;
    }
    void addModifyAndRemove()
    {
        QFETCH(int, answer);
        QFETCH(int, accountsLeft);
        FAccounts dlg(fx->services, engine(), engine()->log());
        QVERIFY2(labelsWithoutBuddy(&dlg).isEmpty(), qPrintable(labelsWithoutBuddy(&dlg).join(", ")));
        auto *modify = dlg.findChild<QPushButton *>(QStringLiteral("cmdProperties"));
        auto *remove = dlg.findChild<QPushButton *>(QStringLiteral("cmdRemove"));
        QVERIFY(!modify->isEnabled() && !remove->isEnabled());

        // Cancel adds nothing; OK stores and lists (what the form writes is formRoundTrip's).
        for (const bool ok : {false, true}) {
            fx->services.runAccountForm = [ok](FAddAccount &form) {
                fill(form, QStringLiteral("ann@example.org"), QStringLiteral("secret"), QStringLiteral("secret"),
                     QStringLiteral("pop.example.org"), QStringLiteral("ann"));
                form.chkDisable()->setChecked(true);
                QTest::mouseClick(ok ? form.cmdOK() : form.cmdCancel(), Qt::LeftButton);
                return form.accepted();
            };
            dlg.cmdAdd_Click();
            QCOMPARE(engine()->accountManager()->AccountList().Count(), ok ? 1 : 0);
            QCOMPARE(dlg.lv()->topLevelItemCount(), ok ? 1 : 0);
        }
        QTreeWidgetItem *item = dlg.lv()->topLevelItem(0);
        QCOMPARE(item->text(0), QStringLiteral("pop.example.org"));
        QCOMPARE(item->text(1), QStringLiteral("ann"));
        QCOMPARE(item->text(2), QStringLiteral("Disabled"));
        const QString id = item->data(0, Qt::UserRole).toString();
        QCOMPARE(engine()->accountManager()->GetAccount(id).text(QStringLiteral("Pwd")), QStringLiteral("secret"));
        Record msg = ShellFixture::message(QStringLiteral("x@example.org"), QStringLiteral("Kept"));
        msg.Add(QStringLiteral("Server"), QStringLiteral("pop.example.org"));
        msg.Add(QStringLiteral("User"), QStringLiteral("ann"));
        QVERIFY(m_ef->store(msg));
        const qsizetype messages = engine()->msgManager()->GetMsgs().Count();

        // Modify and Remove need a selection; the first row is selected when listed.
        QVERIFY(modify->isEnabled() && remove->isEnabled());
        dlg.lv()->clearSelection();
        QVERIFY(!modify->isEnabled() && !remove->isEnabled());
        dlg.lv()->topLevelItem(0)->setSelected(true);
        QVERIFY(modify->isEnabled() && remove->isEnabled());

        // Modify loads the account and stores it under its id.
        QString loadedPwd;
        fx->services.runAccountForm = [&loadedPwd](FAddAccount &form) {
            loadedPwd = form.txtPwd()->text();
            form.txtServer()->setText(QStringLiteral("pop2.example.org"));
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
            return form.accepted();
        };
        dlg.lv()->setCurrentItem(dlg.lv()->topLevelItem(0));
        dlg.cmdProperties_Click();
        QCOMPARE(loadedPwd, QStringLiteral("secret"));
        DataBag all = engine()->accountManager()->AccountList();
        QCOMPARE(all.Count(), 1);
        QCOMPARE(all.Key(1), id);
        QCOMPARE(all.Item(1).value<Record>().text(QStringLiteral("Server")), QStringLiteral("pop2.example.org"));
        QCOMPARE(dlg.lv()->topLevelItem(0)->text(0), QStringLiteral("pop2.example.org"));

        // Remove asks first and leaves the messages alone.
        fx->answer = answer;
        dlg.cmdRemove_Click();
        QCOMPARE(fx->boxes.size(), 1);
        QCOMPARE(fx->boxes.first().prompt, QStringLiteral("Are you sure you want to delete account information ?"));
        QCOMPARE(fx->boxes.first().buttons, int(ShellMessage::YesNo) | int(ShellMessage::Exclamation));
        QCOMPARE(engine()->accountManager()->AccountList().Count(), accountsLeft);
        QCOMPARE(dlg.lv()->topLevelItemCount(), accountsLeft);
        QCOMPARE(engine()->msgManager()->GetMsgs().Count(), messages);
    }

    void thunderbirdPrefs()
    {
        const QString prefs = QStringLiteral(
            "user_pref(\"mail.accountmanager.accounts\", \"account2,account1,account3\");\n"
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
            "user_pref(\"mail.account.account3.server\", \"server3\");\n"
            "user_pref(\"mail.server.server3.type\", \"nntp\");\n"
            "user_pref(\"mail.server.server3.hostname\", \"news.example.net\");\n"
            "user_pref(\"mail.server.server7.type\", \"pop3\");\n"
            "user_pref(\"mail.server.server7.hostname\", \"pop.stray.org\");\n"
            "user_pref(\"mail.server.server7.socketType\", 2);\n"
            "user_pref(\"mail.server.server8.type\", \"imap\");\n"
            "user_pref(\"mail.server.server8.hostname\", \"imap.example.org\");\n"
            "user_pref(\"mail.server.server9.type\", \"none\");\n"
            "user_pref(\"mail.server.server9.hostname\", \"Local Folders\");\n"
            "this line is garbage ( \" \n");
        // Listed accounts first, in the list's order, then the others by number; news and local folders are no mail.
        QStringList found;
        for (const Record &r : ThunderbirdAccounts::FromPrefs(prefs))
            found << QStringList{r.text(QStringLiteral("Server")), r.text(QStringLiteral("Protocol")), r.text(QStringLiteral("Port")),
                                 r.text(QStringLiteral("Security")), r.text(QStringLiteral("User")), r.text(QStringLiteral("Email"))}
                         .join(u'|');
        QCOMPARE(found, (QStringList{QStringLiteral("pop.other.org|POP3|995|TLS|x@other.org|x@other.org"),
                                     QStringLiteral("pop.example.org|POP3|110|None|quote\"d \\ name|first@example.org"),
                                     QStringLiteral("pop.stray.org|POP3|110|STARTTLS||"),
                                     QStringLiteral("imap.example.org|IMAP|143|None||")}));
        QVERIFY(ThunderbirdAccounts::FromPrefs(QStringLiteral("\0\1garbage(((")).isEmpty());
    }

    void importThunderbird_data()
    {
        QTest::addColumn<int>("profiles");   // as writeProfiles takes them
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
        // No folder given: the profiles are read from ~/.thunderbird.
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", fx->home().toUtf8());
        writeProfiles(*fx, fx->home() + QStringLiteral("/.thunderbird"), profiles);
        QStringList offered;
        fx->services.chooseOne = [&offered, choice](const QStringList &entries, QWidget *) {
            offered = entries;
            return choice;
        };
        QString loadedPwd = QStringLiteral("unset");
        bool okBeforePassword = true;
        fx->services.runAccountForm = [&](FAddAccount &form) {
            loadedPwd = form.txtPwd()->text();
            okBeforePassword = form.cmdOK()->isEnabled();
            form.txtPwd()->setText(QStringLiteral("pw"));
            form.txtRetypePwd()->setText(QStringLiteral("pw"));
            form.chkDisable()->setChecked(true);
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
            return form.accepted();
        };
        FAccounts dlg(fx->services, engine(), engine()->log());
        dlg.cmdImportFromOE_Click();
        qputenv("HOME", oldHome);

        if (profiles <= 0) {
            QCOMPARE(fx->boxes.size(), 1);
            QCOMPARE(fx->boxes.first().prompt, MessageTable::Text(132));
            QCOMPARE(fx->boxes.first().buttons, int(ShellMessage::Information));
        } else {
            QVERIFY(fx->boxes.isEmpty());
        }
        QCOMPARE(offered, profiles == 2 ? QStringList({"one@one.example", "two@two.example"}) : QStringList());
        const DataBag all = engine()->accountManager()->AccountList();
        QCOMPARE(all.Count(), server.isEmpty() ? 0 : 1);
        QCOMPARE(dlg.lv()->topLevelItemCount(), all.Count());
        if (server.isEmpty())
            return;
        // The form took what the profile said (its reading is thunderbirdPrefs' rows), but no password.
        QCOMPARE(loadedPwd, QString());
        QVERIFY(!okBeforePassword);
        QCOMPARE(all.Item(1).value<Record>().text(QStringLiteral("Server")), server);
    }

    void chooseOne_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("expected");
        QTest::newRow("enter-on-first") << "enter" << 1;
        QTest::newRow("ok-on-third") << "third-ok" << 3;
        QTest::newRow("double-click-second") << "double-second" << 2;
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
            }
            // An action that failed to close the dialog fails the row instead of hanging it.
            if (dlg.isVisible())
                dlg.reject();
        });
        QCOMPARE(dlg.ChooseOne(col, &owner), expected);
    }

    void refusedSignInIsSaidOnceAndMarked()
    {
        // A browser sign-in whose refresh token is gone (no keyring here keeps one): the provider is never asked.
        QVERIFY(fx->writeFile(QStringLiteral("services.json"),
                  "{\"providers\": [{\"domains\": [\"example.test\"], \"oauth2\": {\"authorizationEndpoint\": "
                  "\"http://127.0.0.1:9/a\", \"tokenEndpoint\": \"http://127.0.0.1:9/t\", \"clientId\": \"t\"}}]}"));
        FakePop3Server server;
        QVERIFY(server.listen());
        Record linked = annAccount(server.host(), server.port(), false);
        linked.Add(QStringLiteral("OAuth2Provider"), QStringLiteral("example.test"));
        engine()->AddAccount(linked);
        const Record stored = engine()->accountManager()->GetAccount(linked.Id());
        ReceiverManager *receivers = engine()->receiverManager();
        QSignalSpy shown(receivers, &ReceiverManager::ErrorOccured);
        QSignalSpy failed(receivers, &ReceiverManager::DownloadFailed);
        for (int check = 1; check <= 2; ++check) {
            engine()->CheckForNewMessagesNow(&stored);
            QVERIFY(failed.count() == check || failed.wait());
            QCOMPARE(failed.last().at(1).toInt(), Sasl::SignInNeeded);
        }
        QCOMPARE(shown.count(), 1); // said once; the next refusal is only logged

        FAccounts dlg(fx->services, engine(), engine()->log());
        dlg.RefreshList();
        QVERIFY(!dlg.lv()->topLevelItem(0)->icon(0).isNull());
        QVERIFY(dlg.lv()->topLevelItem(0)->toolTip(2).startsWith(QStringLiteral("Sign in again")));
        QVERIFY(dlg.lv()->topLevelItem(0)->toolTip(0).contains(QStringLiteral("accounts signin ") + linked.Id()));
        // OK signs in as a check does and says why it cannot; a modified account is no longer marked.
        fx->services.runAccountForm = [](FAddAccount &form) {
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
            if (form.accepted())
                return true;
            form.chkDisable()->setChecked(true);
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
            return form.accepted();
        };
        dlg.lv()->setCurrentItem(dlg.lv()->topLevelItem(0));
        dlg.cmdProperties_Click();
        QCOMPARE(fx->boxes.size(), 1);
        const QString said = fx->boxes.first().prompt;
        QVERIFY2(said.contains(QStringLiteral("sign in again")), qPrintable(said));
        QVERIFY(dlg.lv()->topLevelItem(0)->icon(0).isNull());
        QCOMPARE(dlg.lv()->topLevelItem(0)->text(2), QStringLiteral("Disabled"));
    }
};

QTEST_MAIN(TestAccountDialogs)
#include "tst_accounts.moc"
