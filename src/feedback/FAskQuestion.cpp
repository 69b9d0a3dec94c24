#include "FAskQuestion.h"
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>

FAskQuestion::FAskQuestion(QWidget *parent)
    : FFeedbackForm(QStringLiteral("FAskQuestion"), QStringLiteral("MU\\Question"), 147, 139, parent)
{
    setWindowTitle(tr("Ask a Question"));
    addLine(QStringLiteral("txtName"), tr("Your &name:"), QStringLiteral("name"), 136);
    addLine(QStringLiteral("txtEmail"), tr("Your &e-mail:"), QStringLiteral("email"), 137);
    addText(QStringLiteral("txtQuestion"), tr("&Question:"), QStringLiteral("question"), 138);
    addButtons();
}

int FAskQuestion::ShowForm(const LogPtr &log, QWidget *parent, MessageRoutine message)
{
    FAskQuestion form(parent);
    form.setLog(log);
    form.setMessageRoutine(std::move(message));
    return form.exec();
}
