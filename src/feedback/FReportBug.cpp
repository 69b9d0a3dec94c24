#include "FReportBug.h"
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>

FReportBug::FReportBug(QWidget *parent)
    : FFeedbackForm(QStringLiteral("FReportBug"), QStringLiteral("MU\\Bug"), 149, 143, parent)
{
    setWindowTitle(tr("Report a Problem"));
    addLine(QStringLiteral("txtName"), tr("Your &name:"), QStringLiteral("name"), 136);
    addLine(QStringLiteral("txtEmail"), tr("Your &e-mail:"), QStringLiteral("email"), 137);
    addText(QStringLiteral("txtBug"), tr("&Problem description:"), QStringLiteral("bug"), 142);
    addButtons();
}

int FReportBug::ShowForm(const LogPtr &log, QWidget *parent, MessageRoutine message)
{
    FReportBug form(parent);
    form.setLog(log);
    form.setMessageRoutine(std::move(message));
    return form.exec();
}
