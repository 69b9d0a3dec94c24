// Plugs the feedback forms into the program's services: the shell opens them through it
// and they show their messages through the program's one message box.
#include "FAskQuestion.h"
#include "FMakeSuggestion.h"
#include "FReportBug.h"
#include "FSendTestimonial.h"
#include "ShellServices.h"

void installFeedback(ShellServices &services)
{
    services.openFeedback = [&services](ShellServices::FeedbackForm form, QWidget *parent, LogPtr log) {
        const FFeedbackForm::MessageRoutine message = [&services](QWidget *, const QString &prompt, int style) {
            return services.message(prompt, style);
        };
        switch (form) {
        case ShellServices::FeedbackForm::AskQuestion: FAskQuestion::ShowForm(log, parent, message); break;
        case ShellServices::FeedbackForm::MakeSuggestion: FMakeSuggestion::ShowForm(log, parent, message); break;
        case ShellServices::FeedbackForm::ReportBug: FReportBug::ShowForm(log, parent, message); break;
        case ShellServices::FeedbackForm::SendTestimonial: FSendTestimonial::ShowForm(log, parent, message); break;
        }
    };
}
