#include "TestHome.h"
#include "storage/CSettings.h"
#include "agent/PackageBuilder.h"
#include "storage/StorageFixture.h"
#include "speech/CTalker.h"
#include "speech/CWaver.h"

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
    std::unique_ptr<TestHome> m_fx;
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
        m_fx = std::make_unique<TestHome>();
        // The character "Tester" in the user's characters folder.
        QVERIFY(m_fx->isValid() && QDir().mkpath(m_fx->path("chars")));
        QVERIFY(!PackageBuilder::Character(m_fx->path("chars")).isEmpty());
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
        const Record noContent = message("Bob <bob@example.org>", "Lunch TODAY", {}, false);
        const QString head = "\\Ctx=Email\\New message has arrived!\r\n";
        const QString from = "From Bob <bob@example.org>" + Pau + "\r\n";
        const QString subj = " lunch today" + Pau + "\r\n";
        const QString body = "See you\r\nBye\r\n\r\n";
        auto row = [](const char *name, const QVariantMap &settings, const Record &msg, const QString &expected,
                      bool isNew = true, bool withContent = true) {
            QTest::newRow(name) << settings << isNew << withContent << msg << expected;
        };
        row("defaults", {}, m, head + from + subj + body);
        row("not-new", {}, m, "\\Ctx=Email\\" + from + subj + body, false);
        row("sender-off", {{CTalker::KeySaySender, false}}, m, head + subj + body);
        row("subject-off", {{CTalker::KeySaySubject, false}}, m, head + from + body);
        row("say-body-off", {{CTalker::KeySayBody, false}}, m, head + from + subj);
        row("without-content", {}, m, head + from + subj, true, false);
        row("no-content-property", {}, noContent, head + from + subj);
        row("quoted-lines-kept", {{CTalker::KeyStripQuoted, false}}, m,
            head + from + subj + "See you\r\n> quoted\r\nBye\r\n");
        row("own-phrases-keep-their-tags",
            {{CTalker::KeyNewMessagePhrase, "\\Spd=100\\Post!"}, {CTalker::KeySenderPhrase, "Sent by"},
             {CTalker::KeySubjectPhrase, "About"}},
            m, "\\Ctx=Email\\\\Spd=100\\Post!\r\nSent by Bob <bob@example.org>" + Pau + "\r\nAbout lunch today" + Pau + "\r\n"
                   + body);
        row("empty-phrases-keep-their-blank", {{CTalker::KeyNewMessagePhrase, ""}, {CTalker::KeySenderPhrase, ""}}, m,
            "\\Ctx=Email\\\r\n Bob <bob@example.org>" + Pau + "\r\n" + subj + body);
        // The one wiring row of the text rules (tested with SpokenText): mail text is never a command.
        row("mail-text-is-never-a-command", {}, message("A|B \\Vol=0\\", "\\Spd=600\\ hi", "x|y\\Pau=99999\\"),
            head + "From A B \\\\Vol=0\\\\" + Pau + "\r\n \\\\spd=600\\\\ hi" + Pau + "\r\nx y\\\\Pau=99999\\\\\r\n\r\n");
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

    void positionAndShowing_data()
    {
        QTest::addColumn<QVariant>("left");
        QTest::addColumn<QVariant>("top");
        QTest::addColumn<QPoint>("expected");
        QTest::addColumn<bool>("playAnimation");
        QTest::newRow("defaults-centre") << QVariant() << QVariant() << QPoint(512, 384) << true;
        QTest::newRow("left-5000-clamped-to-half") << QVariant(5000) << QVariant(10) << QPoint(512, 10) << false;
        QTest::newRow("top-beyond-screen") << QVariant(30) << QVariant(769) << QPoint(30, 384) << true;
        QTest::newRow("right-at-the-edge-stays") << QVariant(1024) << QVariant(768) << QPoint(1024, 768) << false;
        QTest::newRow("wholly-above-and-left-centred") << QVariant(-4000) << QVariant(-4000) << QPoint(512, 384) << true;
        QTest::newRow("partly-off-stays") << QVariant(-10) << QVariant(-10) << QPoint(-10, -10) << false;
    }
    void positionAndShowing()
    {
        QFETCH(QVariant, left);
        QFETCH(QVariant, top);
        QFETCH(QPoint, expected);
        QFETCH(bool, playAnimation);
        if (left.isValid())
            m_fx->settings()->SaveSetting(CTalker::KeyLeft, left);
        if (top.isValid())
            m_fx->settings()->SaveSetting(CTalker::KeyTop, top);
        m_fx->settings()->SaveSetting(CTalker::KeyPlayAnimation, playAnimation);
        makeTalker();
        AgentCharacter *c = m_talker->Character();
        QTRY_COMPARE(QPoint(c->Left(), c->Top()), expected);
        QVERIFY(!c->Visible());
        QStringList frames;
        QObject scope;   // ends the connection with this function: the character outlives it
        connect(c, &AgentCharacter::frameShown, &scope, [&frames](const QString &image) { frames << image; });
        m_talker->ShowCharacter();
        QVERIFY(c->Visible());
        QCOMPARE(frames.contains(u"show-0.svg"_s), playAnimation);
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

    void unloadThenAMissingCharacterRaises526()
    {
        makeTalker();
        QSignalSpy stopped(m_talker.get(), qOverload<>(&CTalker::StopTalking));
        m_talker->UnloadAgent();
        QCOMPARE(stopped.count(), 1);
        QVERIFY(!m_talker->Character());
        QCOMPARE(m_agent->Characters()->Count(), 0);
        m_talker->LoadAgent();
        AgentCharacter *before = m_talker->Character();
        QCOMPARE(m_agent->Characters()->Count(), 1);
        // A missing character leaves the loaded one in place.
        m_fx->settings()->SaveSetting(CTalker::KeyCharacterName, u"Nobody"_s);
        const MUError e = StorageFixture::raised([&] { m_talker->LoadAgent(); });
        QCOMPARE(e.number(), qint32(0x8004020Eu));
        QVERIFY2(e.description().startsWith(u"Cannot load character 'Nobody'. "_s), qPrintable(e.description()));
        QVERIFY2(e.description().endsWith(QLatin1Char(')')), qPrintable(e.description()));
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
        QVERIFY(QFile::copy(PackageBuilder::Character(m_fx->path(), u"FromBundle"_s), bundled));
        m_fx->settings()->SaveSetting(CTalker::KeyCharacterName, name);
        makeTalker();
        const QString loadedFromBundle = m_talker->Character()->Name();
        QVERIFY(QFile::copy(PackageBuilder::Character(m_fx->path(), u"FromUser"_s), m_fx->path("chars/") + name + u".acs"_s));
        m_talker->UnloadAgent();
        m_talker->LoadAgent();
        const QString loadedFromUser = m_talker->Character()->Name();
        QFile::remove(bundled);
        QCOMPARE(loadedFromBundle, u"FromBundle"_s);
        QCOMPARE(loadedFromUser, u"FromUser"_s);
    }

    // ---- speaking --------------------------------------------------------------------

    void emptySpoolOrFinalizedTalkerDoesNothing()
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
        // Once finalised, the talker takes nothing more and runs nothing.
        m_talker->Talk(u"pending"_s);
        m_talker->Finalize();
        QVERIFY(m_talker->spool().isEmpty());
        m_talker->Talk(u"after"_s);
        m_talker->TalkMsg(message("a", "b"));
        QVERIFY(m_talker->spool().isEmpty());
        m_talker->TalkFromSpool();
        QCOMPARE(started.count(), 0);
        QCOMPARE(m_agent->Characters()->Count(), 0);
        QVERIFY(!m_talker->Character());
    }

    void helloPipeWorldIsSpokenWholeThenTheWelcome()
    {
        makeTalker();
        QSignalSpy started(m_talker.get(), &CTalker::StartTalking);
        QSignalSpy stopped(m_talker.get(), qOverload<>(&CTalker::StopTalking));
        m_talker->Talk(u"Hello|World\r\nagain"_s);
        QCOMPARE(m_talker->spool(), QStringList{u"Hello World\r\nagain"_s});
        m_talker->TalkFromSpool();
        QCOMPARE(started.count(), 1);
        QCOMPARE(stopped.count(), 1);
        // Each line end is a pause and stays a line end, for the balloon.
        QCOMPARE(spoken(), QStringList{DefaultTags + u"Hello World"_s + Pau + u"\nagain"_s});
        QCOMPARE(m_words, (QStringList{"Hello", "World", "again"}));
        QVERIFY(!m_talker->Talking());
        QVERIFY(m_talker->spool().isEmpty());
        QCOMPARE(m_fx->settings()->GetSetting(CTalker::KeySpokenCount, 0).toInt(), 1);
        // The greeting alternatives are queued as they are: one of them is said.
        m_talker->TalkWelcome();
        QCOMPARE(m_talker->spool(), QStringList{u"Hi|Hello"_s});
        m_talker->TalkFromSpool();
        QCOMPARE(m_words.size(), 4);
        QVERIFY(m_words.last() == QLatin1String("Hi") || m_words.last() == QLatin1String("Hello"));
        // A message is queued as its announcement (the text is tested with MsgToString).
        const Record msg = message("Ann", "Hello there", "Line one");
        m_talker->TalkMsg(msg);
        QCOMPARE(m_talker->spool(), QStringList{m_talker->MsgToString(msg, true)});
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
    // Every chunk spoken carries them (DefaultTags in the tests below).
    void tagPrefix()
    {
        QFETCH(QString, voice);
        QFETCH(QString, prefix);
        m_fx->settings()->SaveSetting(CTalker::KeyCharacterOfVoice, voice);
        m_fx->settings()->SaveSetting(CTalker::KeyVoiceSpeed, 200);
        m_fx->settings()->SaveSetting(CTalker::KeyVoicePitch, 70);
        makeTalker();
        QCOMPARE(m_talker->AddVoiceTags(u"hi"_s), prefix + u"hi"_s);
    }

    void gestureBeforeEveryItem_data()
    {
        QTest::addColumn<QString>("gesture");
        QTest::addColumn<bool>("plays");
        QTest::newRow("known-gesture") << "Wave" << true;
        QTest::newRow("unknown-gesture-skipped") << "Juggle" << false;
    }
    void gestureBeforeEveryItem()
    {
        QFETCH(QString, gesture);
        QFETCH(bool, plays);
        m_fx->settings()->SaveSetting(CTalker::KeyGesture, gesture);
        makeTalker();
        m_talker->Talk(u"one"_s);
        m_talker->Talk(u"two"_s);
        m_talker->TalkFromSpool();
        QStringList kinds;
        for (const QString &r : std::as_const(m_requests))
            kinds << r.section(QLatin1Char(':'), 0, 0);
        kinds.removeAll(u"Move"_s);
        const QString item = plays ? u"Play Speak "_s : u"Speak "_s;
        QCOMPARE(kinds.join(QLatin1Char(' ')), u"Show "_s + item + item + u"Hide"_s);
    }

    void interruptedRun_data()
    {
        // Said at the second word of a long first item; `next` was queued behind it.
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("next");
        QTest::addColumn<QStringList>("spokenAfter");   // what the run says after the first chunk
        QTest::addColumn<QStringList>("waiting");       // the spool the run leaves
        QTest::newRow("skip-moves-to-the-next-item") << "skip" << "second item" << QStringList{"second item"}
                                                     << QStringList{};
        QTest::newRow("stop-ends-the-run-later-items-wait") << "stop" << "never said" << QStringList{}
                                                            << QStringList{"later item"};
        QTest::newRow("finalize-ends-the-run") << "finalize" << "never" << QStringList{} << QStringList{};
    }
    void interruptedRun()
    {
        QFETCH(QString, action);
        QFETCH(QString, next);
        QFETCH(QStringList, spokenAfter);
        QFETCH(QStringList, waiting);
        makeTalker();
        QSignalSpy stopped(m_talker.get(), qOverload<>(&CTalker::StopTalking));
        m_talker->Talk(words(80));
        m_talker->Talk(next);
        bool done = false;
        QObject scope;   // ends the connection with this function
        connect(m_talker->Character(), &AgentCharacter::wordSpoken, &scope, [&](const QString &w) {
            if (w != wordOf(1) || done)
                return;
            done = true;
            if (action == QLatin1String("skip")) {
                m_talker->StopTalking(false);
            } else if (action == QLatin1String("stop")) {
                m_talker->StopTalking(true);
                m_talker->Talk(u"later item"_s);
            } else {
                // As a command from the event loop would (not from inside the character's own signal).
                QTimer::singleShot(0, this, [this] { m_talker->Finalize(); });
            }
        });
        m_talker->TalkFromSpool();
        QVERIFY(done);
        QStringList expected;
        for (const QString &item : spokenAfter)
            expected << DefaultTags + item;
        QCOMPARE(spoken().mid(1), expected);
        QVERIFY(!m_words.contains(wordOf(50)));
        QVERIFY(!m_words.contains(u"never"_s));
        QCOMPARE(m_talker->spool(), waiting);
        if (action != QLatin1String("finalize"))   // finalizing unloads too, which says so on its own
            QCOMPARE(stopped.count(), 1);
        QVERIFY(!m_talker->Talking());
        if (waiting.isEmpty())
            return;
        // The next pulse starts afresh and speaks what waited.
        m_requests.clear();
        m_talker->TalkFromSpool();
        QCOMPARE(spoken(), QStringList{DefaultTags + waiting.first()});
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
        QVERIFY(m_fx->shortLogText().contains(u"CTalker.TalkFromSpool"_s));
    }

    void playWavPlaysToTheEnd()
    {
        makeTalker();
        const QString wav = m_fx->path("beep.wav");
        QVERIFY(PackageBuilder::WriteWav(wav, PackageBuilder::Tone(300)));
        m_talker->PlayWav(wav, true);
        QCOMPARE(m_talker->waver()->waitingPlays(), 0);
        QVERIFY(m_agent->audio()->sink()->writtenSamples() >= AudioSink::SampleRate * 3 / 10 - 10);
    }
};

QTEST_GUILESS_MAIN(TestTalker)
#include "tst_talker.moc"
