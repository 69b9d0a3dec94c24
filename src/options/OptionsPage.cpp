#include "OptionsPage.h"
#include "AgentCharacter.h"
#include "engine/MUScripting.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "trellis/Utility.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>

OptionsPage::OptionsPage(QWidget *parent) : QWidget(parent) {}

void OptionsPage::Init(MUScripting *scripting, QPushButton *applyButton, QPushButton *okButton, LogPtr log)
{
    m_scripting = scripting;
    m_apply = applyButton;
    m_ok = okButton;
    m_log = log;
    trace(QStringLiteral("IOptUC_Init() call"), QStringLiteral("IOptUC_Init"));
    m_loading = true;
    try {
        load();
    } catch (...) {
    }
    m_loading = false;
}

CSettings *OptionsPage::settings() const
{
    return m_scripting ? m_scripting->settings() : nullptr;
}

CTalker *OptionsPage::talker() const
{
    return m_scripting ? m_scripting->talker() : nullptr;
}

QVariant OptionsPage::setting(const QString &key, const QVariant &fallback) const
{
    try {
        if (CSettings *s = settings())
            return s->GetSetting(key, fallback);
    } catch (...) {
    }
    return fallback;
}

QString OptionsPage::settingText(const QString &key, const QString &fallback) const
{
    return setting(key, fallback).toString();
}

bool OptionsPage::settingBool(const QString &key, bool fallback) const
{
    return Utility::ToBool(setting(key, fallback), fallback);
}

int OptionsPage::settingInt(const QString &key, int fallback) const
{
    return int(Utility::ToInt(setting(key, fallback), fallback));
}

void OptionsPage::save(const QString &key, const QVariant &value)
{
    if (CSettings *s = settings())
        s->SaveSetting(key, value);
}

void OptionsPage::changed()
{
    if (!m_loading && m_apply)
        m_apply->setEnabled(true);
}

void OptionsPage::fillGestures(QComboBox *combo, const QString &key)
{
    combo->clear();
    QStringList names;
    if (CTalker *t = talker(); t && t->Character())
        names = t->Character()->AnimationNames();
    combo->addItems(names);
    const QString first = names.value(0);
    QString text = settingText(key, first);
    if (text.trimmed().isEmpty())
        text = first;
    combo->setCurrentText(text);
}

void OptionsPage::previewGesture(const QString &gesture)
{
    try {
        CTalker *t = talker();
        AgentCharacter *c = t ? t->Character() : nullptr;
        if (!c)
            return;
        if (!c->Visible())
            c->Show(true);
        c->Play(gesture);
    } catch (...) {
    }
}

void OptionsPage::trace(const QString &text, const QString &member) const
{
    if (m_log)
        m_log->Write(0, text, Log::LevelTrace, QString::fromLatin1(metaObject()->className()) + QLatin1Char('.') + member);
}

void OptionsPage::addRow(QFormLayout *form, const QString &text, QLayout *field, QWidget *buddy)
{
    auto *label = new QLabel(text, form->parentWidget());
    label->setBuddy(buddy);
    form->addRow(label, field);
}
