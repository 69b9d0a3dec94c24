#include "AntiSpam.h"
#include "speech/Announcer.h"
#include "storage/CSettings.h"

void AntiSpam::SavePhrases(CSettings *settings, const QStringList &phrases)
{
    // The settings store keeps a plain list: the same texts in the same order as the
    // DataBag the page builds (a DataBag has no stored form of its own).
    QVariantList list;
    for (const QVariant &v : ToDataBag(phrases))
        list << v;
    settings->SaveSetting(Announcer::KeyPhrases, list);
}

DataBag AntiSpam::ToDataBag(const QStringList &phrases)
{
    DataBag bag;
    for (const QString &p : phrases)
        bag.Add(p);
    return bag;
}
