#pragma once
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

/// The desktop calls of the options pages that a test replaces (message boxes, file
/// choosers, help, starting a program, the clock). Each has a working default; the
/// program's services object holds one and sets the message box to its own routine.
/// Handed to the dialog and its pages; main thread.
class OptionsServices
{
public:
    OptionsServices();

    /// A message box; `style` adds buttons (0 OK, 1 OK/Cancel) and icon (16, 48, 64).
    /// Returns 1 for OK, 2 for Cancel.
    std::function<int(QWidget *parent, const QString &prompt, int style)> showMessage;
    /// An open-file dialog; "" when nothing was chosen.
    std::function<QString(QWidget *parent, const QString &initial, const QString &filter)> chooseFile;
    /// Opens a topic of the help pages (the page name, e.g. "characters").
    std::function<void(const QString &topic)> openHelp;
    /// Starts `program` with `arguments`, detached, without a shell; "" or why it failed.
    std::function<QString(const QString &program, const QStringList &arguments)> startDetached;
    /// The time of day for the time announcement.
    std::function<QDateTime()> now;
};
