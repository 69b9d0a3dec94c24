#include "FFeedbackForm.h"
#include "FeedbackLog.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Record.h"
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

/// Said when the program has no address to send feedback to.
constexpr int NoEndpointMessage = 155;

}

QString FFeedbackForm::NoEndpointText()
{
    const QString text = MessageTable::Text(NoEndpointMessage);
    return text.isEmpty() ? QStringLiteral("Feedback cannot be sent: no feedback address is configured. ") : text;
}

int FFeedbackForm::ShowMessage(QWidget *parent, const QString &prompt, int style) const
{
    if (m_message)
        return m_message(parent, prompt, style);
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (style) {
    case Critical: icon = QMessageBox::Critical; break;
    case Exclamation: icon = QMessageBox::Warning; break;
    case Information: icon = QMessageBox::Information; break;
    default: break;
    }
    QMessageBox box(icon, MessageTable::Text(104), prompt, QMessageBox::Ok, parent);
    // The pointer may be busy: the box gets the normal one, the caller's comes back after.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    const int pressed = box.exec();
    QApplication::restoreOverrideCursor();
    return pressed;
}

FFeedbackForm::FFeedbackForm(const QString &className, const QString &category, int successMessage,
                             int failureMessage, QWidget *parent)
    : QDialog(parent)
    , m_className(className)
    , m_category(category)
    , m_successMessage(successMessage)
    , m_failureMessage(failureMessage)
{
    setObjectName(className);
    setModal(true);
    auto *outer = new QVBoxLayout(this);
    m_lblNoEndpoint = new QLabel(NoEndpointText().trimmed() +
                                     tr(" Save the report to a file with \"Save Report...\" and pass it on yourself."),
                                 this);
    m_lblNoEndpoint->setObjectName(QStringLiteral("lblNoEndpoint"));
    m_lblNoEndpoint->setWordWrap(true);
    m_lblNoEndpoint->hide();
    outer->addWidget(m_lblNoEndpoint);
    m_layout = new QFormLayout;
    outer->addLayout(m_layout);
    resize(460, 360);
}

FFeedbackForm::~FFeedbackForm()
{
    // A form closed by force while a send waits must not leave the pointer busy.
    if (m_sending)
        QApplication::restoreOverrideCursor();
}

QLineEdit *FFeedbackForm::addLine(const QString &objectName, const QString &label, const QString &field,
                                  int emptyMessage)
{
    auto *edit = new QLineEdit(this);
    edit->setObjectName(objectName);
    m_layout->addRow(label, edit);
    m_fields.append({field, edit, emptyMessage});
    return edit;
}

QPlainTextEdit *FFeedbackForm::addText(const QString &objectName, const QString &label, const QString &field,
                                       int emptyMessage)
{
    auto *edit = new QPlainTextEdit(this);
    edit->setObjectName(objectName);
    edit->setTabChangesFocus(true);
    m_layout->addRow(label, edit);
    m_fields.append({field, edit, emptyMessage});
    return edit;
}

QCheckBox *FFeedbackForm::addCheck(const QString &objectName, const QString &label, const QString &field)
{
    auto *box = new QCheckBox(label, this);
    box->setObjectName(objectName);
    m_layout->addRow(box);
    m_fields.append({field, box, 0});
    return box;
}

void FFeedbackForm::addButtons()
{
    auto *buttons = new QDialogButtonBox(this);
    m_cmdSend = buttons->addButton(tr("&Send"), QDialogButtonBox::AcceptRole);
    m_cmdSend->setObjectName(QStringLiteral("cmdSend"));
    m_cmdSend->setDefault(true);
    m_cmdSave = buttons->addButton(tr("Save &Report..."), QDialogButtonBox::ActionRole);
    m_cmdSave->setObjectName(QStringLiteral("cmdSave"));
    m_cmdSave->hide();
    QPushButton *cancel = buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cmdCancel"));
    connect(m_cmdSend, &QPushButton::clicked, this, &FFeedbackForm::cmdSend_Click);
    connect(m_cmdSave, &QPushButton::clicked, this, &FFeedbackForm::cmdSave_Click);
    connect(cancel, &QPushButton::clicked, this, &FFeedbackForm::cmdCancel_Click);
    static_cast<QVBoxLayout *>(layout())->addWidget(buttons);
}

QString FFeedbackForm::textOf(const QWidget *source)
{
    if (const auto *line = qobject_cast<const QLineEdit *>(source))
        return line->text();
    if (const auto *text = qobject_cast<const QPlainTextEdit *>(source))
        return text->toPlainText();
    if (const auto *check = qobject_cast<const QCheckBox *>(source))
        return check->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
    return {};
}

void FFeedbackForm::showEvent(QShowEvent *event)
{
    // Before anything is typed: without an address the report can only be saved.
    const bool canSend = m_sender.EndpointConfigured();
    m_lblNoEndpoint->setVisible(!canSend);
    if (m_cmdSend) {
        m_cmdSend->setVisible(canSend);
        m_cmdSave->setVisible(!canSend);
        m_cmdSend->setDefault(canSend);
        m_cmdSave->setDefault(!canSend);
    }
    QDialog::showEvent(event);
}

bool FFeedbackForm::fieldsComplete()
{
    for (const Field &f : std::as_const(m_fields)) {
        if (f.emptyMessage != 0 && textOf(f.source).isEmpty()) {
            ShowMessage(this, MessageTable::Text(f.emptyMessage), Exclamation);
            f.source->setFocus();
            return false;
        }
    }
    return true;
}

Record FFeedbackForm::collectFields() const
{
    Record fields;
    for (const Field &f : std::as_const(m_fields))
        fields.Add(f.name, textOf(f.source));
    fields.Add(QStringLiteral("log"), FeedbackLog::Text(m_log));
    return fields;
}

void FFeedbackForm::cmdSave_Click()
{
    const QString source = m_className + QStringLiteral(".cmdSave_Click");
    if (m_log)
        m_log->Trace(QStringLiteral("cmdSave_Click call"), source);
    if (!fieldsComplete())
        return;
    const QString suggested =
        QDir::home().filePath(QStringLiteral("murmelo-%1.zip").arg(m_className.mid(1).toLower()));
    const QString file = m_chooseSaveFile ? m_chooseSaveFile(this, suggested)
                                           : QFileDialog::getSaveFileName(this, tr("Save Report"), suggested,
                                                                          tr("Zip archives (*.zip)"));
    if (file.isEmpty())
        return;
    QString errorText;
    if (!m_sender.SaveArchive(m_category, collectFields(), file, errorText)) {
        if (m_log)
            m_log->Write(MUError::engineNumber(523), errorText, Log::LevelError, source);
        ShowMessage(this, tr("The report could not be saved. ") + errorText, Exclamation);
        return;
    }
    ShowMessage(this, tr("The report was saved as '%1'. ").arg(QDir::toNativeSeparators(file)), Information);
    accept();
}

void FFeedbackForm::setBusy(bool busy)
{
    if (busy == m_sending)
        return;
    m_sending = busy;
    setEnabled(!busy);
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void FFeedbackForm::cmdSend_Click()
{
    if (m_sending)
        return;
    const QString source = m_className + QStringLiteral(".cmdSend_Click");
    if (m_log)
        m_log->Trace(QStringLiteral("cmdSend_Click call"), source);

    if (!fieldsComplete())
        return;
    if (!m_sender.EndpointConfigured()) {
        if (m_log)
            m_log->Write(MUError::engineNumber(523), MessageTable::Text(523) + NoEndpointText(), Log::LevelError,
                         source);
        ShowMessage(this, NoEndpointText(), Exclamation);
        return;
    }

    setBusy(true);
    const Record fields = collectFields();

    QString errorText;
    bool sent = false;
    m_sender.Send(m_category, fields, errorText, sent);

    if (sent) {
        setBusy(false);
        ShowMessage(this, MessageTable::Text(m_successMessage), Information);
        accept();
        return;
    }
    if (m_log)
        m_log->Write(MUError::engineNumber(523), MessageTable::Text(523) + errorText, Log::LevelError, source);
    ShowMessage(this, MessageTable::Text(m_failureMessage), Exclamation);
    setBusy(false);
}

void FFeedbackForm::cmdCancel_Click()
{
    if (m_log)
        m_log->Trace(QStringLiteral("cmdCancel_Click call"), m_className + QStringLiteral(".cmdCancel_Click"));
    reject();
}

void FFeedbackForm::reject()
{
    // The send in progress ends by itself within its time limit; closing under it would
    // pull the form away from the code still using it.
    if (m_sending)
        return;
    QDialog::reject();
}
