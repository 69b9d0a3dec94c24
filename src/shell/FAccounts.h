#pragma once
#include "trellis/Log.h"
#include "trellis/Record.h"

#include <QDialog>
#include <QList>

class FAddAccount;
class MUScripting;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class ShellServices;

/// The list of mail accounts with Add, Modify, Remove, Import and Close. Stores through
/// the engine, reads through its account store. Holds the engine, owns neither it nor
/// the log. Main thread.
class FAccounts : public QDialog
{
    Q_OBJECT
public:
    /// `services`: the message box, the account form's runner, the chooser and the
    /// Thunderbird folder; outlives the dialog.
    FAccounts(ShellServices &services, MUScripting *engine, LogPtr log, QWidget *parent = nullptr);
    ~FAccounts() override;

    /// Fills the list, clears the first-start flag and shows the dialog modally.
    static void ShowAccounts(ShellServices &services, QWidget *parent, MUScripting *engine, LogPtr log);

    QTreeWidget *lv() const { return m_lv; }
    void RefreshList();

    void cmdAdd_Click();
    void cmdProperties_Click();
    void cmdRemove_Click();
    void cmdImportFromOE_Click();

private:
    QString selectedKey() const;
    /// A warning icon and the tool tip "Sign in again", saying how, on the row of `account`.
    void markSignInNeeded(QTreeWidgetItem *item, const Record &account) const;
    bool runForm(FAddAccount &form) const;
    void clearFirstStart();
    void enableSelectionButtons();
    void logError(const std::exception &e, const QString &member) const;

    ShellServices &m_services;
    MUScripting *m_engine;
    LogPtr m_log;
    QTreeWidget *m_lv = nullptr;
    QPushButton *m_cmdAdd = nullptr;
    QPushButton *m_cmdProperties = nullptr;
    QPushButton *m_cmdRemove = nullptr;
    QPushButton *m_cmdImportFromOE = nullptr;
    QPushButton *m_cmdClose = nullptr;
};
