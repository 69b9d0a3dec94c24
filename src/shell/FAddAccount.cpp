#include "FAddAccount.h"
#include "FChooseOne.h"
#include "FProgressor.h"
#include "ShellMessage.h"
#include "ShellServices.h"

#include "receive/CArriveShell.h"
#include "receive/CCheckMB.h"
#include "receive/OnlineAccounts.h"
#include "receive/ServerCertificate.h"
#include "storage/PasswordStore.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/ServiceConfig.h"
#include "trellis/Utility.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QString kClass = QStringLiteral("FAddAccount");

int defaultPort(const QString &security, const QString &protocol)
{
    if (protocol == QLatin1String("IMAP"))
        return security == QLatin1String("TLS") ? 993 : 143;
    return security == QLatin1String("TLS") ? 995 : 110;
}

/// A port the user left at a protocol's usual value (so a change of mode may replace it).
bool usualPort(int port)
{
    return port == 995 || port == 110 || port == 993 || port == 143;
}

}

FAddAccount::FAddAccount(ShellServices &services, LogPtr log, QWidget *parent)
    : QDialog(parent)
    , m_services(services)
    , m_log(std::move(log))
{
    setObjectName(kClass);
    setWindowTitle(QStringLiteral("Account Properties"));
    auto *layout = new QVBoxLayout(this);

    m_cmdOnlineAccount = new QPushButton(QStringLiteral("Use an account from &GNOME Online Accounts"), this);
    m_cmdOnlineAccount->setToolTip(QStringLiteral("Takes the server and login of a mail account set up in the desktop's "
                                                  "Online Accounts settings; the desktop signs in"));
    // Asked once: the desktop's list seldom changes while the form is open, and choosing asks again.
    m_cmdOnlineAccount->setEnabled(!OnlineAccounts::List().isEmpty());
    layout->addWidget(m_cmdOnlineAccount);

    auto *top = new QFormLayout;
    m_txtEmailAddress = new QLineEdit(this);
    m_txtPwd = new QLineEdit(this);
    m_txtPwd->setEchoMode(QLineEdit::Password);
    m_txtRetypePwd = new QLineEdit(this);
    m_txtRetypePwd->setEchoMode(QLineEdit::Password);
    top->addRow(QStringLiteral("&Email Address:"), m_txtEmailAddress);
    top->addRow(QStringLiteral("Pa&ssword:"), m_txtPwd);
    top->addRow(QStringLiteral("&Retype Password:"), m_txtRetypePwd);
    if (!PasswordStore::KeyringAvailable(m_log.get())) {
        auto *noKeyring = new QLabel(PasswordStore::NoKeyringText, this);
        noKeyring->setObjectName(QStringLiteral("lblNoKeyring"));
        noKeyring->setWordWrap(true);
        top->addRow(noKeyring);
    }
    m_lblOnline = new QLabel(QStringLiteral("GNOME Online Accounts signs in to this account: no password is needed here."),
                             this);
    m_lblOnline->setWordWrap(true);
    top->addRow(m_lblOnline);
    layout->addLayout(top);

    // Says why the server part is greyed out while it is.
    m_lblServerHint = new QLabel(this);
    m_lblServerHint->setWordWrap(true);
    layout->addWidget(m_lblServerHint);
    auto *server = new QFormLayout;
    m_cboProtocol = new QComboBox(this);
    m_cboProtocol->addItems({QStringLiteral("POP3"), QStringLiteral("IMAP")});
    m_cboProtocol->setToolTip(QStringLiteral("IMAP announces new mail the moment it arrives when the server offers IDLE"));
    m_lblProtocol = new QLabel(QStringLiteral("Pr&otocol:"), this);
    m_lblProtocol->setBuddy(m_cboProtocol);
    server->addRow(m_lblProtocol, m_cboProtocol);
    m_txtServer = new QLineEdit(this);
    m_lblServer = new QLabel(QStringLiteral("&Server:"), this);
    m_lblServer->setBuddy(m_txtServer);
    server->addRow(m_lblServer, m_txtServer);
    auto *portRow = new QHBoxLayout;
    m_txtPort = new QSpinBox(this);
    m_txtPort->setRange(1, 65535);
    m_txtPort->setValue(995);
    m_lblPort = new QLabel(QStringLiteral("&Port:"), this);
    m_lblPort->setBuddy(m_txtPort);
    m_cboSecurity = new QComboBox(this);
    m_cboSecurity->addItems({QStringLiteral("TLS"), QStringLiteral("STARTTLS"), QStringLiteral("None")});
    m_lblSecurity = new QLabel(QStringLiteral("Se&curity:"), this);
    m_lblSecurity->setBuddy(m_cboSecurity);
    portRow->addWidget(m_txtPort);
    portRow->addWidget(m_lblSecurity);
    portRow->addWidget(m_cboSecurity, 1);
    server->addRow(m_lblPort, portRow);
    m_txtUser = new QLineEdit(this);
    m_lblUser = new QLabel(QStringLiteral("&Login Name:"), this);
    m_lblUser->setBuddy(m_txtUser);
    server->addRow(m_lblUser, m_txtUser);
    layout->addLayout(server);

    m_cmdAutodetect = new QPushButton(QStringLiteral("&Autodetect Server and Login Name"), this);
    m_cmdAutodetect->setToolTip(QStringLiteral("Autodetect Server and Login. (Requires network connection)"));
    layout->addWidget(m_cmdAutodetect);

    auto *frame = new QGroupBox(QStringLiteral("Check Mail Interval"), this);
    m_fraInterval = frame;
    auto *intervalRow = new QHBoxLayout(frame);
    m_lblInterval1 = new QLabel(QStringLiteral("&Check for new mail every"), frame);
    m_txtCheckMailInterval = new QLineEdit(frame);
    m_txtCheckMailInterval->setValidator(new QIntValidator(1, 100000, m_txtCheckMailInterval));
    m_lblInterval1->setBuddy(m_txtCheckMailInterval);
    m_lblInterval2 = new QLabel(QStringLiteral("minute(s)"), frame);
    intervalRow->addWidget(m_lblInterval1);
    intervalRow->addWidget(m_txtCheckMailInterval);
    intervalRow->addWidget(m_lblInterval2);
    layout->addWidget(frame);
    m_chkDisable = new QCheckBox(QStringLiteral("&Don't Check this E-mail Account"), this);
    layout->addWidget(m_chkDisable);

    m_cmdTestAccount = new QPushButton(QStringLiteral("&Test Account Settings"), this);
    m_cmdTestAccount->setToolTip(QStringLiteral(
        "After filling out the information, we recommend you test your account. (Requires network connection)"));
    layout->addWidget(m_cmdTestAccount);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setDefault(true);
    m_cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    buttons->addWidget(m_cmdOK);
    buttons->addWidget(m_cmdCancel);
    layout->addLayout(buttons);

    const std::pair<QObject *, const char *> names[] = {
        {m_txtEmailAddress, "txtEmailAddress"}, {m_txtPwd, "txtPwd"}, {m_txtRetypePwd, "txtRetypePwd"},
        {m_lblServerHint, "lblServerHint"}, {m_txtServer, "txtServer"}, {m_txtPort, "txtPort"},
        {m_cboSecurity, "cboSecurity"}, {m_txtUser, "txtUser"}, {m_cboProtocol, "cboProtocol"},
        {m_cmdAutodetect, "cmdAutodetect"}, {m_txtCheckMailInterval, "txtCheckMailInterval"},
        {m_chkDisable, "chkDisable"}, {m_cmdTestAccount, "cmdTestAccount"}, {m_cmdOK, "cmdOK"},
        {m_cmdCancel, "cmdCancel"}, {m_cmdOnlineAccount, "cmdOnlineAccount"}, {m_lblOnline, "lblOnline"}};
    for (const auto &[object, name] : names)
        object->setObjectName(QLatin1String(name));

    for (QLineEdit *edit : {m_txtEmailAddress, m_txtPwd, m_txtRetypePwd, m_txtServer, m_txtUser})
        connect(edit, &QLineEdit::textChanged, this, &FAddAccount::EnableControls);
    for (QLineEdit *edit : {m_txtEmailAddress, m_txtPwd, m_txtRetypePwd, m_txtServer, m_txtUser, m_txtCheckMailInterval})
        edit->installEventFilter(this);
    connect(m_chkDisable, &QCheckBox::toggled, this, &FAddAccount::chkDisable_Click);
    connect(m_cboSecurity, &QComboBox::currentTextChanged, this, &FAddAccount::cboSecurity_Changed);
    connect(m_cboProtocol, &QComboBox::currentTextChanged, this, &FAddAccount::cboProtocol_Changed);
    connect(m_cmdAutodetect, &QPushButton::clicked, this, &FAddAccount::cmdAutodetect_Click);
    connect(m_cmdTestAccount, &QPushButton::clicked, this, &FAddAccount::cmdTestAccount_Click);
    connect(m_cmdOK, &QPushButton::clicked, this, &FAddAccount::cmdOK_Click);
    connect(m_cmdCancel, &QPushButton::clicked, this, &FAddAccount::cmdCancel_Click);
    connect(m_cmdOnlineAccount, &QPushButton::clicked, this, &FAddAccount::cmdOnlineAccount_Click);

    LoadAccount(nullptr);
}

FAddAccount::~FAddAccount() = default;

bool FAddAccount::IsValidAddress(const QString &address)
{
    // One character, any, "@", one character, any, ".", two characters, any.
    static const QRegularExpression pattern(QStringLiteral(R"(\A.+@.+\..{2,}\z)"),
                                            QRegularExpression::DotMatchesEverythingOption);
    return pattern.match(address).hasMatch();
}

void FAddAccount::LoadAccount(const Record *account)
{
    m_accepted = false;
    m_certPin.clear();
    m_txtEmailAddress->clear();
    m_txtPwd->clear();
    m_txtRetypePwd->clear();
    m_txtServer->clear();
    m_txtUser->clear();
    m_cboProtocol->setCurrentText(QStringLiteral("POP3"));
    m_folder = QStringLiteral("INBOX");
    m_cboSecurity->setCurrentText(QStringLiteral("TLS"));
    m_txtPort->setValue(995);
    m_txtCheckMailInterval->setText(QStringLiteral("10"));
    m_chkDisable->setChecked(false);
    m_onlineAccount = account ? account->text(QStringLiteral("OnlineAccount")) : QString();
    m_oauth2Provider = account ? account->text(QStringLiteral("OAuth2Provider")) : QString();
    if (account) {
        auto has = [account](const char *name) { return account->Exists(QLatin1String(name)); };
        auto text = [account](const char *name) { return account->text(QLatin1String(name)); };
        if (has("Email"))
            m_txtEmailAddress->setText(text("Email"));
        if (has("Pwd")) {
            m_txtPwd->setText(text("Pwd"));
            m_txtRetypePwd->setText(text("Pwd"));
        }
        if (has("Server"))
            m_txtServer->setText(text("Server"));
        if (has("User"))
            m_txtUser->setText(text("User"));
        if (has("Protocol"))
            m_cboProtocol->setCurrentText(text("Protocol").compare(QLatin1String("IMAP"), Qt::CaseInsensitive) == 0
                                              ? QStringLiteral("IMAP")
                                              : QStringLiteral("POP3"));
        if (has("Folder") && !text("Folder").trimmed().isEmpty())
            m_folder = text("Folder");
        if (has("Security") && m_cboSecurity->findText(text("Security")) >= 0)
            m_cboSecurity->setCurrentText(text("Security"));
        else if (has("Port"))
            m_cboSecurity->setCurrentText((account->Item(QStringLiteral("Port")).toInt() == 995
                                           || account->Item(QStringLiteral("Port")).toInt() == 993)
                                              ? QStringLiteral("TLS")
                                              : QStringLiteral("None"));
        if (has("Port") && account->Item(QStringLiteral("Port")).toInt() > 0)
            m_txtPort->setValue(account->Item(QStringLiteral("Port")).toInt());
        if (has("CheckInterval"))
            m_txtCheckMailInterval->setText(text("CheckInterval"));
        if (has("Disabled"))
            m_chkDisable->setChecked(account->Item(QStringLiteral("Disabled")).toBool());
        if (has("CertPin"))
            m_certPin = text("CertPin");
    }
    m_pinServer = m_txtServer->text();
    m_pinPort = m_txtPort->value();
    m_pinSecurity = m_cboSecurity->currentText();
    chkDisable_Click();
    EnableControls();
}

void FAddAccount::WriteAccount(Record &account) const
{
    account.RemoveAll();
    account.Add(QStringLiteral("Server"), m_txtServer->text());
    account.Add(QStringLiteral("Port"), m_txtPort->value());
    account.Add(QStringLiteral("User"), m_txtUser->text());
    // A linked account keeps no password: each login asks the desktop for one.
    account.Add(QStringLiteral("Pwd"), m_onlineAccount.isEmpty() ? m_txtPwd->text() : QString());
    account.Add(QStringLiteral("CheckInterval"), m_txtCheckMailInterval->text().toInt());
    account.Add(QStringLiteral("Disabled"), m_chkDisable->isChecked());
    account.Add(QStringLiteral("Email"), m_txtEmailAddress->text());
    account.Add(QStringLiteral("Security"), m_cboSecurity->currentText());
    account.Add(QStringLiteral("CertPin"), onPinnedEndpoint() ? m_certPin : QString());
    account.Add(QStringLiteral("Protocol"), m_cboProtocol->currentText());
    account.Add(QStringLiteral("Folder"), m_folder);
    if (!m_onlineAccount.isEmpty())
        account.Add(QStringLiteral("OnlineAccount"), m_onlineAccount);
    if (!m_oauth2Provider.isEmpty())
        account.Add(QStringLiteral("OAuth2Provider"), m_oauth2Provider);
}

bool FAddAccount::onPinnedEndpoint() const
{
    // A remembered certificate belongs to the endpoint it was seen on.
    return m_txtServer->text() == m_pinServer && m_txtPort->value() == m_pinPort
        && m_cboSecurity->currentText() == m_pinSecurity;
}

void FAddAccount::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    EnableControls();
}

bool FAddAccount::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusIn) {
        if (auto *edit = qobject_cast<QLineEdit *>(watched))
            QTimer::singleShot(0, edit, [edit] { edit->selectAll(); });
    }
    return QDialog::eventFilter(watched, event);
}

void FAddAccount::EnableControls()
{
    // A linked account's address, server part and sign-in belong to the desktop.
    const bool online = !m_onlineAccount.isEmpty();
    const bool addressOk = IsValidAddress(m_txtEmailAddress->text());
    const bool pwdOk = linked() || (!m_txtPwd->text().isEmpty() && m_txtPwd->text() == m_txtRetypePwd->text());
    const bool upper = addressOk && pwdOk;
    const bool complete = upper && !m_txtServer->text().isEmpty() && !m_txtUser->text().isEmpty();
    for (QWidget *w : std::initializer_list<QWidget *>{m_lblServer, m_txtServer, m_lblPort, m_txtPort, m_lblSecurity,
                                                      m_cboSecurity, m_lblUser, m_txtUser, m_cmdAutodetect,
                                                      m_lblProtocol, m_cboProtocol})
        w->setEnabled(upper && !online);
    m_txtEmailAddress->setEnabled(!online);
    for (QWidget *w : std::initializer_list<QWidget *>{m_txtPwd, m_txtRetypePwd})
        w->setEnabled(!linked());
    m_lblOnline->setText(online ? QStringLiteral("GNOME Online Accounts signs in to this account: no password is needed here.")
                                : QStringLiteral("This account signs in through the browser (murmelo-cli accounts signin): "
                                                 "no password is needed here."));
    m_lblOnline->setHidden(!linked());
    for (QWidget *w : std::initializer_list<QWidget *>{m_fraInterval, m_chkDisable, m_cmdOK, m_cmdTestAccount})
        w->setEnabled(complete);
    const bool retyped = !m_txtPwd->text().isEmpty() && !m_txtRetypePwd->text().isEmpty();
    if (addressOk && retyped && !pwdOk)
        m_lblServerHint->setText(QStringLiteral("The two passwords differ: type the same password twice."));
    else
        m_lblServerHint->setText(QStringLiteral("Enter your e-mail address and the password twice."));
    m_lblServerHint->setHidden(upper);
}

void FAddAccount::chkDisable_Click()
{
    const bool on = !m_chkDisable->isChecked();
    m_lblInterval1->setEnabled(on);
    m_txtCheckMailInterval->setEnabled(on);
    m_lblInterval2->setEnabled(on);
}

void FAddAccount::cboSecurity_Changed()
{
    // Follow the usual port of the mode unless the user chose another one.
    if (usualPort(m_txtPort->value()))
        m_txtPort->setValue(defaultPort(m_cboSecurity->currentText(), m_cboProtocol->currentText()));
}

void FAddAccount::cboProtocol_Changed()
{
    if (usualPort(m_txtPort->value()))
        m_txtPort->setValue(defaultPort(m_cboSecurity->currentText(), m_cboProtocol->currentText()));
}

bool FAddAccount::YahooWarning()
{
    const QString address = m_txtEmailAddress->text().trimmed().toLower();
    const qsizetype at = address.indexOf(u'@');
    const QString yahoo = ServiceConfig::Text(QStringLiteral("yahooDomain")).toLower();
    if (at < 0 || yahoo.isEmpty() || address.mid(at + 1) != yahoo)
        return true;
    const int answer = m_services.message(Utility::FormatText(MessageTable::Text(153), {m_txtEmailAddress->text()}),
                                   int(ShellMessage::YesNo) | int(ShellMessage::Exclamation)
                                       | int(ShellMessage::DefaultButton2));
    return answer == ShellMessage::Yes;
}

void FAddAccount::prepare(CCheckMB &checker) const
{
    checker.Init(m_log);
    if (m_services.setUpChecker)
        m_services.setUpChecker(checker);
}

void FAddAccount::logError(const std::exception &e, const QString &member) const
{
    if (m_log)
        m_log->WriteError(e, kClass + u'.' + member);
}

void FAddAccount::cmdAutodetect_Click()
{
    if (m_log)
        m_log->Trace(QStringLiteral("cmdAutodetect_Click call"), kClass + QStringLiteral(".cmdAutodetect_Click"));
    try {
        if (!YahooWarning())
            return;
        FProgressor::Run(MessageTable::Text(154), this, [this] { Autodetect(); });
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("cmdAutodetect_Click"));
    }
}

void FAddAccount::Autodetect()
{
    try {
        const QString address = m_txtEmailAddress->text().trimmed();
        const QString domain = address.mid(address.indexOf(u'@') + 1);
        CCheckMB finder;
        prepare(finder);
        CCheckMB::ServerChoice choice = finder.FindServer(domain);
        if (choice.isEmpty()) {
            if (m_txtServer->text().trimmed().isEmpty()) {
                m_services.message(Utility::FormatText(MessageTable::Text(130), {address}), ShellMessage::Information);
                return;
            }
            choice.host = m_txtServer->text().trimmed();
            choice.port = m_txtPort->value();
            choice.security = m_cboSecurity->currentText();
            choice.protocol = m_cboProtocol->currentText();
        }
        CCheckMB logon;
        prepare(logon);
        const QString user = logon.LogonNameByServerAndEmail(choice.host, address, m_txtPwd->text(),
                                                             choice.port > 0 ? choice.port : 110,
                                                             choice.security.isEmpty() ? QStringLiteral("None")
                                                                                       : choice.security,
                                                             choice.protocol);
        m_cboProtocol->setCurrentText(choice.protocol);
        m_txtServer->setText(choice.host);
        if (!choice.security.isEmpty() && m_cboSecurity->findText(choice.security) >= 0)
            m_cboSecurity->setCurrentText(choice.security);
        if (choice.port > 0)
            m_txtPort->setValue(choice.port);
        if (!user.isEmpty()) {
            m_txtUser->setText(user);
            m_cmdOK->setFocus();
        } else {
            m_services.message(Utility::FormatText(MessageTable::Text(131), {choice.host, address}), ShellMessage::Information);
        }
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("Autodetect"));
    }
}

bool FAddAccount::CheckAccountSettings(QString &reason)
{
    bool ok = false;
    try {
        const QString server = m_txtServer->text().trimmed();
        const QString user = m_txtUser->text();
        const QString pwd = m_txtPwd->text();
        const int port = m_txtPort->value();
        const QString security = m_cboSecurity->currentText();
        qint32 failure = 0;
        auto check = [&] {
            reason.clear();
            FProgressor::Run(MessageTable::Text(154), this, [&] {
                CCheckMB checker;
                prepare(checker);
                checker.setCertPin(onPinnedEndpoint() ? m_certPin : QString());
                if (linked()) {
                    // Signed in as its checks sign in: with the token the desktop or the provider gives now.
                    Record account;
                    WriteAccount(account);
                    ok = checker.CheckAccount(account, &reason);
                } else {
                    ok = m_cboProtocol->currentText() == QLatin1String("IMAP")
                        ? checker.CheckImap(server, user, pwd, port, &reason, security)
                        : checker.CheckMB(server, user, pwd, port, &reason, security);
                }
                failure = ok ? 0 : checker.lastErrorNumber();
                if (!ok && reason.isEmpty())
                    reason = checker.lastError();
            });
        };
        check();
        if (!ok && failure == CArriveShell::CertificateNotTrusted && OfferToTrustCertificate(reason))
            check();
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("CheckAccountSettings"));
        reason = QString::fromUtf8(e.what());
        ok = false;
    }
    return ok;
}

bool FAddAccount::OfferToTrustCertificate(const QString &reason)
{
    const QString server = m_txtServer->text().trimmed();
    const int port = m_txtPort->value();
    const QString security = m_cboSecurity->currentText();
    QSslCertificate certificate;
    QString why;
    FProgressor::Run(MessageTable::Text(154), this, [&] {
        certificate = FetchServerCertificate(server, quint16(port), security, &why, 30000, m_cboProtocol->currentText());
    });
    if (certificate.isNull()) {
        if (m_log)
            m_log->Write(MUError::Fail, QStringLiteral("No certificate from %1:%2: %3").arg(server).arg(port).arg(why),
                         Log::LevelError, kClass + QStringLiteral(".OfferToTrustCertificate"));
        return false;
    }
    const QString fingerprint = CArriveShell::Fingerprint(certificate);
    const QString prompt = Utility::FormatText(
        MessageTable::Text(156),
        {server, reason.trimmed(), certificate.subjectDisplayName(), certificate.issuerDisplayName(),
         QLocale().toString(certificate.expiryDate().toLocalTime(), QLocale::ShortFormat), fingerprint});
    const int answer = m_services.message(prompt, int(ShellMessage::YesNo) | int(ShellMessage::Exclamation)
                                               | int(ShellMessage::DefaultButton2));
    if (answer != ShellMessage::Yes)
        return false;
    m_certPin = fingerprint;
    m_pinServer = m_txtServer->text();
    m_pinPort = port;
    m_pinSecurity = security;
    if (m_log)
        m_log->Trace(QStringLiteral("Certificate %1 of %2:%3 pinned").arg(fingerprint, server).arg(port),
                     kClass + QStringLiteral(".OfferToTrustCertificate"));
    return true;
}

void FAddAccount::cmdTestAccount_Click()
{
    if (m_log)
        m_log->Trace(QStringLiteral("cmdTestAccount_Click call"), kClass + QStringLiteral(".cmdTestAccount_Click"));
    try {
        if (m_txtServer->text().trimmed().isEmpty()) {
            m_services.message(MessageTable::Text(116), ShellMessage::Exclamation);
            m_txtServer->setFocus();
            return;
        }
        if (m_txtUser->text().isEmpty()) {
            m_services.message(MessageTable::Text(118), ShellMessage::Exclamation);
            m_txtUser->setFocus();
            return;
        }
        if (!YahooWarning())
            return;
        QString reason;
        if (CheckAccountSettings(reason))
            m_services.message(MessageTable::Text(114), ShellMessage::Information);
        else
            m_services.message(MessageTable::Text(115) + reason, ShellMessage::Exclamation);
        m_cmdOK->setFocus();
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("cmdTestAccount_Click"));
    }
}

void FAddAccount::cmdOK_Click()
{
    if (m_log)
        m_log->Trace(QStringLiteral("cmdOK_Click call"), kClass + QStringLiteral(".cmdOK_Click"));
    try {
        if (!YahooWarning())
            return;
        if (!m_chkDisable->isChecked()) {
            QString reason;
            if (!CheckAccountSettings(reason)) {
                m_services.message(MessageTable::Text(115) + reason, ShellMessage::Exclamation);
                return;
            }
        }
        m_accepted = true;
        accept();
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("cmdOK_Click"));
    }
}

void FAddAccount::cmdCancel_Click()
{
    m_accepted = false;
    reject();
}

void FAddAccount::cmdOnlineAccount_Click()
{
    if (m_log)
        m_log->Trace(QStringLiteral("cmdOnlineAccount_Click call"), kClass + QStringLiteral(".cmdOnlineAccount_Click"));
    try {
        QString why;
        const QList<OnlineAccounts::MailAccount> accounts = OnlineAccounts::List(&why);
        if (accounts.isEmpty()) {
            m_services.message(why.isEmpty() ? QStringLiteral("GNOME Online Accounts has no mail account.") : why.trimmed(),
                               ShellMessage::Exclamation);
            return;
        }
        QStringList entries;
        for (const OnlineAccounts::MailAccount &a : accounts)
            entries << QStringLiteral("%1 - %2 (%3)").arg(a.email, a.provider.isEmpty() ? a.server : a.provider, a.id);
        int at = 0;
        if (m_services.chooseOne) {
            at = m_services.chooseOne(entries, this);
        } else {
            FChooseOne chooser(this);
            at = chooser.ChooseOne(entries, this);
        }
        if (at < 1 || at > accounts.size())
            return;
        // The same settings `accounts add --online-account` stores; the interval and the flag stay as typed.
        Record chosen = OnlineAccounts::ToAccount(accounts.at(at - 1));
        chosen.Add(QStringLiteral("CheckInterval"), m_txtCheckMailInterval->text());
        chosen.Add(QStringLiteral("Disabled"), m_chkDisable->isChecked());
        LoadAccount(&chosen);
        m_cmdOK->setFocus();
    } catch (const std::exception &e) {
        logError(e, QStringLiteral("cmdOnlineAccount_Click"));
    }
}
