#include "SpeechFixture.h"
#include "speech/CTalker.h"
#include "speech/CWaver.h"
#include "speech/SpokenText.h"

#include "AgentAudio.h"
#include "AgentBalloon.h"
#include "AgentCharacters.h"
#include "AudioSink.h"
#include "AgentCharacter.h"
#include "AgentControl.h"
#include "HeadlessAgentControl.h"
#include "WavFileAudioSink.h"
#include "trellis/MUError.h"
#include "trellis/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <QSignalSpy>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {
const QString Pau = u"\\Pau=100\\"_s;
const QString DefaultTags = u"\\Pit=50\\\\Spd=146\\\\chr=\"Normal\"\\"_s;

Record message(const QString &from, const QString &subject, const QString &content = QString(), bool withContent = true)
{
    Record r;
    r.Add(u"From"_s, from);
    r.Add(u"Subject"_s, subject);
    if (withContent)
        r.Add(u"Content"_s, content);
    return r;
}

/// "wordaa", "wordab", ...: one spoken word each (no digits for the synthesiser to split).
QString wordOf(int i)
{
    return u"word"_s + QChar(u'a' + i / 26) + QChar(u'a' + i % 26);
}

QString words(int count)
{
    QStringList w;
    for (int i = 0; i < count; ++i)
        w << wordOf(i);
    return w.join(QLatin1Char(' '));
}
}

class TestTalker : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SpeechFixture> m_fx;
    std::unique_ptr<HeadlessAgentControl> m_agent;
    std::unique_ptr<CTalker> m_talker;
    QStringList m_requests;   ///< "Kind:detail" of every request as it starts
    QStringList m_words;      ///< words heard, in order

    QStringList spoken() const
    {
        QStringList s;
        for (const QString &r : m_requests)
            if (r.startsWith(QLatin1String("Speak:")))
                s << r.mid(6);
        return s;
    }

    void makeTalker(bool load = true)
    {
        m_agent = std::make_unique<HeadlessAgentControl>(
            std::make_unique<WavFileAudioSink>(m_fx->path("speech.wav"), 0.0));
        m_agent->setIdleDelay(0);
        connect(m_agent.get(), &AgentControl::RequestStart, this, [this](AgentRequest *r) {
            static const char *kinds[] = {"Show", "Hide", "Play", "Speak", "Move"};
            m_requests << QString::fromLatin1(kinds[int(r->kind())]) + QLatin1Char(':') + r->detail();
        });
        m_talker = std::make_unique<CTalker>();
        m_talker->Init(m_fx->settings(), m_fx->log(), m_agent.get());
        m_talker->setScreenSizeProvider([] { return QSize(1024, 768); });
        if (load) {
            m_talker->LoadAgent();
            QVERIFY(m_talker->Character());
            connect(m_talker->Character(), &AgentCharacter::wordSpoken, this,
                    [this](const QString &word, const QString &) { m_words << word; });
        }
    }

private Q_SLOTS:
    void init()
    {
        m_fx = std::make_unique<SpeechFixture>();
        QVERIFY(m_fx->isValid());
        m_fx->settings()->SaveSetting(CTalker::KeyCharacterName, u"Tester"_s);
        m_requests.clear();
        m_words.clear();
    }
    void cleanup()
    {
        m_talker.reset();
        m_agent.reset();
        m_fx.reset();
    }

    void msgToString_data()
    {
        QTest::addColumn<QVariantMap>("settings");
        QTest::addColumn<bool>("isNew");
        QTest::addColumn<bool>("withContent");
        QTest::addColumn<Record>("msg");
        QTest::addColumn<QString>("expected");
        const Record m = message("Bob <bob@example.org>", "Lunch TODAY", "See you\r\n> quoted\r\nBye");
        const QString head = "\\Ctx=Email\\New message has arrived!\r\n";
        const QString from = "From Bob <bob@example.org>" + Pau + "\r\n";
        const QString subj = " lunch today" + Pau + "\r\n";
        QTest::newRow("defaults") << QVariantMap{} << true << true << m << head + from + subj + "See you\r\nBye\r\n\r\n";
        QTest::newRow("not-new") << QVariantMap{} << false << true << m
                                 << "\\Ctx=Email\\" + from + subj + "See you\r\nBye\r\n\r\n";
        QTest::newRow("sender-off") << QVariantMap{{CTalker::KeySaySender, false}} << true << true << m
                                    << head + subj + "See you\r\nBye\r\n\r\n";
        QTest::newRow("subject-off") << QVariantMap{{CTalker::KeySaySubject, false}} << true << true << m
                                     << head + from + "See you\r\nBye\r\n\r\n";
        QTest::newRow("say-body-off") << QVariantMap{{CTalker::KeySayBody, false}} << true << true << m
                                      << head + from + subj;
        QTest::newRow("without-content") << QVariantMap{} << true << false << m << head + from + subj;
        QTest::newRow("no-content-property") << QVariantMap{} << true << true
                                             << message("Bob <bob@example.org>", "Lunch TODAY", {}, false)
                                             << head + from + subj;
        QTest::newRow("quoted-lines-kept") << QVariantMap{{CTalker::KeyStripQuoted, false}} << true << true << m
                                           << head + from + subj + "See you\r\n> quoted\r\nBye\r\n";
        QTest::newRow("own-phrases-keep-their-tags")
            << QVariantMap{{CTalker::KeyNewMessagePhrase, "\\Spd=100\\Post!"}, {CTalker::KeySenderPhrase, "Sent by"},
                           {CTalker::KeySubjectPhrase, "About"}}
            << true << true << m
            << "\\Ctx=Email\\\\Spd=100\\Post!\r\nSent by Bob <bob@example.org>" + Pau + "\r\nAbout lunch today" + Pau +
                   "\r\nSee you\r\nBye\r\n\r\n";
        QTest::newRow("empty-phrases-keep-their-blank")
            << QVariantMap{{CTalker::KeyNewMessagePhrase, ""}, {CTalker::KeySenderPhrase, ""}} << true << true << m
            << "\\Ctx=Email\\\r\n Bob <bob@example.org>" + Pau + "\r\n" + subj + "See you\r\nBye\r\n\r\n";
        QTest::newRow("mail-text-is-never-a-command")
            << QVariantMap{} << true << true << message("A|B \\Vol=0\\", "\\Spd=600\\ hi", "x|y\\Pau=99999\\")
            << head + "From A B \\\\Vol=0\\\\" + Pau + "\r\n \\\\spd=600\\\\ hi" + Pau + "\r\nx y\\\\Pau=99999\\\\\r\n\r\n";
    }
    void msgToString()
    {
        QFETCH(QVariantMap, settings);
        QFETCH(bool, isNew);
        QFETCH(bool, withContent);
        QFETCH(Record, msg);
        QFETCH(QString, expected);
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            m_fx->settings()->SaveSetting(it.key(), it.value());
        makeTalker(false);
        QCOMPARE(m_talker->MsgToString(msg, isNew, withContent), expected);
    }

    // ---- loading ---------------------------------------------------------------------

    void position_data()
    {
        QTest::addColumn<QVariant>("left");
        QTest::addColumn<QVariant>("top");
        QTest::addColumn<QPoint>("expected");
        QTest::newRow("defaults-centre") << QVariant() << QVariant() << QPoint(512, 384);
        QTest::newRow("left-5000-clamped-to-half") << QVariant(5000) << QVariant(10) << QPoint(512, 10);
        QTest::newRow("top-beyond-screen") << QVariant(30) << QVariant(769) << QPoint(30, 384);
        QTest::newRow("right-at-the-edge-stays") << QVariant(1024) << QVariant(768) << QPoint(1024, 768);
    }
    void position()
    {
        QFETCH(QVariant, left);
        QFETCH(QVariant, top);
        QFETCH(QPoint, expected);
        if (left.isValid())
            m_fx->settings()->SaveSetting(CTalker::KeyLeft, left);
        if (top.isValid())
            m_fx->settings()->SaveSetting(CTalker::KeyTop, top);
        makeTalker();
        AgentCharacter *c = m_talker->Character();
        QTRY_COMPARE(QPoint(c->Left(), c->Top()), expected);
        QVERIFY(!c->Visible());
    }

    void sizeAndBalloon()
    {
        m_fx->settings()->SaveSetting(CTalker::KeyCharacterSize, 240);
        m_fx->settings()->SaveSetting(CTalker::KeyBalloonFontName, u"DejaVu Sans"_s);
        m_fx->settings()->SaveSetting(CTalker::KeyBalloonFontSize, 14);
        makeTalker();
        AgentCharacter *c = m_talker->Character();
        QCOMPARE(c->Height(), 240);
        QCOMPARE(c->Width(), 200);
        const quint32 style = c->Balloon()->Style();
        QVERIFY(style & AgentBalloon::StyleBalloonOn);
        QVERIFY(style & AgentBalloon::StyleSizeToText);
        QVERIFY(!(style & AgentBalloon::StyleAutoPace));
        QCOMPARE(c->Balloon()->numberOfLines(), 16);
        QCOMPARE(c->Balloon()->charsPerLine(), 30);
        QCOMPARE(c->Balloon()->FontName(), u"DejaVu Sans"_s);
        QCOMPARE(c->Balloon()->FontSize(), 14);
    }

    void missingCharacterRaises526AndKeepsTheOldOne()
    {
        makeTalker();
        AgentCharacter *before = m_talker->Character();
        m_fx->settings()->SaveSetting(CTalker::KeyCharacterName, u"Nobody"_s);
        try {
            m_talker->LoadAgent();
            QFAIL("LoadAgent did not raise");
        } catch (const MUError &e) {
            QCOMPARE(e.number(), qint32(0x8004020Eu));
            QVERIFY2(e.description().startsWith(u"Cannot load character 'Nobody'. "_s), qPrintable(e.description()));
            QVERIFY2(e.description().endsWith(QLatin1Char(')')), qPrintable(e.description()));
        }
        QCOMPARE(m_talker->Character(), before);
        QCOMPARE(m_agent->Characters()->Count(), 1);
    }

    void userCharacterFirstThenTheBundledOne()
    {
        // A name of its own, so no other test sees these files.
        const QString name = u"Bundled"_s + QString::number(QCoreApplication::applicationPid());
        const QString bundledDir = Paths::LibraryDir() + u"/chars"_s;
        const bool madeDir = !QFileInfo::exists(bundledDir);
        QVERIFY(QDir().mkpath(bundledDir));
        // Leave the build tree as it was, whatever the outcome.
        auto cleanup = qScopeGuard([&] {
            if (madeDir)
                QDir().rmdir(bundledDir);
        });
        const QString bundled = bundledDir + QLatin1Char('/') + name + u".acs"_s;
        QVERIFY(SpeechFixture::WriteCharacter(bundled, u"FromBundle"_s));
        m_fx->settings()->SaveSetting(CTalker::KeyCharacterName, name);
        makeTalker();
        const QString loadedFromBundle = m_talker->Character()->Name();
        QVERIFY(SpeechFixture::WriteCharacter(m_fx->path("chars/") + name + u".acs"_s, u"FromUser"_s));
        m_talker->UnloadAgent();
        m_talker->LoadAgent();
        const QString loadedFromUser = m_talker->Character()->Name();
        QFile::remove(bundled);
        QCOMPARE(loadedFromBundle, u"FromBundle"_s);
        QCOMPARE(loadedFromUser, u"FromUser"_s);
    }

    void showAnimation_data()
    {
        QTest::addColumn<bool>("playAnimation");
        QTest::newRow("with-showing-animation") << true;
        QTest::newRow("without-showing-animation") << false;
    }
    void showAnimation()
    {
        QFETCH(bool, playAnimation);
        m_fx->settings()->SaveSetting(CTalker::KeyPlayAnimation, playAnimation);
        makeTalker();
        QStringList frames;
        QObject scope;   // ends the connection with this function: the character outlives it
        connect(m_talker->Character(), &AgentCharacter::frameShown, &scope,
                [&frames](const QString &image) { frames << image; });
        m_talker->ShowCharacter();
        QVERIFY(m_talker->Character()->Visible());
        QCOMPARE(frames.contains(u"m.svg"_s), playAnimation);
    }

    void unloadRaisesStopTalking()
    {
        makeTalker();
        QSignalSpy stopped(m_talker.get(), qOverload<>(&CTalker::StopTalking));
        m_talker->UnloadAgent();
        QCOMPARE(stopped.count(), 1);
        QVERIFY(!m_talker->Character());
        QCOMPARE(m_agent->Characters()->Count(), 0);
        m_talker->LoadAgent();
        QCOMPARE(m_agent->Characters()->Count(), 1);
    }

    // ---- speaking --------------------------------------------------------------------

    void emptySpoolDoesNothing()
    {
        makeTalker();
        QSignalSpy started(m_talker.get(), &CTalker::StartTalking);
        QSignalSpy stopped(m_talker.get(), qOverload<>(&CTalker::StopTalking));
        QTRY_VERIFY(!m_talker->Character()->isBusy());   // the placing move is done
        m_requests.clear();
        m_talker->TalkFromSpool();
        QCOMPARE(started.count(), 0);
        QCOMPARE(stopped.count(), 0);
        QVERIFY(m_requests.isEmpty());
        QVERIFY(!m_talker->Character()->Visible());
    }

    void helloPipeWorldIsSpokenWhole()
    {
        makeTalker();
        QSignalSpy started(m_talker.get(), &CTalker::StartTalking);
        QSignalSpy stopped(m_talker.get(), qOverload<>(&CTalker::StopTalking));
        m_talker->Talk(u"Hello|World"_s);
        QCOMPARE(m_talker->spool(), QStringList{u"Hello World"_s});
        m_talker->TalkFromSpool();
        QCOMPARE(started.count(), 1);
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(spoken(), QStringList{DefaultTags + u"Hello World"_s});
        QCOMPARE(m_words, (QStringList{"Hello", "World"}));
        QVERIFY(!m_talker->Talking());
        QVERIFY(m_talker->spool().isEmpty());
        QCOMPARE(m_fx->settings()->GetSetting(CTalker::KeySpokenCount, 0).toInt(), 1);
    }

    void welcomeQueuesTheGreetingAlternatives()
    {
        makeTalker();
        m_talker->TalkWelcome();
        QCOMPARE(m_talker->spool(), QStringList{u"Hi|Hello"_s});
        m_talker->TalkFromSpool();
        QCOMPARE(m_words.size(), 1);
        QVERIFY(m_words.first() == QLatin1String("Hi") || m_words.first() == QLatin1String("Hello"));
    }

    void queuedTextIsSpokenAsTheRulesShapeIt_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("heard");   // the first and the last word heard
        QTest::newRow("repeats-collapsed") << "Wait!!!!!! ====== Done" << QStringList{"Wait", "Done"};
        QTest::newRow("long-text-in-chunks") << words(70) << QStringList{wordOf(0), wordOf(69)};
    }
    void queuedTextIsSpokenAsTheRulesShapeIt()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, heard);
        makeTalker();
        m_talker->Talk(text);
        m_talker->TalkFromSpool();
        QStringList expected;
        for (const QString &c : SpokenText::Chunks(SpokenText::CollapseRepeats(text)))
            expected << DefaultTags + c;
        QCOMPARE(spoken(), expected);
        QCOMPARE(m_words.first(), heard.first());
        QCOMPARE(m_words.last(), heard.last());
        if (text.startsWith(wordOf(0))) {
            QCOMPARE(m_words.size(), 70);   // nothing lost at the cuts
            QVERIFY(expected.size() >= 2);
        }
    }

    void tagPrefix_data()
    {
        QTest::addColumn<QString>("voice");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("whisper") << "Whisper" << "\\Pit=70\\\\Spd=200\\\\chr=\"Whisper\"\\";
        QTest::newRow("monotone") << "Monotone" << "\\Pit=70\\\\Spd=200\\\\chr=\"Monotone\"\\";
        QTest::newRow("unknown-word-no-voice-tag") << "Robot" << "\\Pit=70\\\\Spd=200\\";
        QTest::newRow("lower-case-is-not-a-voice") << "whisper" << "\\Pit=70\\\\Spd=200\\";
    }
    void tagPrefix()
    {
        QFETCH(QString, voice);
        QFETCH(QString, prefix);
        m_fx->settings()->SaveSetting(CTalker::KeyCharacterOfVoice, voice);
        m_fx->settings()->SaveSetting(CTalker::KeyVoiceSpeed, 200);
        m_fx->settings()->SaveSetting(CTalker::KeyVoicePitch, 70);
        makeTalker();
        const QString text = words(40) + u"\r\nend"_s;
        m_talker->Talk(text);
        m_talker->TalkFromSpool();
        const QStringList s = spoken();
        QCOMPARE(s.size(), 2);
        for (const QString &chunk : s) {
            QVERIFY2(chunk.startsWith(prefix), qPrintable(chunk));
            QVERIFY(!chunk.mid(prefix.size()).startsWith(QLatin1Char('\\')));
        }
        QVERIFY(s.last().endsWith(Pau + u"\nend"_s));
    }

    void messageAnnouncementIsSpoken()
    {
        makeTalker();
        m_talker->TalkMsg(message("Ann", "Hello there", "Line one\r\n> quoted\r\nLine two"));
        m_talker->TalkFromSpool();
        const QStringList s = spoken();
        QCOMPARE(s.size(), 1);
        // Each line end is a pause and stays a line end, for the balloon.
        const QString end = Pau + "\n";
        QCOMPARE(s.first(), DefaultTags + "\\Ctx=Email\\New message has arrived!" + end + "From Ann" + Pau + end +
                                " hello there" + Pau + end + "Line one" + end + "Line two" + end + end);
        QVERIFY(m_words.contains(u"Ann"_s));
        QVERIFY(!m_words.contains(u"quoted"_s));
    }

    void gestureBeforeEveryItem_data()
    {
        QTest::addColumn<QString>("gesture");
        QTest::addColumn<int>("plays");
        QTest::newRow("known-gesture") << "Wave" << 2;
        QTest::newRow("case-insensitive") << "wave" << 2;
        QTest::newRow("unknown-gesture-skipped") << "Juggle" << 0;
        QTest::newRow("no-gesture") << "" << 0;
    }
    void gestureBeforeEveryItem()
    {
        QFETCH(QString, gesture);
        QFETCH(int, plays);
        m_fx->settings()->SaveSetting(CTalker::KeyGesture, gesture);
        makeTalker();
        m_talker->Talk(u"one"_s);
        m_talker->Talk(u"two"_s);
        m_talker->TalkFromSpool();
        QStringList kinds;
        for (const QString &r : std::as_const(m_requests))
            kinds << r.section(QLatin1Char(':'), 0, 0);
        kinds.removeAll(u"Move"_s);
        QStringList expected{"Show"};
        for (int i = 0; i < 2; ++i) {
            if (plays)
                expected << "Play";
            expected << "Speak";
        }
        expected << "Hide";
        QCOMPARE(kinds, expected);
    }

    void skipMovesToTheNextItem()
    {
        makeTalker();
        QSignalSpy stopped(m_talker.get(), qOverload<>(&CTalker::StopTalking));
        m_talker->Talk(words(80));
        m_talker->Talk(u"second item"_s);
        bool skipped = false;
        QObject scope;   // ends the connection with this function
        connect(m_talker->Character(), &AgentCharacter::wordSpoken, &scope, [&](const QString &w) {
            if (w == wordOf(1) && !skipped) {
                skipped = true;
                m_talker->StopTalking(false);
            }
        });
        m_talker->TalkFromSpool();
        QVERIFY(skipped);
        const QStringList s = spoken();
        QCOMPARE(s.size(), 2);   // the first chunk of the long text, then the next item
        QCOMPARE(s.last(), DefaultTags + u"second item"_s);
        QVERIFY(!m_words.contains(wordOf(50)));
        QVERIFY(m_words.contains(u"second"_s));
        QCOMPARE(stopped.count(), 1);
        QVERIFY(!m_talker->Talking());
    }

    void stopEndsTheRunAndLaterItemsWait()
    {
        makeTalker();
        QSignalSpy stopped(m_talker.get(), qOverload<>(&CTalker::StopTalking));
        m_talker->Talk(words(80));
        m_talker->Talk(u"never said"_s);
        bool done = false;
        QObject scope;   // ends the connection with this function
        connect(m_talker->Character(), &AgentCharacter::wordSpoken, &scope, [&](const QString &w) {
            if (w == wordOf(1) && !done) {
                done = true;
                m_talker->StopTalking(true);
                m_talker->Talk(u"later item"_s);
            }
        });
        m_talker->TalkFromSpool();
        QVERIFY(done);
        QCOMPARE(spoken().size(), 1);
        QCOMPARE(m_talker->spool(), QStringList{u"later item"_s});
        QCOMPARE(stopped.count(), 1);
        QVERIFY(!m_talker->Talking());
        // The next pulse starts afresh and speaks what waited.
        m_requests.clear();
        m_talker->TalkFromSpool();
        QCOMPARE(spoken(), QStringList{DefaultTags + u"later item"_s});
    }

    void nestedRunReturnsAtOnceAndTheRunTakesNewItems()
    {
        makeTalker();
        QSignalSpy started(m_talker.get(), &CTalker::StartTalking);
        m_talker->Talk(u"first item"_s);
        bool nestedReturned = false;
        int requestsAtNested = -1;
        QObject scope;   // ends the connection with this function
        connect(m_agent.get(), &AgentControl::RequestStart, &scope, [&](AgentRequest *r) {
            if (r->kind() == AgentRequest::Kind::Speak && !nestedReturned) {
                m_talker->Talk(u"queued meanwhile"_s);
                requestsAtNested = int(m_requests.size());
                m_talker->TalkFromSpool();   // as a pulse would, while the run waits
                nestedReturned = true;
                QCOMPARE(int(m_requests.size()), requestsAtNested);
                QVERIFY(m_talker->Talking());
            }
        });
        m_talker->TalkFromSpool();
        QVERIFY(nestedReturned);
        QCOMPARE(started.count(), 1);
        QCOMPARE(spoken(), (QStringList{DefaultTags + "first item", DefaultTags + "queued meanwhile"}));
        QVERIFY(m_talker->spool().isEmpty());
        QCOMPARE(m_fx->settings()->GetSetting(CTalker::KeySpokenCount, 0).toInt(), 2);
    }

    void noCharacterLogsAndEndsTheRun()
    {
        makeTalker(false);
        m_talker->Talk(u"nobody to say it"_s);
        m_talker->TalkFromSpool();
        QVERIFY(!m_talker->Talking());
        QVERIFY(m_fx->shortLog().contains(u"CTalker.TalkFromSpool"_s));
    }

    void finalizeMakesTheTalkerInert()
    {
        makeTalker();
        m_talker->Talk(u"pending"_s);
        m_talker->Finalize();
        QVERIFY(m_talker->spool().isEmpty());
        m_talker->Talk(u"after"_s);
        m_talker->TalkMsg(message("a", "b"));
        QVERIFY(m_talker->spool().isEmpty());
        m_talker->TalkFromSpool();
        QCOMPARE(m_agent->Characters()->Count(), 0);
        QVERIFY(!m_talker->Character());
    }

    void finalizeDuringARunEndsIt()
    {
        makeTalker();
        m_talker->Talk(words(80));
        m_talker->Talk(u"never"_s);
        connect(m_talker->Character(), &AgentCharacter::wordSpoken, this, [this](const QString &w) {
            // As a command from the event loop would (not from inside the character's own signal).
            if (w == wordOf(2))
                QTimer::singleShot(0, this, [this] { m_talker->Finalize(); });
        });
        m_talker->TalkFromSpool();
        QCOMPARE(spoken().size(), 1);
        QVERIFY(!m_words.contains(u"never"_s));
    }

    void playWavPlaysToTheEnd()
    {
        makeTalker();
        const QString wav = m_fx->path("beep.wav");
        QVERIFY(SpeechFixture::WriteWav(wav, 300));
        m_talker->PlayWav(wav, true);
        QCOMPARE(m_talker->waver()->waitingPlays(), 0);
        QVERIFY(m_agent->audio()->sink()->writtenSamples() >= AudioSink::SampleRate * 3 / 10 - 10);
    }
};

QTEST_GUILESS_MAIN(TestTalker)
#include "tst_talker.moc"
