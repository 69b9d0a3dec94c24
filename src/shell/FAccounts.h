#pragma once
#include "trellis/Log.h"
#include "trellis/Record.h"

#include <QDialog>
#include <QList>
#include <functional>

class FAddAccount;
class MUScripting;
class QPushButton;
class QTreeWidget;

/// The list of mail accounts with Add, Modify, Remove, Import and Close. Stores through
/// the engine, reads through its account store. Holds the engine, owns neither it nor
/// the log. Main thread.
class FAccounts : public QDialog
{
    Q_OBJECT
public:
    /// Shows `form` modally; true when the user left it with OK (tests answer instead).
    using FormRunner = std::function<bool(FAddAccount &form)>;
    /// Picks one of `entries`: its 1-based position, 0 when cancelled.
    using Chooser = std::function<int(const QStringList &entries, QWidget *owner)>;

    FAccounts(MUScripting *engine, LogPtr log, QWidget *parent = nullptr);
    ~FAccounts() override;

    /// Fills the list, clears the first-start flag and shows the dialog modally.
    static void ShowAccounts(QWidget *parent, MUScripting *engine, LogPtr log);

    static void setFormRunner(FormRunner runner);
    static void setChooser(Chooser chooser);
    /// Where the Thunderbird profiles are looked for (empty: ~/.thunderbird).
    static void setThunderbirdDir(const QString &dir);

    QTreeWidget *lv() const { return m_lv; }
    void RefreshList();

    void cmdAdd_Click();
    void cmdProperties_Click();
    void cmdRemove_Click();
    void cmdImportFromOE_Click();

private:
    QString selectedKey() const;
    bool runForm(FAddAccount &form) const;
    void clearFirstStart();
    void enableSelectionButtons();
    void logError(const std::exception &e, const QString &member) const;

    MUScripting *m_engine;
    LogPtr m_log;
    QTreeWidget *m_lv = nullptr;
    QPushButton *m_cmdAdd = nullptr;
    QPushButton *m_cmdProperties = nullptr;
    QPushButton *m_cmdRemove = nullptr;
    QPushButton *m_cmdImportFromOE = nullptr;
    QPushButton *m_cmdClose = nullptr;
};
