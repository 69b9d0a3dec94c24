#pragma once
#include "FFeedbackForm.h"

/// The form that sends a problem description with the log; also opened by the start-up
/// when the engine cannot start.
/// Thread: GUI thread only.
class FReportBug : public FFeedbackForm
{
    Q_OBJECT
public:
    explicit FReportBug(QWidget *parent = nullptr);
    /// Shows the form modally, attaching `log` (may be null); returns when it is closed
    /// (QDialog::Accepted once sent).
    static int ShowForm(const LogPtr &log, QWidget *parent = nullptr, MessageRoutine message = {});
};
