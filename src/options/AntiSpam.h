#pragma once
#include "trellis/DataBag.h"
#include "trellis/Record.h"

#include <QString>
#include <QStringList>

class CSettings;

/// The spam test of new mail and the storage of its phrase list. Main thread (it
/// reads the settings store).
class AntiSpam
{
public:
    static const QString KeyPhrases;
    static const QString KeyNotify;
    static const QString KeyNotice;

    /// The phrases that act until the user saves a list of their own.
    static QStringList DefaultPhrases();
    /// The notice said for spam until the user saves one of their own.
    static QString DefaultNotice();

    /// True when `text` matches one of the phrases in force (the stored list, or the
    /// defaults while none is stored). An unreadable list matches nothing.
    static bool IsSpam(CSettings *settings, const QString &text);
    /// True when `text` matches one of `phrases` (the rules of the filter).
    static bool Matches(const QStringList &phrases, const QString &text);
    /// The text the test looks at: the subject, and " " plus the content when the
    /// message carries its downloaded text.
    static QString SpamText(const Record &msg);

    /// The phrase list in force: the stored one, or the defaults while none is stored
    /// (`exists` tells which). Throws what the settings store throws.
    static QStringList Phrases(CSettings *settings, bool *exists = nullptr);
    /// Stores `phrases` in order.
    static void SavePhrases(CSettings *settings, const QStringList &phrases);
    /// A stored list value as texts (a DataBag, or the plain list it is stored as).
    static QStringList FromStored(const QVariant &value);
    static DataBag ToDataBag(const QStringList &phrases);
};
