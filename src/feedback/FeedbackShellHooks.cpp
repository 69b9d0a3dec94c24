// Plugs the feedback forms into the program: the shell opens them through its hooks and
// they show their messages through the program's one message routine.
#include "FAskQuestion.h"
#include "FMakeSuggestion.h"
#include "FReportBug.h"
#include "FSendTestimonial.h"
#include "ShellHooks.h"
#include "ShellMessage.h"

namespace {

void openFeedback(ShellHooks::FeedbackForm form, QWidget *parent, LogPtr log)
{
    switch (form) {
    case ShellHooks::FeedbackForm::AskQuestion: FAskQuestion::ShowForm(log, parent); break;
    case ShellHooks::FeedbackForm::MakeSuggestion: FMakeSuggestion::ShowForm(log, parent); break;
    case ShellHooks::FeedbackForm::ReportBug: FReportBug::ShowForm(log, parent); break;
    case ShellHooks::FeedbackForm::SendTestimonial: FSendTestimonial::ShowForm(log, parent); break;
    }
}

/// Registered before main runs; this file is linked into the program itself, so the
/// object is never dropped by the linker.
struct Registration {
    Registration()
    {
        ShellHooks::instance().openFeedback = &openFeedback;
        FFeedbackForm::setMessageRoutine([](QWidget *, const QString &prompt, int style) {
            return ShellMessage::Show(prompt, style);
        });
    }
};
const Registration registration;

}
