#pragma once
#include <QObject>
#include <QPointer>

class QPushButton;
class QWidget;

/// Small focus habits of the options pages, installed as an event filter on a control:
/// select a text box's whole text when it gets the focus, or take the OK button's
/// default flag away while the control has the focus (Enter then does not close the
/// dialog). Main thread; a child of the control it watches.
class FocusBehaviour : public QObject
{
    Q_OBJECT
public:
    static void SelectAllOnFocus(QWidget *textBox);
    static void KeepOkFromDefault(QWidget *control, QPushButton *ok);

    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    FocusBehaviour(QWidget *control, QPushButton *ok, bool selectAll);
    QPointer<QPushButton> m_ok;
    bool m_selectAll = false;
};
