#include "TestHome.h"
#include "storage/CSettings.h"
#include "agent/PackageBuilder.h"
#include "cli/CliRunner.h"
#include "speech/CTalker.h"
#include "storage/MsgManager.h"
#include "storage/StorageFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace Qt::StringLiterals;

class TestSayMessage : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_fx;

    QString storeMessage(const QString &file)
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        Record m = StorageFixture::msg(u"uid-1"_s);
        m.Add("From", "Shop <shop@example.com>");
        m.Add("Content", QString::fromLatin1(f.readAll()));
        MsgManager msgs;
        msgs.Init(m_fx->database(), m_fx->log().get());
        return msgs.add(m) ? m.Id() : QString();
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(QFileInfo::exists(cliProgram()));
        m_fx = std::make_unique<TestHome>();
        // The character "Tester" in the user's characters folder.
        QVERIFY(m_fx->isValid() && QDir().mkpath(m_fx->path("chars")));
        QVERIFY(!PackageBuilder::Character(m_fx->path("chars")).isEmpty());
        m_fx->settings()->SaveSetting(CTalker::KeyCharacterName, u"Tester"_s);
    }
    void cleanup() { m_fx.reset(); }

    void speaksTheDecodedMessageIntoAWavFile()
    {
        const QString id = storeMessage(QStringLiteral(SPEECH_TEST_DATA "/html-only-qp.eml"));
        QVERIFY(!id.isEmpty());
        const QString wav = m_fx->path("said.wav");
        const CliResult r = runCli(m_fx->path(), {"--json", "say-message", id, "--wav", wav});
        QCOMPARE(r.status, 0);
        const QJsonObject o = r.first();
        QCOMPARE(o.value("Id").toString(), id);
        const QString text = o.value("Text").toString();
        QVERIFY2(text.startsWith("\\Ctx=Email\\New message has arrived!\r\nFrom Shop <shop@example.com>"), qPrintable(text));
        // The decoded body (the decoding and the text rules are tested with the announcer and the talker).
        QVERIFY(text.contains(u"Café & crème"_s));
        // At least a few seconds of speech reached the file.
        QVERIFY(o.value("Samples").toInteger() > 22050 * 2);
        QVERIFY(QFileInfo(wav).size() > 44 + 2 * 22050 * 2);
    }

    // The talker's own errors (a missing character) are checked with it; here, that one reaches the exit status.
    void failuresSayWhy_data()
    {
        QTest::addColumn<bool>("withWav");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("err");
        QTest::newRow("unknown-id") << true << 1 << QByteArray("error");
        QTest::newRow("no-wav-option-is-a-usage-error") << false << 64 << QByteArray();
    }
    void failuresSayWhy()
    {
        QFETCH(bool, withWav);
        QFETCH(int, status);
        QFETCH(QByteArray, err);
        const QString id = u"{00000000-0000-0000-0000-000000000000}"_s;
        const QString wav = m_fx->path("x.wav");
        const CliResult r = runCli(m_fx->path(), QStringList{"say-message", id} + (withWav ? QStringList{"--wav", wav} : QStringList()));
        QCOMPARE(r.status, status);
        QVERIFY2(r.err.contains(err), r.err.constData());
        QVERIFY(!QFileInfo::exists(wav) || QFileInfo(wav).size() <= 44);
    }
};

QTEST_GUILESS_MAIN(TestSayMessage)
#include "tst_saymessage.moc"
