#include "FChooseOne.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

FChooseOne::FChooseOne(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("FChooseOne"));
    setWindowTitle(QStringLiteral("Select Account"));
    auto *layout = new QVBoxLayout(this);
    m_list1 = new QListWidget(this);
    m_list1->setObjectName(QStringLiteral("List1"));
    layout->addWidget(m_list1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setDefault(true);
    m_cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    buttons->addWidget(m_cmdOK);
    buttons->addWidget(m_cmdCancel);
    layout->addLayout(buttons);

    connect(m_cmdOK, &QPushButton::clicked, this, &FChooseOne::cmdOK_Click);
    connect(m_cmdCancel, &QPushButton::clicked, this, &FChooseOne::cmdCancel_Click);
    connect(m_list1, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem *item) {
        m_list1->setCurrentItem(item);
        cmdOK_Click();
    });
    // Enter in the list goes to the default button; Esc reaches reject().
    connect(this, &QDialog::rejected, this, [this] { m_cancelled = true; });
}

int FChooseOne::ChooseOne(const QStringList &col, QWidget *ownerForm)
{
    m_list1->clear();
    m_cancelled = true;
    m_list1->addItems(col);
    if (m_list1->count() > 0)
        m_list1->setCurrentRow(0);
    if (ownerForm && ownerForm != parentWidget())
        setParent(ownerForm, windowFlags());
    exec();
    if (m_cancelled)
        return 0;
    const QListWidgetItem *item = m_list1->currentItem();
    if (!item)
        return -1;
    const int at = int(col.indexOf(item->text()));
    return at < 0 ? -1 : at + 1;
}

void FChooseOne::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    m_list1->setFocus();
}

void FChooseOne::cmdOK_Click()
{
    m_cancelled = false;
    done(QDialog::Accepted);
}

void FChooseOne::cmdCancel_Click()
{
    reject();
}
