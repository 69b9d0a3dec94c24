#include "ucOptVoiceCmd.h"
#include "AgentCharacter.h"
#include "AgentControl.h"
#include "FocusBehaviour.h"
#include "ListeningKey.h"
#include "VoiceCommands.h"
#include "speech/CTalker.h"
#include "trellis/Utility.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <algorithm>

ucOptVoiceCmd::ucOptVoiceCmd(const OptionsServices &services, QWidget *parent) : OptionsPage(services, parent)
{
    setObjectName(QStringLiteral("ucVoiceCmd"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("<b>Voice Commands</b>"), this));
    auto *grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Action"), this), 0, 0);
    grid->addWidget(new QLabel(QStringLiteral("Voice Command"), this), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Enabled"), this), 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Visible"), this), 0, 3);
    for (int i = 0; i < VoiceCommands::CommandCount; ++i) {
        const VoiceCommands::Command &c = VoiceCommands::Table().at(i);
        auto *label = new QLabel(c.label, this);
        label->setObjectName(QStringLiteral("lblName_%1").arg(i));
        auto *text = new QLineEdit(this);
        text->setObjectName(QStringLiteral("txtCommand_%1").arg(i));
        label->setBuddy(text);
        auto *enabled = new QCheckBox(this);
        enabled->setObjectName(QStringLiteral("chkEnabled_%1").arg(i));
        auto *visible = new QCheckBox(this);
        visible->setObjectName(QStringLiteral("chkVisible_%1").arg(i));
        grid->addWidget(label, i + 1, 0);
        grid->addWidget(text, i + 1, 1);
        grid->addWidget(enabled, i + 1, 2, Qt::AlignCenter);
        grid->addWidget(visible, i + 1, 3, Qt::AlignCenter);
        m_lblName << label;
        m_txtCommand << text;
        m_chkEnabled << enabled;
        m_chkVisible << visible;
        FocusBehaviour::SelectAllOnFocus(text);
        connect(text, &QLineEdit::textChanged, this, &ucOptVoiceCmd::edited);
        connect(enabled, &QCheckBox::toggled, this, [this, i] { chkEnabled_Click(i); });
        connect(visible, &QCheckBox::toggled, this, &ucOptVoiceCmd::edited);
    }
    layout->addLayout(grid);
    m_chkDisableAll = new QCheckBox(QStringLiteral("Disable all &voice commands"), this);
    m_chkDisableAll->setObjectName(QStringLiteral("chkDisableAll"));
    layout->addWidget(m_chkDisableAll);
    m_chkHandsFree = new QCheckBox(QStringLiteral("&Listen all the time"), this);
    m_chkHandsFree->setObjectName(QStringLiteral("chkHandsFree"));
    m_chkHandsFree->setToolTip(QStringLiteral("The character listens without a key or menu item held. Say a "
                                              "command on its own and pause: it is carried out after the pause."));
    layout->addWidget(m_chkHandsFree);
    auto *keyRow = new QHBoxLayout;
    m_cboListeningKey = new QComboBox(this);
    m_cboListeningKey->setObjectName(QStringLiteral("cboListeningKey"));
    for (const ListeningKey::Choice &choice : ListeningKey::Choices())
        m_cboListeningKey->addItem(choice.caption, choice.name);
    auto *keyLabel = new QLabel(QStringLiteral("Listening &key (hold it and speak):"), this);
    keyLabel->setBuddy(m_cboListeningKey);
    keyRow->addWidget(keyLabel);
    keyRow->addWidget(m_cboListeningKey);
    keyRow->addStretch(1);
    layout->addLayout(keyRow);
    m_lblListeningKey = new QLabel(this);
    m_lblListeningKey->setObjectName(QStringLiteral("lblListeningKey"));
    m_lblListeningKey->setWordWrap(true);
    layout->addWidget(m_lblListeningKey);
    layout->addStretch(1);
    connect(m_cboListeningKey, &QComboBox::currentIndexChanged, this, &ucOptVoiceCmd::edited);
    connect(m_chkDisableAll, &QCheckBox::toggled, this, &ucOptVoiceCmd::chkDisableAll_Click);
    connect(m_chkHandsFree, &QCheckBox::toggled, this, &ucOptVoiceCmd::edited);
}

void ucOptVoiceCmd::load()
{
    if (!settings())
        return;
    const Record rec = VoiceCommands::Stored(settings());
    for (int i = 0; i < VoiceCommands::CommandCount; ++i) {
        const QString &name = VoiceCommands::Table().at(i).name;
        m_txtCommand[i]->setText(rec.text(QStringLiteral("Command") + name));
        m_chkEnabled[i]->setChecked(Utility::ToBool(rec.Item(QStringLiteral("Enabled") + name), false));
        m_chkVisible[i]->setChecked(Utility::ToBool(rec.Item(QStringLiteral("Visible") + name), false));
        m_lblName[i]->setEnabled(true);
        m_chkEnabled[i]->setEnabled(true);
        m_chkVisible[i]->setEnabled(true);
        m_txtCommand[i]->setEnabled(m_chkEnabled[i]->isChecked());
    }
    m_chkHandsFree->setChecked(Utility::ToBool(rec.Item(VoiceCommands::HandsFree), false));
    m_cboListeningKey->setCurrentIndex(std::max(0, m_cboListeningKey->findData(VoiceCommands::ListeningKeyOf(rec))));
    m_keyUnavailable = ListeningKey::Unavailable();
    watchListeningKey();
    showListeningKey(m_watchedControl ? m_watchedControl->listeningKeyError() : QString());
    m_chkDisableAll->setChecked(Utility::ToBool(rec.Item(QStringLiteral("DisableAll")), false));
    chkDisableAll_Click();
    m_dirty = false;
}

void ucOptVoiceCmd::edited()
{
    if (m_loading)
        return;
    changed();
    m_dirty = true;
}

void ucOptVoiceCmd::chkEnabled_Click(int index)
{
    m_txtCommand[index]->setEnabled(m_chkEnabled[index]->isChecked() && !m_chkDisableAll->isChecked());
    edited();
}

void ucOptVoiceCmd::chkDisableAll_Click()
{
    const bool on = !m_chkDisableAll->isChecked();
    for (int i = 0; i < VoiceCommands::CommandCount; ++i) {
        m_lblName[i]->setEnabled(on);
        m_chkEnabled[i]->setEnabled(on);
        m_chkVisible[i]->setEnabled(on);
        m_txtCommand[i]->setEnabled(on && m_chkEnabled[i]->isChecked());
    }
    m_chkHandsFree->setEnabled(on);
    m_cboListeningKey->setEnabled(on && m_keyUnavailable.isEmpty());
    edited();
}

void ucOptVoiceCmd::Update()
{
    if (!m_dirty)
        return;
    trace(QStringLiteral("IOptUC_Update() call"), QStringLiteral("IOptUC_Update"));
    try {
        Record rec;
        rec.Add(QStringLiteral("DisableAll"), m_chkDisableAll->isChecked());
        for (int i = 0; i < VoiceCommands::CommandCount; ++i) {
            const QString &name = VoiceCommands::Table().at(i).name;
            rec.Add(QStringLiteral("Command") + name, m_txtCommand[i]->text());
            rec.Add(QStringLiteral("Enabled") + name, m_chkEnabled[i]->isChecked());
            rec.Add(QStringLiteral("Visible") + name, m_chkVisible[i]->isChecked());
        }
        rec.Add(VoiceCommands::HandsFree, m_chkHandsFree->isChecked());
        rec.Add(VoiceCommands::ListeningKeyName, m_cboListeningKey->currentData().toString());
        VoiceCommands::Save(settings(), rec);
        const QString keyError = VoiceCommands::RegisterVoiceCommands(talker(), settings(), m_log);
        watchListeningKey();
        showListeningKey(keyError);
        VoiceCommands::VoiceCommandsShowHide(m_log, talker(), settings());
        m_dirty = false;
    } catch (...) {
    }
}

void ucOptVoiceCmd::watchListeningKey()
{
    CTalker *t = talker();
    AgentControl *control = t && t->Character() ? t->Character()->control() : nullptr;
    if (control == m_watchedControl)
        return;
    if (m_watchedControl)
        disconnect(m_watchedControl, &AgentControl::ListeningKeyFailed, this, &ucOptVoiceCmd::showListeningKey);
    m_watchedControl = control;
    if (control)
        connect(control, &AgentControl::ListeningKeyFailed, this, &ucOptVoiceCmd::showListeningKey);
}

void ucOptVoiceCmd::showListeningKey(const QString &error)
{
    m_lblListeningKey->setText(error.isEmpty() ? m_keyUnavailable : error);
}
