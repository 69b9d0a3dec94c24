#include "FOptions.h"
#include "OptionsServices.h"
#include "trellis/MessageTable.h"
#include "ucOptAntiSpam.h"
#include "ucOptCharacter.h"
#include "ucOptGeneral.h"
#include "ucOptTalk.h"
#include "ucOptTime.h"
#include "ucOptVoiceCmd.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QTabBar>
#include <QVBoxLayout>
#include <tuple>

const QStringList &FOptions::Keys()
{
    static const QStringList keys = {QStringLiteral("ucGeneral"), QStringLiteral("ucCharacter"),
                                     QStringLiteral("ucTalk"),    QStringLiteral("ucTime"),
                                     QStringLiteral("ucAntiSpam"), QStringLiteral("ucVoiceCmd")};
    return keys;
}

FOptions::FOptions(const OptionsServices &services, QWidget *parent) : QDialog(parent), m_services(services)
{
    setObjectName(QStringLiteral("FOptions"));
    setWindowTitle(QStringLiteral("Options"));
    auto *layout = new QVBoxLayout(this);

    m_ts = new QTabBar(this);
    m_ts->setObjectName(QStringLiteral("ts"));
    m_ts->setExpanding(false);
    const QList<std::tuple<QString, QString, QString>> tabs = {
        {QStringLiteral("General"), QStringLiteral("ucGeneral"), QString()},
        {QStringLiteral("Character"), QStringLiteral("ucCharacter"), QStringLiteral("Character options")},
        {QStringLiteral("Talk"), QStringLiteral("ucTalk"), QStringLiteral("Talk options")},
        {QStringLiteral("Time"), QStringLiteral("ucTime"), QStringLiteral("Announce time options")},
        {QStringLiteral("Anti-Spam"), QStringLiteral("ucAntiSpam"), QStringLiteral("Anti spam options")},
        // The voice commands have a page of their own: give users a way to reach it.
        {QStringLiteral("Voice Commands"), QStringLiteral("ucVoiceCmd"), QStringLiteral("Voice commands options")},
    };
    for (const auto &[caption, key, tip] : tabs) {
        const int i = m_ts->addTab(caption);
        m_ts->setTabData(i, key);
        m_ts->setTabToolTip(i, tip);
    }
    layout->addWidget(m_ts);

    m_pages = new QStackedWidget(this);
    auto add = [&](auto *page) {
        m_pages->addWidget(page);
        m_ucs.append(qMakePair(static_cast<QWidget *>(page), static_cast<IOptUC *>(page)));
    };
    add(new ucOptGeneral(services, m_pages));
    add(new ucOptCharacter(services, m_pages));
    add(new ucOptTalk(services, m_pages));
    add(new ucOptTime(services, m_pages));
    add(new ucOptAntiSpam(services, m_pages));
    add(new ucOptVoiceCmd(services, m_pages));
    layout->addWidget(m_pages, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setDefault(true);
    m_cmdApply = new QPushButton(QStringLiteral("&Apply"), this);
    m_cmdApply->setObjectName(QStringLiteral("cmdApply"));
    m_cmdApply->setAutoDefault(false);
    m_cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    m_cmdCancel->setAutoDefault(false);
    buttons->addWidget(m_cmdOK);
    buttons->addWidget(m_cmdApply);
    buttons->addWidget(m_cmdCancel);
    layout->addLayout(buttons);

    connect(m_ts, &QTabBar::currentChanged, this, &FOptions::ts_Click);
    connect(m_cmdOK, &QPushButton::clicked, this, &FOptions::cmdOK_Click);
    connect(m_cmdApply, &QPushButton::clicked, this, &FOptions::cmdApply_Click);
    connect(m_cmdCancel, &QPushButton::clicked, this, &FOptions::cmdCancel_Click);
    // Ctrl+Tab and Ctrl+Shift+Tab cycle the tabs from any control of the dialog.
    for (const QKeySequence &seq : {QKeySequence(Qt::CTRL | Qt::Key_Tab)})
        connect(new QShortcut(seq, this), &QShortcut::activated, this, &FOptions::NextTab);
    for (const QKeySequence &seq : {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab),
                                    QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab),
                                    QKeySequence(Qt::CTRL | Qt::Key_Backtab)})
        connect(new QShortcut(seq, this), &QShortcut::activated, this, &FOptions::PreviousTab);
    m_cmdApply->setEnabled(false);
    ts_Click();
}

void FOptions::Init(MUScripting *scripting, LogPtr log)
{
    m_log = log;
    if (m_log)
        m_log->Write(0, QStringLiteral("Init() call"), Log::LevelTrace, QStringLiteral("FOptions.Init"));
    ts_Click();
    for (const auto &[widget, uc] : std::as_const(m_ucs))
        uc->Init(scripting, m_cmdApply, m_cmdOK, log);
    m_cmdApply->setEnabled(false);
}

void FOptions::ApplyAtStart(const OptionsServices &services, MUScripting *scripting, LogPtr log)
{
    FOptions dialog(services);
    auto *general = qobject_cast<ucOptGeneral *>(dialog.Page(QStringLiteral("ucGeneral")));
    general->Init(scripting, dialog.m_cmdApply, dialog.m_cmdOK, log);
    general->Update();
}

void FOptions::ShowOptions(const OptionsServices &services, QWidget *parent, MUScripting *scripting, LogPtr log,
                           const QString &key)
{
    FOptions dialog(services, parent);
    dialog.SelectTab(key.isEmpty() ? Keys().first() : key);
    dialog.Init(scripting, log);
    dialog.exec();
}

bool FOptions::SelectTab(const QString &key)
{
    for (int i = 0; i < m_ts->count(); ++i) {
        if (m_ts->tabData(i).toString() == key) {
            m_ts->setCurrentIndex(i);
            ts_Click();
            return true;
        }
    }
    return false;
}

QString FOptions::SelectedKey() const
{
    return m_ts->tabData(m_ts->currentIndex()).toString();
}

QWidget *FOptions::Page(const QString &key) const
{
    for (const auto &[widget, uc] : m_ucs) {
        if (widget->objectName() == key)
            return widget;
    }
    return nullptr;
}

void FOptions::ts_Click()
{
    if (QWidget *page = Page(SelectedKey()))
        m_pages->setCurrentWidget(page);
}

void FOptions::NextTab()
{
    m_ts->setCurrentIndex((m_ts->currentIndex() + 1) % m_ts->count());
}

void FOptions::PreviousTab()
{
    m_ts->setCurrentIndex((m_ts->currentIndex() + m_ts->count() - 1) % m_ts->count());
}

void FOptions::updateAll()
{
    for (const auto &[widget, uc] : std::as_const(m_ucs)) {
        try {
            uc->Update();
        } catch (...) {
        }
    }
}

void FOptions::cmdApply_Click()
{
    updateAll();
    m_cmdApply->setEnabled(false);
}

void FOptions::cmdOK_Click()
{
    if (m_cmdApply->isEnabled())
        updateAll();
    m_cmdApply->setEnabled(false);
    accept();
}

void FOptions::cmdCancel_Click()
{
    reject();
}

void FOptions::reject()
{
    if (m_cmdApply->isEnabled() &&
        m_services.showMessage(this, MessageTable::Text(102), 1 + 48) != 1)
        return;
    m_cmdApply->setEnabled(false);
    for (const auto &[widget, uc] : std::as_const(m_ucs)) {
        try {
            uc->Cancel();
        } catch (...) {
        }
    }
    QDialog::reject();
}
