#include "FSendTestimonial.h"
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>

FSendTestimonial::FSendTestimonial(QWidget *parent)
    : FFeedbackForm(QStringLiteral("FSendTestimonial"), QStringLiteral("MU\\Testimonial"), 150, 146, parent)
{
    setWindowTitle(tr("Send a Testimonial"));
    addLine(QStringLiteral("txtName"), tr("Your &name:"), QStringLiteral("name"), 136);
    addLine(QStringLiteral("txtEmail"), tr("Your &e-mail:"), QStringLiteral("email"), 137);
    addLine(QStringLiteral("txtLocation"), tr("Your &location:"), QStringLiteral("location"), 144);
    addText(QStringLiteral("txtTestimonial"), tr("&Testimonial:"), QStringLiteral("testimonial"), 145);
    addCheck(QStringLiteral("chkAgree"), tr("I &agree that my testimonial and name may be published"),
             QStringLiteral("agreed"));
    addButtons();
}

int FSendTestimonial::ShowForm(const LogPtr &log, QWidget *parent, MessageRoutine message)
{
    FSendTestimonial form(parent);
    form.setLog(log);
    form.setMessageRoutine(std::move(message));
    return form.exec();
}
