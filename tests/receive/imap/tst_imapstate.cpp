// The remembered state of IMAP folders in the message store: read by account (its folder),
// replaced, removed with the account's messages (a database made before it: tst_msgmanager).
#include "storage/AccountManager.h"
#include "storage/MsgManager.h"
#include "storage/StorageFixture.h"
#include <QTest>
#include <memory>

namespace {
QVariantMap state(qint64 validity, qint64 highest)
{
    return {{QStringLiteral("UidValidity"), validity}, {QStringLiteral("HighestUid"), highest}};
}
}

class TestImapState : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        QVERIFY(m_home->isValid());
        m_msgs = MsgManager();
        m_msgs.Init(m_home->database(), m_home->log().get());
        m_accounts = AccountManager();
        m_accounts.Init(m_home->database());
    }

    void stateFollowsTheAccountsFolder()
    {
        Record inbox = account(QStringLiteral("ann"), QStringLiteral("INBOX"));
        const Record lists = account(QStringLiteral("ann"), QStringLiteral("Lists"));
        QVERIFY(m_msgs.GetImapState(inbox.Id()).isEmpty());
        QVERIFY(m_msgs.SetImapState(QStringLiteral("IMAP.A"), QStringLiteral("Ann"), QStringLiteral("INBOX"), 4000000000, 7));
        QVERIFY(m_msgs.SetImapState(QStringLiteral("imap.a"), QStringLiteral("ann"), QStringLiteral("Lists"), 1, 2));
        QCOMPARE(m_msgs.GetImapState(inbox.Id()), state(4000000000, 7));
        QCOMPARE(m_msgs.GetImapState(lists.Id()), state(1, 2));
        QVERIFY(m_msgs.SetImapState(QStringLiteral("imap.a"), QStringLiteral("ann"), QStringLiteral("INBOX"), 5, 1));
        QCOMPARE(m_msgs.GetImapState(inbox.Id()), state(5, 1));
        // Another folder is another mailbox: nothing remembered for it yet.
        inbox.Add(QStringLiteral("Folder"), QStringLiteral("Archive"));
        m_accounts.Update(inbox);
        QVERIFY(m_msgs.GetImapState(inbox.Id()).isEmpty());
        // Removed with the account's messages, the other accounts' kept.
        const Record bob = account(QStringLiteral("bob"), QStringLiteral("INBOX"));
        QVERIFY(m_msgs.SetImapState(QStringLiteral("imap.a"), QStringLiteral("bob"), QStringLiteral("INBOX"), 1, 4));
        m_msgs.RemoveFkAccount(lists.Id());
        QVERIFY(m_msgs.GetImapState(lists.Id()).isEmpty());
        QCOMPARE(m_msgs.GetImapState(bob.Id()), state(1, 4));
    }

private:
    Record account(const QString &user, const QString &folder)
    {
        Record r = StorageFixture::account(QStringLiteral("imap.a"), user);
        r.Add(QStringLiteral("Protocol"), QStringLiteral("IMAP"));
        r.Add(QStringLiteral("Folder"), folder);
        m_accounts.add(r);
        return r;
    }

    std::unique_ptr<TestHome> m_home;
    MsgManager m_msgs;
    AccountManager m_accounts;
};

QTEST_GUILESS_MAIN(TestImapState)

#include "tst_imapstate.moc"
