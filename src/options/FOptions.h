#pragma once
#include "trellis/Log.h"

#include <QDialog>
#include <QList>

class IOptUC;
class MUScripting;
class OptionsServices;
class QPushButton;
class QStackedWidget;
class QTabBar;

/// The options dialog: one page per subject behind a tab strip, and OK, Apply and
/// Cancel for all of them. The Apply button is also the flag of unsaved changes.
/// Created for each opening and shown modally. Main thread.
class FOptions : public QDialog
{
    Q_OBJECT
public:
    /// Tab keys, in tab order; each is also the object name of its page.
    static const QStringList &Keys();

    /// `services`: the desktop calls of the dialog and its pages; outlives the dialog.
    explicit FOptions(const OptionsServices &services, QWidget *parent = nullptr);

    /// Fills every page from the settings and shows the selected tab's page; Apply
    /// starts disabled.
    void Init(MUScripting *scripting, LogPtr log);
    /// The options applied at program start: the General page is loaded and stored,
    /// nothing is shown.
    static void ApplyAtStart(const OptionsServices &services, MUScripting *scripting, LogPtr log);
    /// Opens the dialog modally on the page `key` ("" for the first) and returns when
    /// it is closed.
    static void ShowOptions(const OptionsServices &services, QWidget *parent, MUScripting *scripting, LogPtr log,
                            const QString &key = {});

    /// Selects the tab whose key is `key`; false when there is none.
    bool SelectTab(const QString &key);
    QString SelectedKey() const;
    QWidget *Page(const QString &key) const;
    QTabBar *tabStrip() const { return m_ts; }
    QPushButton *applyButton() const { return m_cmdApply; }
    QPushButton *okButton() const { return m_cmdOK; }
    QPushButton *cancelButton() const { return m_cmdCancel; }

public Q_SLOTS:
    void cmdOK_Click();
    void cmdApply_Click();
    void cmdCancel_Click();
    void NextTab();
    void PreviousTab();
    /// Esc and the close box: as Cancel.
    void reject() override;

private:
    void ts_Click();
    void updateAll();

    QTabBar *m_ts;
    QStackedWidget *m_pages;
    QList<QPair<QWidget *, IOptUC *>> m_ucs;
    QPushButton *m_cmdOK;
    QPushButton *m_cmdApply;
    QPushButton *m_cmdCancel;
    LogPtr m_log;
    const OptionsServices &m_services;
};
