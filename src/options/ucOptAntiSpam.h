#pragma once
#include "OptionsPage.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;

/// The Anti-Spam page: the phrases that mark a message as spam and the notice said
/// instead of it. Main thread.
class ucOptAntiSpam : public OptionsPage
{
    Q_OBJECT
public:
    explicit ucOptAntiSpam(const OptionsServices &services, QWidget *parent = nullptr);
    void Update() override;
    /// The listed phrases in order.
    QStringList phrases() const;

public Q_SLOTS:
    void cmdAdd_Click();
    void cmdRemove_Click();

protected:
    void load() override;

private:
    void chkNotifyAboutSpam_Click();

    QLineEdit *m_txtWords;
    QPushButton *m_cmdAdd;
    QPushButton *m_cmdRemove;
    QListWidget *m_lstWords;
    QCheckBox *m_chkNotifyAboutSpam;
    QLabel *m_lblSpamSay;
    QLineEdit *m_txtSpamSay;
};
