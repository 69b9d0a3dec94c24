#pragma once
#include "trellis/Log.h"
#include "trellis/Record.h"

#include <QHash>
#include <QString>
#include <functional>
#include <optional>

class CSettings;
class CTalker;
struct AgentUserInput;

/// The eight main-window commands that can be given by voice: their table, the stored
/// phrases and flags, their registration with the character, their visibility while it
/// talks, and the dispatch of a chosen command. Main thread.
class VoiceCommands
{
public:
    struct Command
    {
        QString name;            ///< the command's id and the main-window handler it runs
        QString caption;         ///< shown by the character's menu
        QString label;           ///< the row label on the options page
    };
    static const QString Key;
    /// The record's property for listening all the time (Boolean, off when missing).
    static const QString HandsFree;
    /// The record's property naming the key held to listen (ListeningKey::Choices(); empty
    /// for none; the default key when missing).
    static const QString ListeningKeyName;
    /// The stored listening key of `record`.
    static QString ListeningKeyOf(const Record &record);
    static constexpr int CommandCount = 8;
    static const QList<Command> &Table();
    /// The caption without ":" and "&".
    static QString DefaultPhrase(int index);

    /// The default record, saved under the key (errors of the store pass to the caller).
    static Record DefaultVoiceCommands(CSettings *settings);
    /// The stored record, or DefaultVoiceCommands when none is stored.
    static Record Stored(CSettings *settings);
    /// Rebuilds the loaded character's commands from the setting, listens all the time when
    /// the setting asks for it and grabs the listening key; a key that cannot be had is
    /// written to `log` and returned (empty when all is well); other errors are ignored.
    static QString RegisterVoiceCommands(CTalker *talker, CSettings *settings, LogPtr log = {});
    /// Shows the commands that fit the talking state (none given: as set); errors go
    /// to `log` with the source "General.VoiceCommandsShowHide".
    static void VoiceCommandsShowHide(LogPtr log, CTalker *talker, CSettings *settings,
                                      std::optional<bool> talking = std::nullopt);
    /// Runs the handler named by the chosen command; names outside the table do nothing.
    /// Returns whether a handler ran.
    static bool Dispatch(LogPtr log, const AgentUserInput &input,
                         const QHash<QString, std::function<void()>> &handlers);

    /// A stored record value (a Record, or the plain map it is stored as) as a Record
    /// in table order; false when `value` holds none.
    static bool FromStored(const QVariant &value, Record *record);
    /// Stores `record` under the key.
    static void Save(CSettings *settings, const Record &record);
};
