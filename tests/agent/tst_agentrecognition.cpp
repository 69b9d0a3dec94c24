#include "AgentCharacter.h"
#include "AgentCommand.h"
#include "TestCharacter.h"
#include "AgentCharacters.h"
#include "AgentCommands.h"
#include "AudioFileReader.h"
#include "HeadlessAgentControl.h"
#include "NullAudioSink.h"
#include "RecognizerWorker.h"
#include "SpeechRecognizer.h"
#include "SpeechSynthesizer.h"
#include "SpeechTags.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <sndfile.h>

namespace {
const QStringList kPhrases = {"Check Mail", "Say Date", "Say Time", "Read Clipboard",
                              "Play WAV File", "Read Text File", "Stop Talking", "Skip Message"};
}

class TstAgentRecognition : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void commandPhrases_data();
    void commandPhrases();
    void nothingRecognised_data();
    void nothingRecognised();
    void fileRaisesCommand();
    void handsFreeFindsCommandsInAStream();
    void grammar();

private:
    /// espeak-ng speech at 16 kHz with a faint noise floor, as a microphone hears it.
    QByteArray utterance(const QString &text, const QString &voice, int wpm);
    static QStringList lowerPhrases();
    SpeechRecognizer m_recognizer;
    QRandomGenerator m_noise{1234};
};

QStringList TstAgentRecognition::lowerPhrases()
{
    QStringList out;
    for (const QString &p : kPhrases)
        out << AgentCommands::normalisePhrase(p);
    return out;
}

void TstAgentRecognition::initTestCase()
{
    QString error;
    QVERIFY2(m_recognizer.open(&error), qPrintable(error));
    QVERIFY2(m_recognizer.setPhrases(lowerPhrases(),
                                     [](const QStringList &w) { return SpeechSynthesizer::instance()->phonemes(w); },
                                     &error),
             qPrintable(error));
    QCOMPARE(m_recognizer.phrases().size(), kPhrases.size());   // "wav" got a pronunciation
}

QByteArray TstAgentRecognition::utterance(const QString &text, const QString &voice, int wpm)
{
    SpeechTags::Defaults d;
    d.voice = voice;
    d.speedWpm = wpm;
    const SpeechText t = SpeechTags::translate(text, d);
    SpeechJobPtr job = SpeechSynthesizer::instance()->synthesize(t.ssml, voice);
    QByteArray pcm;
    connect(job.get(), &SpeechJob::audio, this, [&](const QByteArray &s, const SpeechEvents &) { pcm += s; });
    QSignalSpy done(job.get(), &SpeechJob::finished);
    done.wait(20000);
    // Half a second of room noise before and after, as when a key is held.
    QByteArray speech16 = AudioFileReader::resample(pcm, 22050, 16000);
    QByteArray out(8000 * 2, 0);
    out += speech16;
    out += QByteArray(8000 * 2, 0);
    auto *s = reinterpret_cast<qint16 *>(out.data());
    for (int i = 0; i < out.size() / 2; ++i) {
        const int noise = int(m_noise.bounded(61)) - 30;   // about -60 dB
        s[i] = qint16(qBound(-32768, s[i] + noise, 32767));
    }
    return out;
}

void TstAgentRecognition::commandPhrases_data()
{
    QTest::addColumn<QString>("phrase");
    QTest::addColumn<QString>("voice");
    QTest::addColumn<int>("wpm");
    for (const QString &p : kPhrases)
        for (const QString &v : {QString("en-us+m3"), QString("en-us+f2")})
            for (int wpm : {140, 190})
                QTest::newRow(qPrintable(QString("%1-%2-%3wpm").arg(p.toLower().replace(' ', '-'), v).arg(wpm)))
                    << p << v << wpm;
}

void TstAgentRecognition::commandPhrases()
{
    QFETCH(QString, phrase);
    QFETCH(QString, voice);
    QFETCH(int, wpm);
    // Spoken as a user says it: "wav" as a word, not spelled out as espeak-ng reads "WAV".
    const SpeechRecognizer::Result r = m_recognizer.recognize(utterance(AgentCommands::normalisePhrase(phrase), voice, wpm));
    qInfo("%s: hyp '%s' frames per phone %.1f confidence %d", qPrintable(phrase), qPrintable(r.hypothesis), r.framesPerPhone,
          r.confidence);
    QCOMPARE(r.phrase, AgentCommands::normalisePhrase(phrase));
    QVERIFY(r.confidence > 0);
}

void TstAgentRecognition::nothingRecognised_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("silence") << QString();
    QTest::newRow("weather") << "The weather is lovely today, is it not?";
    QTest::newRow("salt-and-pepper") << "Please pass me the salt and the pepper.";
    QTest::newRow("library") << "I am going to the library tomorrow morning.";
    QTest::newRow("numbers") << "Seventeen, forty two, and nine hundred.";
}

void TstAgentRecognition::nothingRecognised()
{
    QFETCH(QString, text);
    const SpeechRecognizer::Result r = m_recognizer.recognize(utterance(text, "en-us+m3", 170));
    qInfo("'%s': hyp '%s' frames per phone %.1f", qPrintable(text), qPrintable(r.hypothesis), r.framesPerPhone);
    QCOMPARE(r.phrase, QString());
}

void TstAgentRecognition::fileRaisesCommand()
{
    QTemporaryDir dir;
    const QString wav = dir.filePath("say-time.wav");
    const QByteArray pcm = utterance("Say Time", "en-us", 160);
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(QFile::encodeName(wav).constData(), SFM_WRITE, &info);
    QVERIFY(f);
    sf_write_short(f, reinterpret_cast<const short *>(pcm.constData()), pcm.size() / 2);
    sf_close(f);

    HeadlessAgentControl control(std::make_unique<NullAudioSink>(0.0));
    QSignalSpy commands(&control, &AgentControl::Command);
    QSignalSpy recognised(&control, &AgentControl::Recognized);
    // Without any character there are no phrases: a clear error, no command.
    control.RecognizeFile(wav);
    QVERIFY(recognised.wait(30000));
    QVERIFY(!recognised.at(0).at(2).toString().isEmpty());
    QCOMPARE(commands.size(), 0);

    control.Characters()->Load("c", TestCharacter::build(dir.path()));
    AgentCommands *cmds = control.Characters()->Item("c")->Commands();
    cmds->Add("mnuTalkDate_Click", "Say &Date", "Say Date");
    cmds->Add("mnuTalkTime_Click", "Say &Time", "Say Time");
    cmds->Add("mnuCheckForNewMessagesAllAccounts_Click", "C&heck Mail", "Check Mail");
    control.RecognizeFile(wav);
    QVERIFY(commands.wait(30000));
    const auto input = commands.at(0).at(0).value<AgentUserInput>();
    QCOMPARE(input.Name, QString("mnuTalkTime_Click"));
    QCOMPARE(input.CharacterID, QString("c"));
    QVERIFY(input.Confidence > 0);

    // A disabled command is not listened for.
    cmds->Item("mnuTalkTime_Click")->setEnabled(false);
    recognised.clear();
    control.RecognizeFile(wav);
    QVERIFY(recognised.wait(30000));
    QVERIFY(recognised.at(0).at(0).toString() != "say time");
    for (int i = 1; i < commands.size(); ++i)
        QVERIFY(commands.at(i).at(0).value<AgentUserInput>().Name != "mnuTalkTime_Click");
}

void TstAgentRecognition::handsFreeFindsCommandsInAStream()
{
    // A continuous microphone stream: room noise, a command, a sentence, another command.
    QByteArray stream = utterance(QString(), "en-us+m3", 170);
    stream += utterance("say time", "en-us+m3", 160);
    stream += utterance("The weather is lovely today, is it not?", "en-us+f2", 170);
    stream += utterance("check mail", "en-us+f2", 180);
    stream += utterance(QString(), "en-us+m3", 170);

    RecognizerWorker worker;
    worker.setPhrases(lowerPhrases());
    worker.setHandsFree(true);
    QStringList heard;
    connect(&worker, &RecognizerWorker::recognized, this, [&](const QString &phrase, int, const QString &error) {
        QVERIFY2(error.isEmpty(), qPrintable(error));
        heard << phrase;
    });
    // Fed in 20 ms blocks, as the microphone delivers them.
    for (int at = 0; at < stream.size(); at += 640)
        worker.feed(stream.mid(at, 640));
    QStringList commands;
    for (const QString &h : heard)
        if (!h.isEmpty())
            commands << h;
    QCOMPARE(commands, QStringList({"say time", "check mail"}));
    QVERIFY2(heard.size() >= 3, qPrintable(heard.join('|')));   // the sentence was heard and rejected
}

void TstAgentRecognition::grammar()
{
    QCOMPARE(SpeechRecognizer::buildGrammar({"say time", "check mail"}),
             QString("#JSGF V1.0;\ngrammar commands;\npublic <command> = say time | check mail;\n"));
}

QTEST_GUILESS_MAIN(TstAgentRecognition)
#include "tst_agentrecognition.moc"
