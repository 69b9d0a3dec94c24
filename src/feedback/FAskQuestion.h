#pragma once
#include "FFeedbackForm.h"

/// The Help form that sends the user's question with the log.
/// Thread: GUI thread only.
class FAskQuestion : public FFeedbackForm
{
    Q_OBJECT
public:
    explicit FAskQuestion(QWidget *parent = nullptr);
    /// Shows the form modally, attaching `log` (may be null); returns when it is closed
    /// (QDialog::Accepted once sent).
    static int ShowForm(const LogPtr &log, QWidget *parent = nullptr, MessageRoutine message = {});
};
