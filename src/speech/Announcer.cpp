#include "Announcer.h"
#include "CTalker.h"
#include "MessageText.h"
#include "storage/CSettings.h"
#include "trellis/DataBag.h"
#include "trellis/Utility.h"

const QString Announcer::KeyPhrases = QStringLiteral("{B73F276B-D692-40fb-AAD7-6346D03FF8B0}");
const QString Announcer::KeyAnnounceSpam = QStringLiteral("{1F3B209B-9CB2-4ec8-BAEA-E47DC8DDDD68}");
const QString Announcer::KeySpamNotice = QStringLiteral("{796C844F-5833-4d89-80FD-1D3427E16EB8}");
const QString Announcer::KeyNewMailSound = QStringLiteral("{6084A00F-A059-4a3d-AFC2-45EA2B0910E4}");

namespace {
/// A stored option, or `fallback` when none is stored or the store fails (the
/// announcement goes on with the default).
QVariant setting(CSettings *settings, const QString &key, const QVariant &fallback)
{
    if (!settings)
        return fallback;
    try {
        return settings->GetSetting(key, fallback);
    } catch (...) {
        return fallback;
    }
}
}

QStringList Announcer::DefaultPhrases()
{
    return {QStringLiteral("$$$"), QStringLiteral("money, free")};
}

QString Announcer::DefaultNotice()
{
    return QStringLiteral("Spam message has arrived");
}

QStringList Announcer::FromStored(const QVariant &value)
{
    QStringList out;
    if (value.typeId() == qMetaTypeId<DataBag>()) {
        for (const QVariant &v : value.value<DataBag>())
            out << v.toString();
    } else if (value.typeId() == QMetaType::QVariantList || value.typeId() == QMetaType::QStringList) {
        for (const QVariant &v : value.toList())
            out << v.toString();
    }
    return out;
}

QStringList Announcer::Phrases(CSettings *settings, bool *exists)
{
    const QVariant stored = settings->GetSetting(KeyPhrases);
    if (exists)
        *exists = stored.isValid();
    return stored.isValid() ? FromStored(stored) : DefaultPhrases();
}

bool Announcer::Matches(const QStringList &phrases, const QString &text)
{
    // An empty search string is found (QString::contains agrees), so a blank phrase
    // and "," match every message.
    for (const QString &phrase : phrases) {
        bool match = true;
        if (phrase.contains(QLatin1Char(','))) {
            for (const QString &part : phrase.split(QLatin1Char(','))) {
                if (!text.contains(part.trimmed(), Qt::CaseInsensitive)) {
                    match = false;
                    break;
                }
            }
        } else {
            match = text.contains(phrase.trimmed(), Qt::CaseInsensitive);
        }
        if (match)
            return true;
    }
    return false;
}

QString Announcer::SpamText(const Record &msg)
{
    QString text = msg.text(QStringLiteral("Subject"));
    if (msg.Exists(QStringLiteral("Content")))
        text += QLatin1Char(' ') + msg.text(QStringLiteral("Content"));
    return text;
}

bool Announcer::IsSpam(CSettings *settings, const QString &text)
{
    if (!settings)
        return false;
    QStringList phrases;
    try {
        phrases = Phrases(settings);
    } catch (...) {
        return false;
    }
    return Matches(phrases, text);
}

Record Announcer::Speakable(const Record &msg)
{
    if (!msg.Exists(QStringLiteral("Content")))
        return msg;
    // Speak what a reader sees, not the raw message with its headers and markup.
    const QString body = MessageText::PlainText(msg.text(QStringLiteral("Content")));
    Record spoken;
    spoken.setId(msg.Id());
    for (const QString &name : msg.names()) {
        if (name.compare(QLatin1String("Content"), Qt::CaseInsensitive) != 0)
            spoken.Add(name, msg.Item(name));
    }
    if (!body.trimmed().isEmpty())
        spoken.Add(QStringLiteral("Content"), body);
    return spoken;
}

Announcer::Announcement Announcer::Of(CSettings *settings, const Record &msg)
{
    Announcement a;
    a.spam = IsSpam(settings, SpamText(msg));
    if (a.spam) {
        if (Utility::ToBool(setting(settings, KeyAnnounceSpam, true), true))
            a.notice = setting(settings, KeySpamNotice, DefaultNotice()).toString();
        return a;
    }
    const QString sound = setting(settings, KeyNewMailSound, QString()).toString();
    if (!sound.trimmed().isEmpty())
        a.sound = sound;
    a.message = Speakable(msg);
    return a;
}

void Announcer::Say(const Announcement &a, CTalker *talker, const std::function<bool()> &keepGoing)
{
    if (!talker)
        return;
    if (a.spam) {
        if (!a.notice.isEmpty())
            talker->Talk(a.notice);
        return;
    }
    if (!a.sound.isEmpty()) {
        talker->PlayWav(a.sound, false);
        if (keepGoing && !keepGoing())
            return;
    }
    talker->TalkMsg(a.message);
}

QString Announcer::Text(const Announcement &a, CTalker *talker)
{
    if (a.spam)
        return a.notice;
    return talker ? talker->MsgToString(a.message, true) : QString();
}
