#include "ucOptTime.h"
#include "FocusBehaviour.h"
#include "OptionsServices.h"
#include "TimeAnnouncement.h"
#include "engine/MUScripting.h"
#include "speech/CTalker.h"
#include "timing/TimerManager.h"
#include "trellis/Utility.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

const QList<int> &ucOptTime::Intervals()
{
    static const QList<int> intervals = {60, 30, 20, 15, 10, 5, 1};
    return intervals;
}

namespace {
QPushButton *button(QWidget *parent, const QString &name, const QString &caption)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}
}

ucOptTime::ucOptTime(const OptionsServices &services, QWidget *parent) : OptionsPage(services, parent)
{
    setObjectName(QStringLiteral("ucTime"));
    auto *layout = new QVBoxLayout(this);

    auto *interval = new QGroupBox(QStringLiteral("Interval"), this);
    auto *grid = new QGridLayout(interval);
    auto *everyLabel = new QLabel(QStringLiteral("Say the time &every:"), interval);
    grid->addWidget(everyLabel, 0, 0, 1, 4);
    m_group = new QButtonGroup(this);
    const QStringList captions = {QStringLiteral("Hour"), QStringLiteral("30 minutes"), QStringLiteral("20 minutes"),
                                  QStringLiteral("15 minutes"), QStringLiteral("10 minutes"), QStringLiteral("5 minutes"),
                                  QStringLiteral("Minute")};
    for (int i = 0; i < captions.size(); ++i) {
        auto *r = new QRadioButton(captions.at(i), interval);
        r->setObjectName(QStringLiteral("Option1_%1").arg(i));
        m_group->addButton(r, i);
        m_option1 << r;
        grid->addWidget(r, 1 + i / 4, i % 4);
    }
    m_option1.first()->setChecked(true);
    // The shortcut goes to the interval that is chosen.
    everyLabel->setBuddy(m_option1.first());
    connect(m_group, &QButtonGroup::idToggled, everyLabel, [this, everyLabel](int id, bool on) {
        if (on && id >= 0 && id < m_option1.size())
            everyLabel->setBuddy(m_option1.at(id));
    });
    m_chkDisable = new QCheckBox(QStringLiteral("&Disable time announcing"), interval);
    m_chkDisable->setObjectName(QStringLiteral("chkDisable"));
    grid->addWidget(m_chkDisable, 3, 0, 1, 4);
    layout->addWidget(interval);

    auto *announce = new QGroupBox(QStringLiteral("Announce"), this);
    auto *form = new QFormLayout(announce);
    m_txtSay = new QLineEdit(announce);
    m_txtSay->setObjectName(QStringLiteral("txtSay"));
    form->addRow(QStringLiteral("&Say:"), m_txtSay);
    auto *gestureRow = new QHBoxLayout;
    m_cboGesture = new QComboBox(announce);
    m_cboGesture->setObjectName(QStringLiteral("cboGesture"));
    m_cboGesture->setEditable(true);
    m_cboGesture->setInsertPolicy(QComboBox::NoInsert);
    m_cmdPreview = button(announce, QStringLiteral("cmdPreview"), QStringLiteral("Pre&view"));
    gestureRow->addWidget(m_cboGesture, 1);
    gestureRow->addWidget(m_cmdPreview);
    addRow(form, QStringLiteral("&Gesture:"), gestureRow, m_cboGesture);
    auto *soundRow = new QHBoxLayout;
    m_txtSound = new QLineEdit(announce);
    m_txtSound->setObjectName(QStringLiteral("txtSound"));
    m_cmdBrowseSound = button(announce, QStringLiteral("cmdBrowseSound"), QStringLiteral("&Browse..."));
    m_cmdPlaySound = button(announce, QStringLiteral("cmdPlaySound"), QStringLiteral("Play"));
    soundRow->addWidget(m_txtSound, 1);
    soundRow->addWidget(m_cmdBrowseSound);
    soundRow->addWidget(m_cmdPlaySound);
    addRow(form, QStringLiteral("&Play:"), soundRow, m_txtSound);
    m_chkTimeFormat = new QCheckBox(QStringLiteral("A&M/PM Format (Clear checkbox to set 24:00 format)"), announce);
    m_chkTimeFormat->setObjectName(QStringLiteral("chkTimeFormat"));
    form->addRow(m_chkTimeFormat);
    layout->addWidget(announce);
    layout->addStretch(1);

    FocusBehaviour::SelectAllOnFocus(m_txtSay);
    FocusBehaviour::SelectAllOnFocus(m_txtSound);
    connect(m_group, &QButtonGroup::idClicked, this, &ucOptTime::changed);
    connect(m_txtSay, &QLineEdit::textChanged, this, &ucOptTime::changed);
    connect(m_txtSound, &QLineEdit::textChanged, this, &ucOptTime::changed);
    connect(m_chkDisable, &QCheckBox::toggled, this, &ucOptTime::changed);
    connect(m_chkTimeFormat, &QCheckBox::toggled, this, &ucOptTime::changed);
    connect(m_cboGesture, &QComboBox::currentTextChanged, this, &ucOptTime::changed);
    connect(m_cmdPreview, &QPushButton::clicked, this, &ucOptTime::cmdPreview_Click);
    connect(m_cmdBrowseSound, &QPushButton::clicked, this, &ucOptTime::cmdBrowseSound_Click);
    connect(m_cmdPlaySound, &QPushButton::clicked, this, &ucOptTime::cmdPlaySound_Click);
}

void ucOptTime::load()
{
    for (QWidget *w : {static_cast<QWidget *>(m_cmdPreview), static_cast<QWidget *>(m_cmdBrowseSound),
                       static_cast<QWidget *>(m_cmdPlaySound)})
        FocusBehaviour::KeepOkFromDefault(w, m_ok);
    fillGestures(m_cboGesture, TimeAnnouncement::KeyGesture);
    const int index = Intervals().indexOf(settingInt(TimeAnnouncement::KeyInterval, 60));
    if (index >= 0)
        m_option1.at(index)->setChecked(true);
    m_txtSay->setText(settingText(TimeAnnouncement::KeyPhrase, QStringLiteral("The time now is")));
    m_txtSound->setText(settingText(TimeAnnouncement::KeySound));
    m_chkDisable->setChecked(settingBool(TimeAnnouncement::KeyDisable, false));
    m_chkTimeFormat->setChecked(settingText(TimeAnnouncement::KeyPattern, TimeAnnouncement::Pattern24) ==
                                TimeAnnouncement::Pattern12);
}

int ucOptTime::selectedInterval() const
{
    const int id = m_group->checkedId();
    return id >= 0 ? Intervals().at(id) : 60;
}

void ucOptTime::Update()
{
    trace(QStringLiteral("IOptUC_Update() call"), QStringLiteral("IOptUC_Update"));
    try {
        save(TimeAnnouncement::KeyGesture, gestureName(m_cboGesture));
        const int interval = selectedInterval();

        // The running clock follows at once, judged against what was stored before.
        TimerManager *timers = m_scripting ? m_scripting->timerManager() : nullptr;
        const bool wasOff = settingBool(TimeAnnouncement::KeyDisable, false);
        const bool off = m_chkDisable->isChecked();
        const QString &id = TimeAnnouncement::PulserId;
        if (timers) {
            if (wasOff && !off) {
                timers->AddTimePulser(id, interval);
            } else if (!wasOff && off) {
                timers->StopTiming(id);
            } else if (!wasOff && !off && settingInt(TimeAnnouncement::KeyInterval, 60) != interval) {
                timers->StopTiming(id);
                timers->AddTimePulser(id, interval);
            }
        }

        save(TimeAnnouncement::KeyDisable, off);
        save(TimeAnnouncement::KeyInterval, interval);
        save(TimeAnnouncement::KeyPhrase, m_txtSay->text());
        save(TimeAnnouncement::KeySound, m_txtSound->text());
        save(TimeAnnouncement::KeyPattern,
             m_chkTimeFormat->isChecked() ? TimeAnnouncement::Pattern12 : TimeAnnouncement::Pattern24);
    } catch (...) {
    }
}

void ucOptTime::cmdPreview_Click()
{
    previewGesture(gestureName(m_cboGesture));
}

void ucOptTime::cmdBrowseSound_Click()
{
    const QString file = m_services.chooseFile(this, m_txtSound->text(), QStringLiteral("Sounds (*.wav)"));
    if (!file.isEmpty())
        m_txtSound->setText(file);
}

void ucOptTime::cmdPlaySound_Click()
{
    try {
        if (!m_txtSound->text().isEmpty() && talker())
            talker()->PlayWav(m_txtSound->text(), true);
    } catch (...) {
    }
}
