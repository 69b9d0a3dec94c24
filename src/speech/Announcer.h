#pragma once
#include "trellis/Record.h"

#include <QString>
#include <QStringList>
#include <functional>

class CSettings;
class CTalker;

/// What is said when a message arrives, the same for the window and the command line:
/// the spam test of its subject and text, the notice said instead of a spam message, the
/// new-mail sound, and the message with its body as a reader sees it. Main thread (it
/// reads the settings store).
class Announcer
{
public:
    static const QString KeyPhrases;
    static const QString KeyAnnounceSpam;
    static const QString KeySpamNotice;
    static const QString KeyNewMailSound;

    /// The spam phrases that act until the user saves a list of their own.
    static QStringList DefaultPhrases();
    /// The notice said for spam until the user saves one of their own.
    static QString DefaultNotice();

    /// The phrase list in force: the stored one, or the defaults while none is stored
    /// (`exists` tells which). Throws what the settings store throws.
    static QStringList Phrases(CSettings *settings, bool *exists = nullptr);
    /// A stored list value as texts (a DataBag, or the plain list it is stored as).
    static QStringList FromStored(const QVariant &value);
    /// True when `text` matches one of `phrases`: a phrase with commas matches when every
    /// part is found, any other when it is found; case is ignored.
    static bool Matches(const QStringList &phrases, const QString &text);
    /// The text the spam test looks at: the subject, and " " plus the content when the
    /// message carries its downloaded text.
    static QString SpamText(const Record &msg);
    /// True when `text` matches the phrases in force. No store or an unreadable list
    /// matches nothing.
    static bool IsSpam(CSettings *settings, const QString &text);

    /// `msg` as the talker reads it: its content replaced by the text a reader sees
    /// (decoded, without markup), left out when that is blank.
    static Record Speakable(const Record &msg);

    struct Announcement
    {
        bool spam = false;
        QString notice;   ///< said instead of a spam message; empty: nothing is said
        QString sound;    ///< played to its end before the message; empty: none
        Record message;   ///< what the talker reads (not for spam)
    };
    /// How `msg` is announced under the stored options.
    static Announcement Of(CSettings *settings, const Record &msg);
    /// Says `a`: the notice, or the sound to its end and then the message. `keepGoing`
    /// is asked after the sound (whoever holds the talker may let go of it meanwhile).
    static void Say(const Announcement &a, CTalker *talker, const std::function<bool()> &keepGoing = {});
    /// The words said for `a` (the notice, or the talker's text of the message).
    static QString Text(const Announcement &a, CTalker *talker);
};
