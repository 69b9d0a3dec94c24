#include "CTalker.h"
#include "CWaver.h"
#include "SpokenText.h"

#include "AgentBalloon.h"
#include "AgentCharacter.h"
#include "AgentCharacters.h"
#include "AgentControl.h"
#include "storage/CSettings.h"
#include "trellis/MUError.h"
#include "trellis/Paths.h"
#include "trellis/Utility.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>

const QString CTalker::KeyCharacterName = QStringLiteral("{12C606D4-2134-47e1-9698-3888CA920611}");
const QString CTalker::KeyCharacterSize = QStringLiteral("{DF059EB5-6B36-4506-9C27-E7019ED5AE44}");
const QString CTalker::KeyCharacterOfVoice = QStringLiteral("{57BEF842-1C20-424c-8EEE-053EBD371FE3}");
const QString CTalker::KeyVoiceSpeed = QStringLiteral("{1162A5C0-2524-4ca6-A9AE-D2A45D7288C1}");
const QString CTalker::KeyVoicePitch = QStringLiteral("{860E9813-0411-4e1c-8052-2E1846ECE28F}");
const QString CTalker::KeyPlayAnimation = QStringLiteral("{0DF298B0-D757-447f-B908-7B5B831799D6}");
const QString CTalker::KeyBalloonFontName = QStringLiteral("{4620E23A-4C8B-446d-A77C-97ACE6F464DC}");
const QString CTalker::KeyBalloonFontSize = QStringLiteral("{ABA85590-95A0-4051-BCA5-2165BE5B424A}");
const QString CTalker::KeyLeft = QStringLiteral("{1A8ED270-6A65-49d7-B12C-2C255C55A176}");
const QString CTalker::KeyTop = QStringLiteral("{F0BA614E-8AEB-4266-A8E1-0C5BF2EA4C30}");
const QString CTalker::KeySpokenCount = QStringLiteral("{1CB50200-A1F0-4747-AC11-4786DFE17FFF}");
const QString CTalker::KeyGesture = QStringLiteral("{588C96AC-F755-411f-9440-1589840D47CC}");
const QString CTalker::KeyNewMessagePhrase = QStringLiteral("{660F580D-F3AE-4dda-8791-44429B763FCA}");
const QString CTalker::KeySaySender = QStringLiteral("{E5226DC9-9243-4243-9978-E1918D943B5E}");
const QString CTalker::KeySenderPhrase = QStringLiteral("{1C9B7A8E-544E-4885-85A3-18BA486DFAAD}");
const QString CTalker::KeySaySubject = QStringLiteral("{CC446F1A-302A-4e6d-9342-6569B8546EB8}");
const QString CTalker::KeySubjectPhrase = QStringLiteral("{295376A5-3A2D-4888-A28E-D37006A81425}");
const QString CTalker::KeyStripQuoted = QStringLiteral("{5180D24F-05A6-4824-90E8-BFA5F4022CE1}");
const QString CTalker::KeySayBody = QStringLiteral("{9DE28D89-8691-444c-AC7A-41320A1A72CF}");

namespace {
const QString Pause = QStringLiteral("\\Pau=100\\");
const QString CrLf = QStringLiteral("\r\n");
}

CTalker::CTalker(QObject *parent) : QObject(parent), m_waver(new CWaver(this)) {}

CTalker::~CTalker()
{
    trace(QStringLiteral("Class_Terminate()"), QStringLiteral("Class_Terminate"));
    *m_alive = false;
    for (QEventLoop *loop : std::as_const(m_waits))
        loop->quit();
    if (m_agent && m_character) {
        try {
            m_agent->Characters()->Unload(m_characterId);
        } catch (...) {
        }
    }
}

void CTalker::Init(CSettings *settings, LogPtr log, QObject *agent)
{
    m_settings = settings;
    m_log = std::move(log);
    m_agent = qobject_cast<AgentControl *>(agent);
    m_spool.clear();
    m_waver->Init(settings, m_log, m_agent);
    if (m_agent) {
        // A character unloaded behind our back must not be used again.
        connect(m_agent->Characters(), &AgentCharacters::unloaded, this, [this](const QString &id) {
            if (id == m_characterId) {
                m_character = nullptr;
                m_characterId.clear();
            }
        });
    }
}

// ---- helpers ------------------------------------------------------------------------

void CTalker::trace(const QString &text, const QString &member) const
{
    if (m_log)
        m_log->Trace(text, QStringLiteral("CTalker.") + member);
}

void CTalker::logError(qint64 number, const QString &description, const QString &member) const
{
    if (m_log)
        m_log->Write(number, description, Log::LevelError, QStringLiteral("CTalker.") + member);
}

QVariant CTalker::setting(const QString &key, const QVariant &fallback) const
{
    if (!m_settings)
        return fallback;
    return m_settings->GetSetting(key, fallback);
}

QSize CTalker::screenSize() const
{
    const QSize s = m_screenSize ? m_screenSize() : QSize();
    return s.isValid() && !s.isEmpty() ? s : DefaultScreenSize;
}

AgentCharacter *CTalker::requireCharacter() const
{
    if (!m_character)
        throw MUError(MUError::Fail, QStringLiteral("No character is loaded. "), QStringLiteral("CTalker"));
    return m_character;
}

bool CTalker::characterVisible() const
{
    return m_character && m_character->Visible();
}

bool CTalker::waitFor(const AgentRequestPtr &request, bool onlyInProgress)
{
    if (!request)
        return true;
    auto waiting = [&request, onlyInProgress] {
        const int s = request->Status();
        return onlyInProgress ? s == AgentRequest::StatusInProgress
                        : (s == AgentRequest::StatusPending || s == AgentRequest::StatusInProgress);
    };
    if (!waiting() || m_finalizing)
        return true;
    QEventLoop loop;
    connect(request.get(), &AgentRequest::finished, &loop, &QEventLoop::quit);
    m_waits.append(&loop);
    const std::shared_ptr<bool> alive = m_alive;
    loop.exec();
    if (!*alive)
        return false;
    m_waits.removeOne(&loop);
    return true;
}

// ---- queuing ------------------------------------------------------------------------

void CTalker::TalkMsg(const Record &msg)
{
    if (m_finalizing)
        return;
    m_spool.append(MsgToString(msg, true));
    Q_EMIT Spooled();
}

void CTalker::Talk(const QString &text)
{
    if (m_finalizing)
        return;
    trace(QStringLiteral("Talk() call"), QStringLiteral("Talk"));
    QString t = text;
    t.replace(QLatin1Char('|'), QLatin1Char(' '));
    m_spool.append(t);
    Q_EMIT Spooled();
}

void CTalker::TalkWelcome()
{
    if (m_finalizing)
        return;
    trace(QStringLiteral("TalkWelcome() call"), QStringLiteral("TalkWelcome"));
    try {
        const QString greeting = requireCharacter()->ExtraData().split(QStringLiteral("^^")).first();
        if (greeting.isEmpty())
            return;
        m_spool.append(QString(greeting).replace(QStringLiteral("~~"), QStringLiteral("|")));
        Q_EMIT Spooled();
    } catch (const MUError &e) {
        logError(e.number(), e.description(), QStringLiteral("TalkWelcome"));
    }
}

QString CTalker::MsgToString(const Record &msg, bool itsANewMessage, bool withContent)
{
    try {
        QString s = QStringLiteral("\\Ctx=Email\\");
        if (itsANewMessage)
            s += setting(KeyNewMessagePhrase, QStringLiteral("New message has arrived!")).toString() + CrLf;
        if (Utility::ToBool(setting(KeySaySender, true), true))
            s += setting(KeySenderPhrase, QStringLiteral("From")).toString() + QLatin1Char(' ') +
                 SpokenText::AsSpokenText(msg.text(QStringLiteral("From"))) + Pause + CrLf;
        if (Utility::ToBool(setting(KeySaySubject, true), true))
            s += setting(KeySubjectPhrase, QString()).toString() + QLatin1Char(' ') +
                 SpokenText::AsSpokenText(msg.text(QStringLiteral("Subject")).toLower()) + Pause + CrLf;
        if (withContent && Utility::ToBool(setting(KeySayBody, true), true) && msg.Exists(QStringLiteral("Content"))) {
            QString c = SpokenText::UnwrapLines(msg.text(QStringLiteral("Content")));
            if (Utility::ToBool(setting(KeyStripQuoted, true), true))
                c = SpokenText::StripQuotedLines(c, 5, QStringLiteral("--Original Message--"),
                                     QStringLiteral("-- Original Message --"));
            s += SpokenText::AsSpokenText(c) + CrLf;
        }
        return s;
    } catch (const MUError &e) {
        logError(e.number(), e.description(), QStringLiteral("MsgToString"));
        return {};
    }
}

QString CTalker::AddVoiceTags(const QString &chunk) const
{
    QString c = chunk;
    if (m_characterOfVoice == QLatin1String("Monotone") || m_characterOfVoice == QLatin1String("Normal") ||
        m_characterOfVoice == QLatin1String("Whisper"))
        c = QStringLiteral("\\chr=\"") + m_characterOfVoice + QStringLiteral("\"\\") + c;
    c = QStringLiteral("\\Spd=") + QString::number(m_voiceSpeed) + QLatin1Char('\\') + c;
    c = QStringLiteral("\\Pit=") + QString::number(m_voicePitch) + QLatin1Char('\\') + c;
    return c;
}

// ---- speaking -----------------------------------------------------------------------

void CTalker::ShowCharacter()
{
    try {
        waitFor(requireCharacter()->Show(!m_playAnimation));
    } catch (const MUError &e) {
        logError(e.number(), e.description(), QStringLiteral("ShowCharacter"));
    }
}

void CTalker::PlayGestureSafe(const QString &gesture)
{
    if (gesture.isEmpty())
        return;
    if (!characterVisible())
        ShowCharacter();
    AgentRequestPtr request;
    try {
        request = requireCharacter()->Play(gesture);
    } catch (const MUError &) {
        return;   // the character has no such animation
    }
    waitFor(request);
}

void CTalker::TalkFromSpool()
{
    if (m_finalizing)
        return;
    if (m_talking)
        return;   // a run further up the call chain speaks what is queued now
    m_skipRequested = false;
    m_stopRequested = false;
    if (m_spool.isEmpty())
        return;
    const std::shared_ptr<bool> alive = m_alive;
    try {
        m_talking = true;
        Q_EMIT StartTalking();
        if (!*alive)
            return;
        if (!characterVisible())
            ShowCharacter();
        while (!m_spool.isEmpty()) {
            if (m_finalizing || m_stopRequested)
                break;
            m_skipRequested = false;
            const qint64 spoken = Utility::ToInt(setting(KeySpokenCount, 0), 0);
            if (m_settings)
                m_settings->SaveSetting(KeySpokenCount, spoken + 1);

            QString t = SpokenText::CollapseRepeats(m_spool.takeFirst());
            // Every line end is a pause; the line end stays behind it, so the balloon shows
            // sender, subject and body on lines of their own (speech takes it as a blank).
            t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
            t.replace(QLatin1Char('\n'), Pause + QLatin1Char('\n'));

            PlayGestureSafe(setting(KeyGesture, QString()).toString());
            if (!*alive)
                return;
            for (const QString &chunk : SpokenText::Chunks(t)) {
                if (m_skipRequested || m_stopRequested || m_finalizing)
                    break;
                if (!characterVisible())
                    ShowCharacter();
                if (!waitFor(requireCharacter()->Speak(AddVoiceTags(chunk))))
                    return;
            }
        }
        // The agent starts every request from its event loop, so a fresh Hide is always
        // pending first: waiting only while it is in progress would not wait at all.
        if (m_character && !m_finalizing) {
            if (!waitFor(m_character->Hide()))
                return;
        }
        Q_EMIT StopTalking();
        if (!*alive)
            return;
        m_talking = false;
    } catch (const MUError &e) {
        m_talking = false;
        logError(e.number(), e.description(), QStringLiteral("TalkFromSpool"));
    }
}

void CTalker::StopTalking(bool withPendingMessages)
{
    if (withPendingMessages)
        m_spool.clear();
    m_skipRequested = true;
    if (withPendingMessages)
        m_stopRequested = true;
    if (m_character)
        m_character->StopAll();
}

// ---- the character ------------------------------------------------------------------

void CTalker::LoadCharacterSettings()
{
    m_characterName = setting(KeyCharacterName, QStringLiteral("Merlin")).toString();
    m_characterSize = int(Utility::ToInt(setting(KeyCharacterSize, 128), 128));
    m_characterOfVoice = setting(KeyCharacterOfVoice, QStringLiteral("Normal")).toString();
    m_voiceSpeed = int(Utility::ToInt(setting(KeyVoiceSpeed, 146), 146));
    m_voicePitch = int(Utility::ToInt(setting(KeyVoicePitch, 50), 50));
    m_playAnimation = Utility::ToBool(setting(KeyPlayAnimation, true), true);
    m_balloonFontName = setting(KeyBalloonFontName, QStringLiteral("MS Sans Serif")).toString();
    m_balloonFontSize = int(Utility::ToInt(setting(KeyBalloonFontSize, 10), 10));
}

QString CTalker::CharacterFileIn(const QString &folder, const QString &name)
{
    const QString wanted = name + QStringLiteral(".acs");
    const QString exact = folder + QLatin1Char('/') + wanted;
    if (QFileInfo(exact).isFile())
        return exact;
    const QStringList files = QDir(folder).entryList({QStringLiteral("*")}, QDir::Files, QDir::Name);
    for (const QString &file : files) {
        if (file.compare(wanted, Qt::CaseInsensitive) == 0)
            return folder + QLatin1Char('/') + file;
    }
    return {};
}

QString CTalker::findCharacterFile(const QString &name) const
{
    const QString user = CharacterFileIn(Paths::UserCharactersDir(), name);
    if (!user.isEmpty())
        return user;
    const QString bundledFolder = Paths::FindShared(QStringLiteral("chars"));
    const QString bundled = bundledFolder.isEmpty() ? QString() : CharacterFileIn(bundledFolder, name);
    // Not found: the load fails on the user's path and says which file it wanted.
    return bundled.isEmpty() ? Paths::UserCharactersDir() + QLatin1Char('/') + name + QStringLiteral(".acs") : bundled;
}

void CTalker::LoadAgent()
{
    trace(QStringLiteral("LoadAgent() call"), QStringLiteral("LoadAgent"));
    QString newId;
    try {
        LoadCharacterSettings();
        if (!m_agent)
            throw MUError(MUError::Fail, QStringLiteral("No agent control. "), QStringLiteral("CTalker.LoadAgent"));
        if (m_characterName.isEmpty() || m_characterName.contains(QLatin1Char('/')) ||
            m_characterName.startsWith(QLatin1Char('.')))
            throw MUError(MUError::Fail, QStringLiteral("Not a character name. "), QStringLiteral("CTalker.LoadAgent"));
        const QString id = Utility::NewGuidString();
        m_agent->Characters()->Load(id, findCharacterFile(m_characterName));
        newId = id;
        AgentCharacter *c = m_agent->Characters()->Item(id);

        // Height as set, width in the proportions the character was drawn with.
        const double ratio = double(c->Height()) / double(qMax(1, c->Width()));
        c->setHeight(m_characterSize);
        c->setWidth(int(qRound(double(c->Height()) / ratio)));

        AgentBalloon *balloon = c->Balloon();
        if (!m_balloonFontName.isEmpty())
            balloon->setFontName(m_balloonFontName);
        balloon->setFontSize(m_balloonFontSize);
        balloon->setStyle(balloon->Style() | AgentBalloon::StyleBalloonOn);
        balloon->setStyle(balloon->Style() | AgentBalloon::StyleSizeToText);
        if (balloon->Style() & AgentBalloon::StyleAutoPace)
            balloon->setStyle(balloon->Style() & ~AgentBalloon::StyleAutoPace);
        balloon->setStyle((balloon->Style() & 0x00FFFFFFu) | (16u << 24));
        balloon->setStyle((balloon->Style() & 0xFF00FFFFu) | (30u << 16));

        // A saved place wholly off the screen (another monitor layout, a hand-edited setting)
        // would leave the character unseen: such a place falls back to the centre.
        const QSize screen = screenSize();
        int left = int(Utility::ToInt(setting(KeyLeft, screen.width() / 2), screen.width() / 2));
        if (left > screen.width() || left + c->Width() <= 0)
            left = screen.width() / 2;
        int top = int(Utility::ToInt(setting(KeyTop, screen.height() / 2), screen.height() / 2));
        if (top > screen.height() || top + c->Height() <= 0)
            top = screen.height() / 2;
        c->MoveTo(left, top, 0);

        // The previous character, if the caller did not unload it, gives way quietly.
        const QString oldId = m_characterId;
        m_characterId = id;
        m_character = c;
        if (!oldId.isEmpty() && m_agent->Characters()->find(oldId)) {
            try {
                m_agent->Characters()->Unload(oldId);
            } catch (const MUError &) {
            }
        }
    } catch (const MUError &e) {
        if (!newId.isEmpty() && newId != m_characterId && m_agent) {
            try {
                m_agent->Characters()->Unload(newId);
            } catch (const MUError &) {
            }
        }
        throw MUError::engine(526, QStringLiteral("CTalker.LoadAgent"), {m_characterName},
                              e.description() + QLatin1Char('(') + QString::number(e.number()) + QLatin1Char(')'));
    }
}

void CTalker::UnloadAgent()
{
    trace(QStringLiteral("UnloadAgent() call"), QStringLiteral("UnloadAgent"));
    try {
        if (m_agent && !m_characterId.isEmpty())
            m_agent->Characters()->Unload(m_characterId);
    } catch (...) {
    }
    m_character = nullptr;
    m_characterId.clear();
    Q_EMIT StopTalking();
}

void CTalker::Finalize()
{
    trace(QStringLiteral("Finalize() call"), QStringLiteral("Finalize"));
    m_finalizing = true;
    try {
        if (m_character)
            m_character->StopAll();
        m_spool.clear();
        m_waver->Finalize();
        UnloadAgent();
    } catch (...) {
    }
    for (QEventLoop *loop : std::as_const(m_waits))
        loop->quit();
    m_character = nullptr;
    m_agent = nullptr;
    m_settings = nullptr;
}

void CTalker::PlayWav(const QString &fileName, bool async)
{
    Q_UNUSED(async)
    trace(QStringLiteral("PlayWav() call"), QStringLiteral("PlayWav"));
    m_waver->PlayWav(fileName, false);
}
