#include "ShellMessage.h"
#include "trellis/MessageTable.h"

#include <QApplication>
#include <QCursor>
#include <QMessageBox>

int ShellMessage::Show(const QString &prompt, int buttons, const QString &title)
{
    const QString caption = title.isEmpty() ? MessageTable::Text(104) : title;
    const int kind = buttons & 0x0F;
    const int icon = buttons & 0xF0;
    QMessageBox box;
    box.setWindowTitle(caption);
    box.setText(prompt.trimmed());
    switch (icon) {
    case Critical: box.setIcon(QMessageBox::Critical); break;
    case Question: box.setIcon(QMessageBox::Question); break;
    case Exclamation: box.setIcon(QMessageBox::Warning); break;
    case Information: box.setIcon(QMessageBox::Information); break;
    default: break;
    }
    if (kind == OkCancel) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton((buttons & DefaultButton2) ? QMessageBox::Cancel : QMessageBox::Ok);
    } else if (kind == YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton((buttons & DefaultButton2) ? QMessageBox::No : QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }

    // A busy pointer set by the caller must not hide the question; it comes back after.
    const bool overridden = QApplication::overrideCursor() != nullptr;
    if (overridden)
        QApplication::setOverrideCursor(Qt::ArrowCursor);
    const int pressed = box.exec();
    if (overridden)
        QApplication::restoreOverrideCursor();

    switch (pressed) {
    case QMessageBox::Cancel: return Cancel;
    case QMessageBox::Yes: return Yes;
    case QMessageBox::No: return No;
    default: return kind == OkCancel && pressed != QMessageBox::Ok ? Cancel : Ok;
    }
}
