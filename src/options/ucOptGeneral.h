#pragma once
#include "OptionsPage.h"
#include "trellis/Record.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;

/// The General page: the user's name and title, the start-up welcome, the e-mail
/// program and whether the program starts when the user logs in. Main thread.
class ucOptGeneral : public OptionsPage
{
    Q_OBJECT
public:
    static const QString KeyName;
    static const QString KeyTitle;
    static const QString KeyWelcomeGesture;
    static const QString KeyWelcomeMessage;
    static const QString KeySkipWelcome;
    static const QString KeyEmailProgramName;
    static const QString KeyEmailProgramCommand;
    static const QString KeyDesktopNotification;
    static const QStringList &Titles();

    explicit ucOptGeneral(const OptionsServices &services, QWidget *parent = nullptr);
    void Update() override;

    /// The mail programs listed (records with "Name" and "OpenCommand").
    const QList<Record> &mailPrograms() const { return m_mailPrograms; }

public Q_SLOTS:
    void cmdPreview_Click();
    void cmdRunEmailClient_Click();

protected:
    void load() override;

private:
    const Record *findProgram(const QString &name) const;

    QLineEdit *m_txtName;
    QComboBox *m_cboTitle;
    QCheckBox *m_chkShowWelcomeMessage;
    QComboBox *m_cboGesture;
    QPushButton *m_cmdPreview;
    QPlainTextEdit *m_txtWelcomeMsg;
    QComboBox *m_cboEmailProgram;
    QPushButton *m_cmdRunEmailClient;
    QCheckBox *m_chkDontRunMUatStartup;
    QCheckBox *m_chkNotify;
    QList<Record> m_mailPrograms;
};
