#include "SpeechFixture.h"
#include "cli/CliRunner.h"
#include "speech/CTalker.h"
#include "storage/MsgManager.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

class TestSayMessage : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SpeechFixture> m_fx;

    int run(const QStringList &args, QByteArray *out = nullptr, QByteArray *err = nullptr)
    {
        const CliResult r = runCli(m_fx->home(), args);
        if (out)
            *out = r.out;
        if (err)
            *err = r.err;
        return r.status;
    }

    QString storeMessage(const QString &file)
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        Record m;
        m.Add("Server", "pop.example.com");
        m.Add("User", "anna");
        m.Add("POP3Id", "uid-1");
        m.Add("From", "Shop <shop@example.com>");
        m.Add("To", "anna@example.org");
        m.Add("Date", "Thu, 15 Feb 2024 12:00:00 +0000");
        m.Add("Subject", "Your OFFER|today");
        m.Add("Content", QString::fromLatin1(f.readAll()));
        MsgManager msgs;
        msgs.Init(m_fx->database(), m_fx->log().get());
        return msgs.add(m) ? m.Id() : QString();
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(QFileInfo::exists(cliProgram()));
        m_fx = std::make_unique<SpeechFixture>();
        QVERIFY(m_fx->isValid());
        m_fx->settings()->SaveSetting(CTalker::KeyCharacterName, u"Tester"_s);
    }
    void cleanup() { m_fx.reset(); }

    void speaksTheDecodedMessageIntoAWavFile()
    {
        const QString id = storeMessage(QStringLiteral(SPEECH_TEST_DATA "/html-only-qp.eml"));
        QVERIFY(!id.isEmpty());
        const QString wav = m_fx->path("said.wav");
        QByteArray out, err;
        QCOMPARE(run({"--json", "say-message", id, "--wav", wav}, &out, &err), 0);
        const QJsonObject o = QJsonDocument::fromJson(out.trimmed()).object();
        QCOMPARE(o.value("Id").toString(), id);
        const QString text = o.value("Text").toString();
        QVERIFY2(text.startsWith("\\Ctx=Email\\New message has arrived!\r\nFrom Shop <shop@example.com>"), qPrintable(text));
        QVERIFY(text.contains("your offer today"));              // "|" spoken as a blank
        QVERIFY(text.contains(u"Café & crème"_s));  // decoded body, not raw MIME
        QVERIFY(!text.contains("quoted-printable"));
        QVERIFY(!text.contains("<p>"));
        // At least a few seconds of speech reached the file.
        QVERIFY(o.value("Samples").toInteger() > 22050 * 2);
        QVERIFY(QFileInfo(wav).size() > 44 + 2 * 22050 * 2);
    }

    void unknownIdFails()
    {
        QByteArray out, err;
        QCOMPARE(run({"say-message", "{00000000-0000-0000-0000-000000000000}", "--wav", m_fx->path("x.wav")}, &out,
                     &err),
                 1);
        QVERIFY(err.contains("error"));
        QVERIFY(!QFileInfo::exists(m_fx->path("x.wav")) || QFileInfo(m_fx->path("x.wav")).size() <= 44);
    }

    void missingWavOptionIsAUsageError()
    {
        QCOMPARE(run({"say-message", "{00000000-0000-0000-0000-000000000000}"}), 64);
    }

    void missingCharacterReports526()
    {
        const QString id = storeMessage(QStringLiteral(SPEECH_TEST_DATA "/utf8-8bit.eml"));
        m_fx->settings()->SaveSetting(CTalker::KeyCharacterName, u"Nobody"_s);
        QByteArray out, err;
        QCOMPARE(run({"say-message", id, "--wav", m_fx->path("y.wav")}, &out, &err), 1);
        QVERIFY2(err.contains("Cannot load character 'Nobody'."), err.constData());
    }
};

QTEST_GUILESS_MAIN(TestSayMessage)
#include "tst_saymessage.moc"
