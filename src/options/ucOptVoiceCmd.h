#pragma once
#include "OptionsPage.h"

#include <QList>
#include <QPointer>

class AgentControl;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

/// The Voice Commands page: the phrase and the Enabled/Visible flags of each of the
/// eight voice commands, a switch for all of them, one for listening all the time and the key held to listen. Stores only after an edit.
/// Main thread.
class ucOptVoiceCmd : public OptionsPage
{
    Q_OBJECT
public:
    explicit ucOptVoiceCmd(const OptionsServices &services, QWidget *parent = nullptr);
    void Update() override;
    /// Set by every edit, cleared by a save.
    bool Dirty() const { return m_dirty; }

protected:
    void load() override;

private:
    void edited();
    void chkEnabled_Click(int index);
    void chkDisableAll_Click();
    /// Follows the character's control: a listening key can fail after it was accepted.
    void watchListeningKey();
    /// `error` when there is one, otherwise why no key can be had in this session, if so.
    void showListeningKey(const QString &error);

    QList<QLabel *> m_lblName;
    QList<QLineEdit *> m_txtCommand;
    QList<QCheckBox *> m_chkEnabled;
    QList<QCheckBox *> m_chkVisible;
    QCheckBox *m_chkDisableAll;
    QCheckBox *m_chkHandsFree;
    QComboBox *m_cboListeningKey;
    /// Why the listening key cannot be used here, when it cannot.
    QLabel *m_lblListeningKey;
    /// ListeningKey::Unavailable() when the page was loaded (it may ask the desktop portal).
    QString m_keyUnavailable;
    QPointer<AgentControl> m_watchedControl;
    bool m_dirty = false;
};
