#include "VoiceCommands.h"
#include "AgentCharacter.h"
#include "AgentCommand.h"
#include "AgentCommands.h"
#include "AgentControl.h"
#include "AgentUserInput.h"
#include "ListeningKey.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "trellis/MUError.h"
#include "trellis/Utility.h"

const QString VoiceCommands::Key = QStringLiteral("{58489B48-5E1C-4aa2-AADB-FD1CFBA81EBC}");
const QString VoiceCommands::HandsFree = QStringLiteral("HandsFree");
const QString VoiceCommands::ListeningKeyName = QStringLiteral("ListeningKey");

namespace {
const QString kDisableAll = QStringLiteral("DisableAll");
const QString kStop = QStringLiteral("mnuStopTalking_Click");
const QString kSkip = QStringLiteral("mnuSkipMessage_Click");
const QString kCheck = QStringLiteral("mnuCheckForNewMessagesAllAccounts_Click");

bool flag(const Record &rec, const QString &name)
{
    return Utility::ToBool(rec.Item(name), false);
}
}

const QList<VoiceCommands::Command> &VoiceCommands::Table()
{
    static const QList<Command> table = {
        {kCheck, QStringLiteral("C&heck Mail"), QStringLiteral("C&heck mail:")},
        {QStringLiteral("mnuTalkDate_Click"), QStringLiteral("Say &Date"), QStringLiteral("Say &date:")},
        {QStringLiteral("mnuTalkTime_Click"), QStringLiteral("Say &Time"), QStringLiteral("Say &time:")},
        {QStringLiteral("mnuTalkClipboard_Click"), QStringLiteral("Read &Clipboard"), QStringLiteral("Read &clipboard:")},
        {QStringLiteral("mnuPlayWavFile_Click"), QStringLiteral("Play &WAV File"), QStringLiteral("Play &WAV file:")},
        {QStringLiteral("mnuReadTextFile_Click"), QStringLiteral("&Read Text File"), QStringLiteral("&Read text file:")},
        {kStop, QStringLiteral("&Stop Talking"), QStringLiteral("&Stop talking:")},
        {kSkip, QStringLiteral("Skip &Message"), QStringLiteral("Skip &message:")},
    };
    return table;
}

QString VoiceCommands::DefaultPhrase(int index)
{
    QString p = Table().at(index).caption;
    p.remove(QLatin1Char(':'));
    p.remove(QLatin1Char('&'));
    return p;
}

Record VoiceCommands::DefaultVoiceCommands(CSettings *settings)
{
    Record rec;
    rec.Add(kDisableAll, false);
    for (int i = 0; i < CommandCount; ++i) {
        const QString &name = Table().at(i).name;
        rec.Add(QStringLiteral("Command") + name, DefaultPhrase(i));
        rec.Add(QStringLiteral("Enabled") + name, true);
        rec.Add(QStringLiteral("Visible") + name, true);
    }
    rec.Add(HandsFree, false);
    rec.Add(ListeningKeyName, ListeningKey::DefaultKey());
    Save(settings, rec);
    return rec;
}

bool VoiceCommands::FromStored(const QVariant &value, Record *record)
{
    if (value.typeId() == qMetaTypeId<Record>()) {
        *record = value.value<Record>();
        return true;
    }
    if (value.typeId() != QMetaType::QVariantMap)
        return false;
    const QVariantMap map = value.toMap();
    Record rec;
    // Table order, then anything else that was stored.
    QStringList order{kDisableAll};
    for (const Command &c : Table())
        order << QStringLiteral("Command") + c.name << QStringLiteral("Enabled") + c.name
              << QStringLiteral("Visible") + c.name;
    order << HandsFree << ListeningKeyName;
    for (const QString &name : order) {
        if (map.contains(name))
            rec.Add(name, map.value(name));
    }
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (!rec.Exists(it.key()))
            rec.Add(it.key(), it.value());
    }
    *record = rec;
    return true;
}

void VoiceCommands::Save(CSettings *settings, const Record &record)
{
    // A Record has no stored form of its own: the store keeps its properties as a map.
    QVariantMap map;
    for (const QString &name : record.names())
        map.insert(name, record.Item(name));
    settings->SaveSetting(Key, map);
}

Record VoiceCommands::Stored(CSettings *settings)
{
    Record rec;
    if (FromStored(settings->GetSetting(Key), &rec))
        return rec;
    return DefaultVoiceCommands(settings);
}

QString VoiceCommands::ListeningKeyOf(const Record &record)
{
    return record.Exists(ListeningKeyName) ? record.text(ListeningKeyName) : ListeningKey::DefaultKey();
}

QString VoiceCommands::RegisterVoiceCommands(CTalker *talker, CSettings *settings, LogPtr log)
{
    QString error;
    try {
        if (!talker || !settings || !talker->Character())
            return error;
        AgentCommands *commands = talker->Character()->Commands();
        commands->RemoveAll();
        const Record rec = Stored(settings);
        const bool disableAll = flag(rec, kDisableAll);
        for (const Command &c : Table()) {
            commands->Add(c.name, c.caption, rec.text(QStringLiteral("Command") + c.name),
                          flag(rec, QStringLiteral("Enabled") + c.name) && !disableAll,
                          flag(rec, QStringLiteral("Visible") + c.name));
        }
        if (AgentControl *control = talker->Character()->control()) {
            control->setHandsFree(flag(rec, HandsFree) && !disableAll);
            if (!control->setListeningKey(disableAll ? QString() : ListeningKeyOf(rec), &error) && log)
                log->Write(0, error, Log::LevelError, QStringLiteral("General.RegisterVoiceCommands"));
        }
    } catch (...) {
    }
    return error;
}

void VoiceCommands::VoiceCommandsShowHide(LogPtr log, CTalker *talker, CSettings *settings,
                                          std::optional<bool> talking)
{
    const QString source = QStringLiteral("General.VoiceCommandsShowHide");
    try {
        if (!talker || !settings)
            return;
        const Record rec = Stored(settings);
        auto visible = [&](const QString &name) { return flag(rec, QStringLiteral("Visible") + name); };
        auto commands = [&]() -> AgentCommands * {
            if (!talker->Character())
                throw MUError(MUError::Fail, QStringLiteral("No character is loaded. "), source);
            return talker->Character()->Commands();
        };
        // Stop and Skip, re-registering once when the character lost them (a reload).
        auto stopAndSkip = [&](bool on) {
            try {
                commands()->Item(kStop)->setVisible(visible(kStop) && on);
                commands()->Item(kSkip)->setVisible(visible(kSkip) && on);
            } catch (const MUError &) {
                RegisterVoiceCommands(talker, settings);
                commands()->Item(kStop)->setVisible(visible(kStop) && on);
                commands()->Item(kSkip)->setVisible(visible(kSkip) && on);
            }
        };
        stopAndSkip(talking.value_or(false));
        for (const Command &c : Table())
            commands()->Item(c.name)->setVisible(visible(c.name));
        if (talking) {
            stopAndSkip(*talking);
            for (const Command &c : Table()) {
                if (c.name == kStop || c.name == kSkip || c.name == kCheck)
                    continue;
                commands()->Item(c.name)->setVisible(*talking ? false : visible(c.name));
            }
        }
    } catch (const MUError &e) {
        if (log)
            log->Write(e.number(), e.description(), Log::LevelError, source);
    } catch (...) {
    }
}

bool VoiceCommands::Dispatch(LogPtr log, const AgentUserInput &input,
                             const QHash<QString, std::function<void()>> &handlers)
{
    if (log)
        log->Write(0, QStringLiteral("Agent1_Command() call"), Log::LevelTrace, QStringLiteral("FMain.Agent1_Command"));
    for (const Command &c : Table()) {
        if (c.name == input.Name) {
            const auto it = handlers.constFind(c.name);
            if (it == handlers.cend() || !*it)
                return false;
            (*it)();
            return true;
        }
    }
    return false;
}
