#pragma once
#include "CL.h"
#include "trellis/Log.h"
#include <QDialog>
#include <QList>
#include <functional>

class QCheckBox;
class QLabel;
class QFormLayout;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

/// What the four feedback forms share: the fields checked and sent in order, the send
/// with the form disabled under a busy pointer, and the outcome messages.
/// Thread: GUI thread only.
class FFeedbackForm : public QDialog
{
    Q_OBJECT
public:
    /// Message-box icons and buttons, as the program's message routine takes them.
    enum MessageStyle { Critical = 16, Exclamation = 48, Information = 64 };
    /// Shows `prompt` with `style`; returns the button pressed.
    using MessageRoutine = std::function<int(QWidget *parent, const QString &prompt, int style)>;
    /// Routes every message box of the form through `routine` (empty: the built-in box).
    void setMessageRoutine(MessageRoutine routine) { m_message = std::move(routine); }
    int ShowMessage(QWidget *parent, const QString &prompt, int style) const;
    /// What the form says when the program has no feedback address configured.
    static QString NoEndpointText();
    /// Asks where to save a report; returns the chosen file or "" (cancelled).
    using SaveFileChooser = std::function<QString(QWidget *parent, const QString &suggested)>;
    /// Replaces the save dialog (empty: the desktop's file dialog).
    void setSaveFileChooser(SaveFileChooser chooser) { m_chooseSaveFile = std::move(chooser); }

    ~FFeedbackForm() override;

    /// The log written to and attached; may be null (nothing is attached then).
    void setLog(const LogPtr &log) { m_log = log; }
    /// The sender, for its endpoint, time limit and working folder.
    CL &cl() { return m_sender; }
    bool isSending() const { return m_sending; }
    /// The form's class name, the source of its log lines.
    QString className() const { return m_className; }

public Q_SLOTS:
    /// Checks the fields, sends them with the log and reports the outcome; closes the form
    /// when sent.
    void cmdSend_Click();
    /// Checks the fields and writes what Send would post to a file the user chooses (the
    /// way out when no feedback address is configured).
    void cmdSave_Click();
    /// Closes the form without sending.
    void cmdCancel_Click();
    void reject() override;

protected:
    /// `category` as the service files it; messages by table id.
    FFeedbackForm(const QString &className, const QString &category, int successMessage, int failureMessage,
                  QWidget *parent);

    /// Adds a labelled one-line box sent as `field`; an empty box stops the send with
    /// `emptyMessage`.
    QLineEdit *addLine(const QString &objectName, const QString &label, const QString &field, int emptyMessage);
    /// Adds a labelled multi-line box sent as `field`.
    QPlainTextEdit *addText(const QString &objectName, const QString &label, const QString &field, int emptyMessage);
    /// Adds a check box sent as `field` ("1" checked, "0" not).
    QCheckBox *addCheck(const QString &objectName, const QString &label, const QString &field);
    /// Adds the Send and Cancel buttons; called last by each form.
    void addButtons();
    /// Says at once whether the report can be sent, or only saved.
    void showEvent(QShowEvent *event) override;

private:
    struct Field {
        QString name;
        QWidget *source = nullptr;
        int emptyMessage = 0;
    };
    static QString textOf(const QWidget *source);
    /// The first empty required field is reported and focused; false then.
    bool fieldsComplete();
    Record collectFields() const;
    void setBusy(bool busy);

    QString m_className;
    QString m_category;
    int m_successMessage;
    int m_failureMessage;
    LogPtr m_log;
    CL m_sender;
    QList<Field> m_fields;
    QFormLayout *m_layout = nullptr;
    QLabel *m_lblNoEndpoint = nullptr;
    QPushButton *m_cmdSend = nullptr;
    QPushButton *m_cmdSave = nullptr;
    bool m_sending = false;
    MessageRoutine m_message;
    SaveFileChooser m_chooseSaveFile;
};
