#include "FMakeSuggestion.h"
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>

FMakeSuggestion::FMakeSuggestion(QWidget *parent)
    : FFeedbackForm(QStringLiteral("FMakeSuggestion"), QStringLiteral("MU\\Suggestion"), 148, 141, parent)
{
    setWindowTitle(tr("Make a Suggestion"));
    addLine(QStringLiteral("txtName"), tr("Your &name:"), QStringLiteral("name"), 136);
    addLine(QStringLiteral("txtEmail"), tr("Your &e-mail:"), QStringLiteral("email"), 137);
    addText(QStringLiteral("txtSuggestion"), tr("&Suggestion:"), QStringLiteral("suggestion"), 140);
    addButtons();
}

int FMakeSuggestion::ShowForm(const LogPtr &log, QWidget *parent, MessageRoutine message)
{
    FMakeSuggestion form(parent);
    form.setLog(log);
    form.setMessageRoutine(std::move(message));
    return form.exec();
}
