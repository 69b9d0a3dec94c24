#include "FocusBehaviour.h"

#include <QComboBox>
#include <QEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

FocusBehaviour::FocusBehaviour(QWidget *control, QPushButton *ok, bool selectAll)
    : QObject(control), m_ok(ok), m_selectAll(selectAll)
{
    control->installEventFilter(this);
}

void FocusBehaviour::SelectAllOnFocus(QWidget *textBox)
{
    if (textBox)
        new FocusBehaviour(textBox, nullptr, true);
}

void FocusBehaviour::KeepOkFromDefault(QWidget *control, QPushButton *ok)
{
    if (control && ok)
        new FocusBehaviour(control, ok, false);
}

bool FocusBehaviour::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusIn) {
        if (m_selectAll) {
            // After the mouse press that gave the focus, or it would place the cursor.
            QTimer::singleShot(0, watched, [watched] {
                if (auto *line = qobject_cast<QLineEdit *>(watched))
                    line->selectAll();
                else if (auto *text = qobject_cast<QPlainTextEdit *>(watched))
                    text->selectAll();
            });
        }
        if (m_ok)
            m_ok->setDefault(false);
    } else if (event->type() == QEvent::FocusOut) {
        if (m_ok)
            m_ok->setDefault(true);
    }
    return QObject::eventFilter(watched, event);
}
