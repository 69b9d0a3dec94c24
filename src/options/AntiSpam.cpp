#include "AntiSpam.h"
#include "storage/CSettings.h"
#include "trellis/MUError.h"

const QString AntiSpam::KeyPhrases = QStringLiteral("{B73F276B-D692-40fb-AAD7-6346D03FF8B0}");
const QString AntiSpam::KeyNotify = QStringLiteral("{1F3B209B-9CB2-4ec8-BAEA-E47DC8DDDD68}");
const QString AntiSpam::KeyNotice = QStringLiteral("{796C844F-5833-4d89-80FD-1D3427E16EB8}");

QStringList AntiSpam::DefaultPhrases()
{
    return {QStringLiteral("$$$"), QStringLiteral("money, free")};
}

QString AntiSpam::DefaultNotice()
{
    return QStringLiteral("Spam message has arrived");
}

bool AntiSpam::IsSpam(CSettings *settings, const QString &text)
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

bool AntiSpam::Matches(const QStringList &phrases, const QString &text)
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

QString AntiSpam::SpamText(const Record &msg)
{
    QString text = msg.text(QStringLiteral("Subject"));
    if (msg.Exists(QStringLiteral("Content")))
        text += QLatin1Char(' ') + msg.text(QStringLiteral("Content"));
    return text;
}

QStringList AntiSpam::FromStored(const QVariant &value)
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

QStringList AntiSpam::Phrases(CSettings *settings, bool *exists)
{
    const QVariant stored = settings->GetSetting(KeyPhrases);
    if (exists)
        *exists = stored.isValid();
    return stored.isValid() ? FromStored(stored) : DefaultPhrases();
}

void AntiSpam::SavePhrases(CSettings *settings, const QStringList &phrases)
{
    // The settings store keeps a plain list: the same texts in the same order as the
    // DataBag the page builds (a DataBag has no stored form of its own).
    QVariantList list;
    for (const QVariant &v : ToDataBag(phrases))
        list << v;
    settings->SaveSetting(KeyPhrases, list);
}

DataBag AntiSpam::ToDataBag(const QStringList &phrases)
{
    DataBag bag;
    for (const QString &p : phrases)
        bag.Add(p);
    return bag;
}
