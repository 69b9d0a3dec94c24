#include "OptionsPage.h"
#include "AgentCharacter.h"
#include "engine/MUScripting.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "trellis/Utility.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>

OptionsPage::OptionsPage(const OptionsServices &services, QWidget *parent) : QWidget(parent), m_services(services) {}

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

QString OptionsPage::GestureCaption(const QString &name)
{
    QStringList words;
    QString word;
    auto flush = [&] {
        if (!word.isEmpty())
            words << std::exchange(word, {});
    };
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c == QLatin1Char('_') || c == QLatin1Char('-') || c.isSpace()) {
            flush();
            continue;
        }
        const QChar prev = i > 0 ? name.at(i - 1) : QChar();
        const QChar next = i + 1 < name.size() ? name.at(i + 1) : QChar();
        // A word starts at an upper-case letter after a lower-case one (or ending a run
        // of capitals before a lower-case one) and where letters and digits meet.
        const bool startsWord = !word.isEmpty()
                                && ((c.isUpper() && (prev.isLower() || (prev.isUpper() && next.isLower())))
                                    || (c.isDigit() != prev.isDigit()));
        if (startsWord)
            flush();
        word += c;
    }
    flush();
    for (qsizetype i = 1; i < words.size(); ++i) {
        // Abbreviations ("WAV") keep their capitals.
        if (words.at(i).size() == 1 || words.at(i).at(1).isLower())
            words[i] = words.at(i).toLower();
    }
    if (!words.isEmpty())
        words[0] = words.at(0).left(1).toUpper() + words.at(0).mid(1);
    return words.isEmpty() ? name : words.join(QLatin1Char(' '));
}

void OptionsPage::fillGestures(QComboBox *combo, const QString &key)
{
    combo->clear();
    QStringList names;
    if (CTalker *t = talker(); t && t->Character())
        names = t->Character()->AnimationNames();
    for (const QString &name : std::as_const(names))
        combo->addItem(GestureCaption(name), name);
    const QString first = names.value(0);
    QString name = settingText(key, first);
    if (name.trimmed().isEmpty())
        name = first;
    const int index = combo->findData(name);
    if (index >= 0)
        combo->setCurrentIndex(index);
    else
        combo->setCurrentText(name);
}

QString OptionsPage::gestureName(const QComboBox *combo)
{
    const QString text = combo->currentText();
    const int index = combo->findText(text, Qt::MatchFixedString);
    return index >= 0 ? combo->itemData(index).toString() : text;
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
