#pragma once
#include "trellis/DataBag.h"

#include <QStringList>

class CSettings;

/// The storage of the spam phrase list the Anti-Spam page edits; the test itself and the
/// options it reads are the announcement's (speech/Announcer). Main thread.
class AntiSpam
{
public:
    /// Stores `phrases` in order.
    static void SavePhrases(CSettings *settings, const QStringList &phrases);
    static DataBag ToDataBag(const QStringList &phrases);
};
