#pragma once
#include "trellis/Log.h"
#include "trellis/Record.h"

#include <QDialog>
#include <functional>

class CCheckMB;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class ShellServices;

/// Edits one account: its address, password, incoming server with port and security,
/// logon name, check interval and disabled flag; tests it against its server and
/// autodetects the server and logon name from the address. Main thread.
class FAddAccount : public QDialog
{
    Q_OBJECT
public:
    /// `services`: the message box and the checkers' set-up; outlives the form.
    FAddAccount(ShellServices &services, LogPtr log, QWidget *parent = nullptr);
    ~FAddAccount() override;

    /// Fills the controls from `account`; null gives an empty form with the interval 10.
    void LoadAccount(const Record *account);
    /// Writes the controls into `account` (its id kept), replacing every property it had.
    void WriteAccount(Record &account) const;
    /// True only when the user left with OK.
    bool accepted() const { return m_accepted; }

    /// The control-enabling rule for the address.
    static bool IsValidAddress(const QString &address);

    QLineEdit *txtEmailAddress() const { return m_txtEmailAddress; }
    QLineEdit *txtPwd() const { return m_txtPwd; }
    QLineEdit *txtRetypePwd() const { return m_txtRetypePwd; }
    QLineEdit *txtServer() const { return m_txtServer; }
    QSpinBox *txtPort() const { return m_txtPort; }
    QComboBox *cboSecurity() const { return m_cboSecurity; }
    /// "POP3" or "IMAP".
    QComboBox *cboProtocol() const { return m_cboProtocol; }
    QLineEdit *txtUser() const { return m_txtUser; }
    QLineEdit *txtCheckMailInterval() const { return m_txtCheckMailInterval; }
    QCheckBox *chkDisable() const { return m_chkDisable; }
    QPushButton *cmdAutodetect() const { return m_cmdAutodetect; }
    QPushButton *cmdTestAccount() const { return m_cmdTestAccount; }
    QPushButton *cmdOK() const { return m_cmdOK; }
    QPushButton *cmdCancel() const { return m_cmdCancel; }
    /// Offered only when GNOME Online Accounts is on the session bus with a mail account.
    QPushButton *cmdOnlineAccount() const { return m_cmdOnlineAccount; }
    /// The online account the form is linked to ("" for none).
    QString onlineAccount() const { return m_onlineAccount; }

    /// The handlers, also for tests.
    void cmdAutodetect_Click();
    void cmdTestAccount_Click();
    void cmdOK_Click();
    void cmdCancel_Click();
    /// Lets the user pick a mail account of GNOME Online Accounts and takes its settings.
    void cmdOnlineAccount_Click();

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void EnableControls();
    void chkDisable_Click();
    void cboSecurity_Changed();
    void cboProtocol_Changed();
    /// False when the address is of the domain that needs a paid account and the user did not confirm.
    bool YahooWarning();
    void Autodetect();
    /// Tests the fields behind the wait window; `reason` gets why it failed.
    bool CheckAccountSettings(QString &reason);
    /// After a check refused the server's certificate: shows it and, when the user trusts
    /// it, pins it for this account. True when pinned.
    bool OfferToTrustCertificate(const QString &reason);
    bool onPinnedEndpoint() const;
    void prepare(CCheckMB &checker) const;
    void logError(const std::exception &e, const QString &member) const;

    ShellServices &m_services;
    LogPtr m_log;
    bool m_accepted = false;
    QString m_certPin;   ///< kept while server, port and security stay those it was pinned on
    QString m_pinServer;
    int m_pinPort = 0;
    QString m_pinSecurity;
    /// Set: the desktop signs in, so the server part and the password are not edited here.
    QString m_onlineAccount;
    /// Set: a browser sign-in gave the account its refresh token (loaded as the password, kept as it is).
    QString m_oauth2Provider;
    /// Signed in with a token by the receiver (online account or browser sign-in), not with the typed password.
    bool linked() const { return !m_onlineAccount.isEmpty() || !m_oauth2Provider.isEmpty(); }

    QLineEdit *m_txtEmailAddress = nullptr;
    QLineEdit *m_txtPwd = nullptr;
    QLineEdit *m_txtRetypePwd = nullptr;
    QLabel *m_lblServerHint = nullptr;
    QLabel *m_lblServer = nullptr;
    QLineEdit *m_txtServer = nullptr;
    QLabel *m_lblPort = nullptr;
    QSpinBox *m_txtPort = nullptr;
    QLabel *m_lblSecurity = nullptr;
    QComboBox *m_cboSecurity = nullptr;
    QLabel *m_lblProtocol = nullptr;
    QComboBox *m_cboProtocol = nullptr;
    QString m_folder = QStringLiteral("INBOX"); // kept as loaded: the dialog does not edit it
    QLabel *m_lblUser = nullptr;
    QLineEdit *m_txtUser = nullptr;
    QPushButton *m_cmdAutodetect = nullptr;
    QWidget *m_fraInterval = nullptr;
    QLabel *m_lblInterval1 = nullptr;
    QLineEdit *m_txtCheckMailInterval = nullptr;
    QLabel *m_lblInterval2 = nullptr;
    QCheckBox *m_chkDisable = nullptr;
    QPushButton *m_cmdTestAccount = nullptr;
    QPushButton *m_cmdOK = nullptr;
    QPushButton *m_cmdCancel = nullptr;
    QPushButton *m_cmdOnlineAccount = nullptr;
    QLabel *m_lblOnline = nullptr;
};
