#include "ucOptGeneral.h"
#include "Autostart.h"
#include "EmailProgram.h"
#include "FocusBehaviour.h"
#include "MailClients.h"
#include "OptionsServices.h"
#include "trellis/MessageTable.h"
#include "trellis/Utility.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

const QString ucOptGeneral::KeyName = QStringLiteral("{E19510EA-1982-4bda-B9B9-89B71B7ADF76}");
const QString ucOptGeneral::KeyTitle = QStringLiteral("{E11F741F-E39F-4f16-9073-91DC90944D2D}");
const QString ucOptGeneral::KeyWelcomeGesture = QStringLiteral("{392A42CE-A71F-40e6-B710-64891E27B74A}");
const QString ucOptGeneral::KeyWelcomeMessage = QStringLiteral("{17C0741D-8D14-40c5-AB9C-6FBDA1BD9CB7}");
const QString ucOptGeneral::KeySkipWelcome = QStringLiteral("{DE32BEA2-8FD2-40fc-AB7C-E84136A207F8}");
const QString ucOptGeneral::KeyEmailProgramName = QStringLiteral("{5C89BAD0-9E28-4ec5-BDF8-93265692DD21}");
const QString ucOptGeneral::KeyEmailProgramCommand = QStringLiteral("{BC15E346-F1C0-4c4a-B521-7A583B942133}");
const QString ucOptGeneral::KeyDesktopNotification = QStringLiteral("{5E0C4A8B-3D2F-4B7A-9C61-2F8D0B7E4A13}");

const QStringList &ucOptGeneral::Titles()
{
    static const QStringList titles = {QStringLiteral("Doctor"), QStringLiteral("Mister"), QStringLiteral("Miss"),
                                       QStringLiteral("Missis"), QStringLiteral("Ph.D."), QStringLiteral("Sir!")};
    return titles;
}

ucOptGeneral::ucOptGeneral(const OptionsServices &services, QWidget *parent) : OptionsPage(services, parent)
{
    setObjectName(QStringLiteral("ucGeneral"));
    auto *layout = new QVBoxLayout(this);

    auto *you = new QGroupBox(QStringLiteral("Your Name"), this);
    auto *youForm = new QFormLayout(you);
    m_txtName = new QLineEdit(you);
    m_txtName->setObjectName(QStringLiteral("txtName"));
    m_cboTitle = new QComboBox(you);
    m_cboTitle->setObjectName(QStringLiteral("cboTitle"));
    m_cboTitle->setEditable(true);
    m_cboTitle->setInsertPolicy(QComboBox::NoInsert);
    youForm->addRow(QStringLiteral("&Name:"), m_txtName);
    youForm->addRow(QStringLiteral("&Title:"), m_cboTitle);
    layout->addWidget(you);

    auto *welcome = new QGroupBox(QStringLiteral("Program Start Welcome"), this);
    auto *welcomeForm = new QFormLayout(welcome);
    m_chkShowWelcomeMessage = new QCheckBox(QStringLiteral("Skip &Welcome"), welcome);
    m_chkShowWelcomeMessage->setObjectName(QStringLiteral("chkShowWelcomeMessage"));
    welcomeForm->addRow(m_chkShowWelcomeMessage);
    auto *gestureRow = new QHBoxLayout;
    m_cboGesture = new QComboBox(welcome);
    m_cboGesture->setObjectName(QStringLiteral("cboGesture"));
    m_cboGesture->setEditable(true);
    m_cboGesture->setInsertPolicy(QComboBox::NoInsert);
    m_cmdPreview = new QPushButton(QStringLiteral("&Preview"), welcome);
    m_cmdPreview->setObjectName(QStringLiteral("cmdPreview"));
    m_cmdPreview->setAutoDefault(false);
    gestureRow->addWidget(m_cboGesture, 1);
    gestureRow->addWidget(m_cmdPreview);
    addRow(welcomeForm, QStringLiteral("&Gesture:"), gestureRow, m_cboGesture);
    m_txtWelcomeMsg = new QPlainTextEdit(welcome);
    m_txtWelcomeMsg->setObjectName(QStringLiteral("txtWelcomeMsg"));
    m_txtWelcomeMsg->setTabChangesFocus(true);
    welcomeForm->addRow(QStringLiteral("&Message:"), m_txtWelcomeMsg);
    layout->addWidget(welcome);

    auto *mail = new QGroupBox(QStringLiteral("E-mail Program"), this);
    auto *mailForm = new QFormLayout(mail);
    auto *mailRow = new QHBoxLayout;
    m_cboEmailProgram = new QComboBox(mail);
    m_cboEmailProgram->setObjectName(QStringLiteral("cboEmailProgram"));
    m_cmdRunEmailClient = new QPushButton(QStringLiteral("&Start"), mail);
    m_cmdRunEmailClient->setObjectName(QStringLiteral("cmdRunEmailClient"));
    m_cmdRunEmailClient->setAutoDefault(false);
    mailRow->addWidget(m_cboEmailProgram, 1);
    mailRow->addWidget(m_cmdRunEmailClient);
    addRow(mailForm, QStringLiteral("Nam&e:"), mailRow, m_cboEmailProgram);
    layout->addWidget(mail);

    m_chkDontRunMUatStartup = new QCheckBox(QStringLiteral("&Don't Run Murmelo at Startup"), this);
    m_chkDontRunMUatStartup->setObjectName(QStringLiteral("chkDontRunMUatStartup"));
    layout->addWidget(m_chkDontRunMUatStartup);
    m_chkNotify = new QCheckBox(QStringLiteral("Show a desktop &notification for new mail"), this);
    m_chkNotify->setObjectName(QStringLiteral("chkNotify"));
    layout->addWidget(m_chkNotify);
    layout->addStretch(1);

    FocusBehaviour::SelectAllOnFocus(m_txtName);
    connect(m_txtName, &QLineEdit::textEdited, this, &ucOptGeneral::changed);
    connect(m_txtWelcomeMsg, &QPlainTextEdit::textChanged, this, &ucOptGeneral::changed);
    connect(m_cboTitle, &QComboBox::currentTextChanged, this, &ucOptGeneral::changed);
    connect(m_cboGesture, &QComboBox::currentTextChanged, this, &ucOptGeneral::changed);
    connect(m_cboEmailProgram, &QComboBox::currentTextChanged, this, &ucOptGeneral::changed);
    connect(m_chkShowWelcomeMessage, &QCheckBox::toggled, this, &ucOptGeneral::changed);
    connect(m_chkDontRunMUatStartup, &QCheckBox::toggled, this, &ucOptGeneral::changed);
    connect(m_chkNotify, &QCheckBox::toggled, this, &ucOptGeneral::changed);
    connect(m_cmdPreview, &QPushButton::clicked, this, &ucOptGeneral::cmdPreview_Click);
    connect(m_cmdRunEmailClient, &QPushButton::clicked, this, &ucOptGeneral::cmdRunEmailClient_Click);
}

void ucOptGeneral::load()
{
    FocusBehaviour::KeepOkFromDefault(m_txtWelcomeMsg, m_ok);
    FocusBehaviour::KeepOkFromDefault(m_cmdPreview, m_ok);

    fillGestures(m_cboGesture, KeyWelcomeGesture);

    // Installed mail programs; the combo shows their names.
    m_cboEmailProgram->clear();
    m_mailPrograms.clear();
    try {
        m_mailPrograms = MailClients::Find();
    } catch (...) {
    }
    for (const Record &r : std::as_const(m_mailPrograms))
        m_cboEmailProgram->addItem(r.text(QStringLiteral("Name")));

    QString name = settingText(KeyEmailProgramName);
    if (name.isEmpty())
        name = EmailProgram::DerivedName(settingText(KeyEmailProgramCommand));
    // A stored program that is no longer installed is still shown as the choice.
    if (!name.isEmpty() && m_cboEmailProgram->findText(name, Qt::MatchFixedString) < 0)
        m_cboEmailProgram->addItem(name);
    m_cboEmailProgram->setCurrentIndex(name.isEmpty() ? -1 : m_cboEmailProgram->findText(name, Qt::MatchFixedString));
    if (m_cboEmailProgram->currentText().isEmpty())
        m_cboEmailProgram->setCurrentIndex(m_cboEmailProgram->findText(QStringLiteral("Outlook Express")));
    if (m_cboEmailProgram->currentText().isEmpty() && m_cboEmailProgram->count() > 0)
        m_cboEmailProgram->setCurrentIndex(m_cboEmailProgram->count() > 1 ? 1 : 0);

    m_cboTitle->clear();
    m_cboTitle->addItems(Titles());
    m_cboTitle->setCurrentText(settingText(KeyTitle, Titles().first()));
    m_txtName->setText(settingText(KeyName));
    m_txtWelcomeMsg->setPlainText(settingText(KeyWelcomeMessage));
    m_chkShowWelcomeMessage->setChecked(settingBool(KeySkipWelcome, false));
    m_chkDontRunMUatStartup->setChecked(!Autostart::Enabled());
    m_chkNotify->setChecked(settingBool(KeyDesktopNotification, true));
}

const Record *ucOptGeneral::findProgram(const QString &name) const
{
    for (const Record &r : m_mailPrograms) {
        if (r.text(QStringLiteral("Name")) == name)
            return &r;
    }
    return nullptr;
}

void ucOptGeneral::Update()
{
    trace(QStringLiteral("IOptUC_Update() call"), QStringLiteral("IOptUC_Update"));
    try {
        save(KeyTitle, m_cboTitle->currentText());
        save(KeyName, m_txtName->text());
        save(KeyWelcomeGesture, gestureName(m_cboGesture));
        save(KeyWelcomeMessage, m_txtWelcomeMsg->toPlainText());
        const QString program = m_cboEmailProgram->currentText();
        save(KeyEmailProgramName, program);
        if (const Record *r = findProgram(program))
            save(KeyEmailProgramCommand, Utility::ExpandVariables(r->text(QStringLiteral("OpenCommand"))));
        save(KeySkipWelcome, m_chkShowWelcomeMessage->isChecked());
        save(KeyDesktopNotification, m_chkNotify->isChecked());
        if (m_chkDontRunMUatStartup->isChecked()) {
            Autostart::Remove();
        } else {
            const QStringList self = Autostart::ThisProgram();
            if (!Autostart::Write(self.first(), self.mid(1)) && m_log)
                m_log->Write(0, QStringLiteral("Cannot write the autostart entry %1").arg(Autostart::EntryPath()),
                             Log::LevelError, QStringLiteral("ucOptGeneral.IOptUC_Update"));
        }
    } catch (const std::exception &) {
    } catch (...) {
    }
}

void ucOptGeneral::cmdPreview_Click()
{
    previewGesture(gestureName(m_cboGesture));
}

void ucOptGeneral::cmdRunEmailClient_Click()
{
    const Record *r = findProgram(m_cboEmailProgram->currentText());
    if (!r)
        return;
    const QString command = Utility::ExpandVariables(r->text(QStringLiteral("OpenCommand")));
    if (command.trimmed().isEmpty())
        return;
    const QString why = EmailProgram::Start(m_services, command);
    if (!why.isEmpty())
        m_services.showMessage(this, MessageTable::Text(100) + why, 64);
}
