#include "FAccounts.h"
#include "FAddAccount.h"
#include "FChooseOne.h"
#include "FMain.h"
#include "ShellMessage.h"
#include "ShellServices.h"
#include "ThunderbirdAccounts.h"

#include "engine/MUScripting.h"
#include "storage/AccountManager.h"
#include "storage/CSettings.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const QString kClass = QStringLiteral("FAccounts");

}

FAccounts::FAccounts(ShellServices &services, MUScripting *engine, LogPtr log, QWidget *parent)
    : QDialog(parent)
    , m_services(services)
    , m_engine(engine)
    , m_log(std::move(log))
{
    setObjectName(kClass);
    setWindowTitle(QStringLiteral("Accounts"));
    auto *layout = new QHBoxLayout(this);
    m_lv = new QTreeWidget(this);
    m_lv->setObjectName(QStringLiteral("lv"));
    m_lv->setRootIsDecorated(false);
    m_lv->setHeaderLabels({QStringLiteral("Mail Server"), QStringLiteral("User Name"), QStringLiteral("Check Interval")});
    m_lv->header()->setStretchLastSection(true);
    layout->addWidget(m_lv, 1);

    auto *buttons = new QVBoxLayout;
    auto button = [this, buttons](const char *name, const QString &caption, const QString &tip) {
        auto *b = new QPushButton(caption, this);
        b->setObjectName(QLatin1String(name));
        b->setToolTip(tip);
        b->setAutoDefault(false);
        buttons->addWidget(b);
        return b;
    };
    m_cmdAdd = button("cmdAdd", QStringLiteral("&Add..."), QStringLiteral("Add new email account"));
    m_cmdProperties = button("cmdProperties", QStringLiteral("&Modify..."), QStringLiteral("Modify selected account"));
    m_cmdRemove = button("cmdRemove", QStringLiteral("&Remove"), QStringLiteral("Remove selected account"));
    m_cmdImportFromOE = button("cmdImportFromOE", QStringLiteral("&Import..."), QStringLiteral("Import from Thunderbird"));
    buttons->addStretch(1);
    m_cmdClose = button("cmdClose", QStringLiteral("Close"), {});
    layout->addLayout(buttons);

    connect(m_cmdAdd, &QPushButton::clicked, this, &FAccounts::cmdAdd_Click);
    connect(m_cmdProperties, &QPushButton::clicked, this, &FAccounts::cmdProperties_Click);
    connect(m_lv, &QTreeWidget::itemDoubleClicked, this, [this] { cmdProperties_Click(); });
    connect(m_cmdRemove, &QPushButton::clicked, this, &FAccounts::cmdRemove_Click);
    connect(m_cmdImportFromOE, &QPushButton::clicked, this, &FAccounts::cmdImportFromOE_Click);
    connect(m_cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    // Modify and Remove act on the selected account: with none they would do nothing.
    connect(m_lv, &QTreeWidget::itemSelectionChanged, this, &FAccounts::enableSelectionButtons);
    enableSelectionButtons();
    resize(560, 300);
}

FAccounts::~FAccounts() = default;

void FAccounts::ShowAccounts(ShellServices &services, QWidget *parent, MUScripting *engine, LogPtr log)
{
    FAccounts form(services, engine, std::move(log), parent);
    form.RefreshList();
    form.clearFirstStart();
    form.exec();
}

void FAccounts::RefreshList()
{
    try {
        m_lv->clear();
        const DataBag accounts = m_engine->accountManager()->AccountList();
        for (qsizetype i = 1; i <= accounts.Count(); ++i) {
            const Record account = accounts.Item(i).value<Record>();
            const bool disabled = account.Item(QStringLiteral("Disabled")).toBool();
            auto *item = new QTreeWidgetItem(m_lv, {account.text(QStringLiteral("Server")), account.text(QStringLiteral("User")),
                                                    disabled ? QStringLiteral("Disabled")
                                                             : account.text(QStringLiteral("CheckInterval"))});
            item->setData(0, Qt::UserRole, accounts.Key(i));
            if (account.Item(QStringLiteral("SignInNeeded")).toBool())
                markSignInNeeded(item, account);
        }
        if (m_lv->topLevelItemCount() > 0)
            m_lv->setCurrentItem(m_lv->topLevelItem(0));
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("RefreshList"));
    }
}

void FAccounts::markSignInNeeded(QTreeWidgetItem *item, const Record &account) const
{
    // Said once when it happened; the list keeps saying it until the account signs in again.
    QString how = QStringLiteral("Sign in again: the server or the provider refused this account's sign-in. ");
    if (!account.text(QStringLiteral("OnlineAccount")).isEmpty())
        how += QStringLiteral("Sign in again in the desktop's Online Accounts settings.");
    else if (!account.text(QStringLiteral("OAuth2Provider")).isEmpty())
        how += QStringLiteral("Sign in with: murmelo-cli accounts signin %1").arg(account.Id());
    else
        how += QStringLiteral("Modify the account to sign in again.");
    item->setIcon(0, style()->standardIcon(QStyle::SP_MessageBoxWarning));
    for (int column = 0; column < m_lv->columnCount(); ++column)
        item->setToolTip(column, how);
}

void FAccounts::enableSelectionButtons()
{
    const bool selected = !selectedKey().isEmpty();
    m_cmdProperties->setEnabled(selected);
    m_cmdRemove->setEnabled(selected);
}

QString FAccounts::selectedKey() const
{
    const QTreeWidgetItem *item = m_lv->currentItem();
    return item && item->isSelected() ? item->data(0, Qt::UserRole).toString() : QString();
}

bool FAccounts::runForm(FAddAccount &form) const
{
    if (m_services.runAccountForm)
        return m_services.runAccountForm(form);
    form.exec();
    return form.accepted();
}

void FAccounts::clearFirstStart()
{
    try {
        m_engine->settings()->SaveSetting(FMain::KeyFirstStart, false);
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("clearFirstStart"));
    }
}

void FAccounts::logError(const std::exception &e, const QString &member) const
{
    if (m_log)
        m_log->WriteError(e, kClass + u'.' + member);
}

void FAccounts::cmdAdd_Click()
{
    if (m_log)
        m_log->Trace(QStringLiteral("cmdAdd_Click call"), kClass + QStringLiteral(".cmdAdd_Click"));
    try {
        FAddAccount form(m_services, m_log, this);
        form.LoadAccount(nullptr);
        if (runForm(form) && form.accepted()) {
            Record account;
            form.WriteAccount(account);
            m_engine->AddAccount(account);
        }
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("cmdAdd_Click"));
    }
    RefreshList();
}

void FAccounts::cmdProperties_Click()
{
    if (m_log)
        m_log->Trace(QStringLiteral("cmdProperties_Click call"), kClass + QStringLiteral(".cmdProperties_Click"));
    const QString key = selectedKey();
    if (key.isEmpty())
        return;
    try {
        Record account = m_engine->accountManager()->GetAccount(key);
        FAddAccount form(m_services, m_log, this);
        form.LoadAccount(&account);
        if (runForm(form) && form.accepted()) {
            form.WriteAccount(account);
            if (account.Id().isEmpty())
                account.setId(key);
            m_engine->UpdateAccount(account);
        }
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("cmdProperties_Click"));
    }
    RefreshList();
}

void FAccounts::cmdRemove_Click()
{
    if (m_log)
        m_log->Trace(QStringLiteral("cmdRemove_Click call"), kClass + QStringLiteral(".cmdRemove_Click"));
    const QString key = selectedKey();
    if (key.isEmpty())
        return;
    try {
        if (m_services.message(QStringLiteral("Are you sure you want to delete account information ?"),
                        int(ShellMessage::YesNo) | int(ShellMessage::Exclamation)) != ShellMessage::Yes)
            return;
        m_engine->RemoveAccount(key);
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("cmdRemove_Click"));
    }
    RefreshList();
}

void FAccounts::cmdImportFromOE_Click()
{
    if (m_log)
        m_log->Trace(QStringLiteral("cmdImportFromOE_Click call"), kClass + QStringLiteral(".cmdImportFromOE_Click"));
    try {
        const QList<Record> found = ThunderbirdAccounts::EnumAccounts(m_services.thunderbirdDir);
        if (found.isEmpty()) {
            m_services.message(MessageTable::Text(132), ShellMessage::Information);
            return;
        }
        Record chosen = found.first();
        if (found.size() > 1) {
            QStringList addresses;
            for (const Record &r : found)
                addresses << r.text(QStringLiteral("Email"));
            int at = 0;
            if (m_services.chooseOne) {
                at = m_services.chooseOne(addresses, this);
            } else {
                FChooseOne choose(this);
                at = choose.ChooseOne(addresses, this);
            }
            if (at < 1 || at > found.size())
                return;
            chosen = found.at(at - 1);
        }
        FAddAccount form(m_services, m_log, this);
        form.LoadAccount(&chosen);
        if (runForm(form) && form.accepted()) {
            Record account;
            form.WriteAccount(account);
            m_engine->AddAccount(account);
            clearFirstStart();
        }
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("cmdImportFromOE_Click"));
    }
    RefreshList();
}
