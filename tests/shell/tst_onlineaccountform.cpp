// The account form over GNOME Online Accounts, served by python3-dbusmock on a private session
// bus: the offer follows the service and its mail accounts, and a chosen account is stored
// linked, with no password.
#include "shell/ShellFixture.h"
#include "FAccounts.h"
#include "FAddAccount.h"
#include "engine/MUScripting.h"
#include "storage/AccountManager.h"
#include "trellis/MetaTypes.h"
#include "cli/GoaMock.h"
#include "FakeImapServer.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>

class TestOnlineAccountForm : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void offeredOnlyWithTheServiceAndAMailAccount();
    void chosenAccountIsStoredLinkedWithoutPassword();

private:
    GoaMock m_goa;
};

void TestOnlineAccountForm::initTestCase()
{
    RegisterTrellisMetaTypes();
    const QString missing = GoaMock::missing();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    QVERIFY(m_goa.startBus());
}

void TestOnlineAccountForm::offeredOnlyWithTheServiceAndAMailAccount()
{
    ShellFixture fx;
    {
        FAddAccount form(fx.services, nullptr);
        QVERIFY(!form.cmdOnlineAccount()->isEnabled());
    }
    QVERIFY(m_goa.startService());
    {
        FAddAccount form(fx.services, nullptr);
        QVERIFY2(!form.cmdOnlineAccount()->isEnabled(), "offered with no mail account");
    }
    const QDBusMessage added = GoaMock::call(QStringLiteral("AddMailAccount"),
                                             {QStringLiteral("g_1"), QStringLiteral("Google"), QStringLiteral("alice@example.org"),
                                              QStringLiteral("imap.gmail.com"), QStringLiteral("alice"), true, false,
                                              QStringList{QStringLiteral("token")}, QString()});
    QVERIFY2(added.type() == QDBusMessage::ReplyMessage, qPrintable(added.errorMessage()));
    FAddAccount form(fx.services, nullptr);
    QVERIFY(form.cmdOnlineAccount()->isEnabled());
    QVERIFY(form.findChild<QLabel *>(QStringLiteral("lblOnline"))->isHidden());
}

void TestOnlineAccountForm::chosenAccountIsStoredLinkedWithoutPassword()
{
    if (!m_goa.serviceRunning())
        QSKIP("the mocked service is not running");
    const QString password = QStringLiteral("pw-of-the-desktop");
    FakeImapServer server;
    server.setCredentials("bob", password.toUtf8());
    QVERIFY(server.listen());
    const QDBusMessage added = GoaMock::call(QStringLiteral("AddMailAccount"),
                                             {QStringLiteral("p_1"), QStringLiteral("IMAP and SMTP"), QStringLiteral("bob@example.org"),
                                              QStringLiteral("%1:%2").arg(server.host()).arg(server.port()), QStringLiteral("bob"),
                                              false, false, QStringList{}, password});
    QVERIFY2(added.type() == QDBusMessage::ReplyMessage, qPrintable(added.errorMessage()));

    ShellFixture fx;
    ShellEngine ef;
    QStringList offered;
    fx.services.chooseOne = [&](const QStringList &entries, QWidget *) {
        offered = entries;
        return int(entries.indexOf(QStringLiteral("bob@example.org - IMAP and SMTP (p_1)"))) + 1;
    };
    bool formChecked = false;
    fx.services.runAccountForm = [&](FAddAccount &form) {
        form.txtCheckMailInterval()->setText(QStringLiteral("7"));
        QTest::mouseClick(form.cmdOnlineAccount(), Qt::LeftButton);
        [&] {
            QCOMPARE(form.onlineAccount(), QStringLiteral("p_1"));
            // The rest of the mapping from the desktop's account is tst_onlineaccounts'.
            QCOMPARE(form.txtServer()->text(), server.host());
            QCOMPARE(form.txtPort()->value(), int(server.port()));
            QCOMPARE(form.cboProtocol()->currentText(), QStringLiteral("IMAP"));
            QCOMPARE(form.txtCheckMailInterval()->text(), QStringLiteral("7"));
            QVERIFY(!form.txtPwd()->isEnabled() && !form.txtRetypePwd()->isEnabled());
            QVERIFY(!form.txtServer()->isEnabled() && form.cmdTestAccount()->isEnabled());
            QVERIFY(!form.findChild<QLabel *>(QStringLiteral("lblOnline"))->isHidden());
            formChecked = true;
        }();
        // Tested as a check signs in: with the password the desktop gives now.
        QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
        return form.accepted();
    };
    FAccounts dlg(fx.services, ef.engine(), ef.engine()->log());
    dlg.cmdAdd_Click();
    QVERIFY(formChecked);
    QCOMPARE(offered.size(), 2);
    QCOMPARE(fx.boxes.size(), 0);
    QCOMPARE(server.countOf("AUTHENTICATE"), 1); // with the password the desktop gave
    QCOMPARE(dlg.lv()->topLevelItemCount(), 1);

    const QTreeWidgetItem *item = dlg.lv()->topLevelItem(0);
    const Record stored = ef.engine()->accountManager()->GetAccount(item->data(0, Qt::UserRole).toString());
    QCOMPARE(stored.text(QStringLiteral("OnlineAccount")), QStringLiteral("p_1"));
    QCOMPARE(stored.text(QStringLiteral("Pwd")), QString());
    QCOMPARE(stored.Item(QStringLiteral("CheckInterval")).toInt(), 7);
    QCOMPARE(stored.Item(QStringLiteral("Disabled")).toBool(), false);
    // The other fields are the form's as checked above (the form writes what it shows: tst_accounts);
    // that nothing of the desktop's sign-in is written anywhere is tst_onlineaccounts'.
    QCOMPARE(stored.text(QStringLiteral("Folder")), QStringLiteral("INBOX"));

    // Modifying keeps the link and still stores no password.
    fx.services.runAccountForm = [](FAddAccount &form) {
        form.txtCheckMailInterval()->setText(QStringLiteral("9"));
        QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
        return form.accepted();
    };
    dlg.lv()->setCurrentItem(dlg.lv()->topLevelItem(0));
    dlg.cmdProperties_Click();
    const Record modified = ef.engine()->accountManager()->GetAccount(stored.Id());
    QCOMPARE(modified.Item(QStringLiteral("CheckInterval")).toInt(), 9);
    QCOMPARE(modified.text(QStringLiteral("OnlineAccount")), QStringLiteral("p_1"));
    QCOMPARE(modified.text(QStringLiteral("Pwd")), QString());
}

QTEST_MAIN(TestOnlineAccountForm)
#include "tst_onlineaccountform.moc"
