#include "ucOptAntiSpam.h"
#include "AntiSpam.h"
#include "FocusBehaviour.h"
#include "OptionsServices.h"
#include "speech/Announcer.h"
#include "trellis/MessageTable.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

ucOptAntiSpam::ucOptAntiSpam(const OptionsServices &services, QWidget *parent) : OptionsPage(services, parent)
{
    setObjectName(QStringLiteral("ucAntiSpam"));
    auto *layout = new QVBoxLayout(this);

    auto *filters = new QGroupBox(QStringLiteral("Anti-spam Filters"), this);
    auto *grid = new QGridLayout(filters);
    auto *wordsLabel = new QLabel(QStringLiteral("&Word(s):"), filters);
    m_txtWords = new QLineEdit(filters);
    m_txtWords->setObjectName(QStringLiteral("txtWords"));
    wordsLabel->setBuddy(m_txtWords);
    m_cmdAdd = new QPushButton(QStringLiteral("A&dd"), filters);
    m_cmdAdd->setObjectName(QStringLiteral("cmdAdd"));
    m_cmdAdd->setAutoDefault(false);
    m_cmdAdd->setEnabled(false);
    m_cmdRemove = new QPushButton(QStringLiteral("&Remove"), filters);
    m_cmdRemove->setObjectName(QStringLiteral("cmdRemove"));
    m_cmdRemove->setAutoDefault(false);
    grid->addWidget(wordsLabel, 0, 0);
    grid->addWidget(m_txtWords, 0, 1);
    grid->addWidget(m_cmdAdd, 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Do not read out messages which contain the following words:"), filters),
                    1, 0, 1, 3);
    m_lstWords = new QListWidget(filters);
    m_lstWords->setObjectName(QStringLiteral("lstWords"));
    m_lstWords->setSelectionMode(QAbstractItemView::ExtendedSelection);
    grid->addWidget(m_lstWords, 2, 0, 1, 2);
    grid->addWidget(m_cmdRemove, 2, 2, Qt::AlignTop);
    layout->addWidget(filters, 1);

    auto *notification = new QGroupBox(QStringLiteral("Notification"), this);
    auto *nl = new QGridLayout(notification);
    m_chkNotifyAboutSpam = new QCheckBox(QStringLiteral("&Notify about spam messages"), notification);
    m_chkNotifyAboutSpam->setObjectName(QStringLiteral("chkNotifyAboutSpam"));
    m_lblSpamSay = new QLabel(QStringLiteral("&Say:"), notification);
    m_lblSpamSay->setObjectName(QStringLiteral("lblSpamSay"));
    m_txtSpamSay = new QLineEdit(notification);
    m_txtSpamSay->setObjectName(QStringLiteral("txtSpamSay"));
    m_lblSpamSay->setBuddy(m_txtSpamSay);
    nl->addWidget(m_chkNotifyAboutSpam, 0, 0, 1, 2);
    nl->addWidget(m_lblSpamSay, 1, 0);
    nl->addWidget(m_txtSpamSay, 1, 1);
    layout->addWidget(notification);

    FocusBehaviour::SelectAllOnFocus(m_txtWords);
    FocusBehaviour::SelectAllOnFocus(m_txtSpamSay);
    connect(m_txtWords, &QLineEdit::textChanged, this,
            [this](const QString &text) { m_cmdAdd->setEnabled(!text.isEmpty()); });
    connect(m_txtWords, &QLineEdit::returnPressed, this, &ucOptAntiSpam::cmdAdd_Click);
    connect(m_cmdAdd, &QPushButton::clicked, this, &ucOptAntiSpam::cmdAdd_Click);
    connect(m_cmdRemove, &QPushButton::clicked, this, &ucOptAntiSpam::cmdRemove_Click);
    connect(m_chkNotifyAboutSpam, &QCheckBox::toggled, this, &ucOptAntiSpam::chkNotifyAboutSpam_Click);
    connect(m_txtSpamSay, &QLineEdit::textChanged, this, &ucOptAntiSpam::changed);
}

void ucOptAntiSpam::load()
{
    FocusBehaviour::KeepOkFromDefault(m_cmdAdd, m_ok);
    FocusBehaviour::KeepOkFromDefault(m_cmdRemove, m_ok);
    // Enter in the words box adds the phrase rather than closing the dialog.
    FocusBehaviour::KeepOkFromDefault(m_txtWords, m_ok);
    m_lstWords->clear();
    QStringList list = Announcer::DefaultPhrases();
    try {
        if (settings())
            list = Announcer::Phrases(settings());
    } catch (...) {
    }
    m_lstWords->addItems(list);
    m_chkNotifyAboutSpam->setChecked(settingBool(Announcer::KeyAnnounceSpam, true));
    m_txtSpamSay->setText(settingText(Announcer::KeySpamNotice, Announcer::DefaultNotice()));
    chkNotifyAboutSpam_Click();
}

QStringList ucOptAntiSpam::phrases() const
{
    QStringList out;
    for (int i = 0; i < m_lstWords->count(); ++i)
        out << m_lstWords->item(i)->text();
    return out;
}

void ucOptAntiSpam::chkNotifyAboutSpam_Click()
{
    const bool on = m_chkNotifyAboutSpam->isChecked();
    m_txtSpamSay->setEnabled(on);
    m_lblSpamSay->setEnabled(on);
    changed();
}

void ucOptAntiSpam::cmdAdd_Click()
{
    const QString text = m_txtWords->text();
    if (text.isEmpty())
        return;
    // The same phrase twice would only lengthen the test; trimmed, case ignored.
    for (const QString &p : phrases()) {
        if (p.trimmed().compare(text.trimmed(), Qt::CaseInsensitive) == 0) {
            m_services.showMessage(this, MessageTable::Text(129), 48);
            m_txtWords->setFocus();
            return;
        }
    }
    m_lstWords->addItem(text);
    m_txtWords->clear();
    m_txtWords->setFocus();
    changed();
}

void ucOptAntiSpam::cmdRemove_Click()
{
    int first = -1;
    for (const QListWidgetItem *item : m_lstWords->selectedItems()) {
        const int row = m_lstWords->row(item);
        first = first < 0 ? row : std::min(first, row);
    }
    if (first < 0)
        return;
    QListWidgetItem *item = m_lstWords->takeItem(first);
    m_txtWords->setText(item->text());
    delete item;
    m_txtWords->setFocus();
    changed();
}

void ucOptAntiSpam::Update()
{
    trace(QStringLiteral("IOptUC_Update() call"), QStringLiteral("IOptUC_Update"));
    try {
        if (settings())
            AntiSpam::SavePhrases(settings(), phrases());
        save(Announcer::KeyAnnounceSpam, m_chkNotifyAboutSpam->isChecked());
        save(Announcer::KeySpamNotice, m_txtSpamSay->text());
    } catch (...) {
    }
}
