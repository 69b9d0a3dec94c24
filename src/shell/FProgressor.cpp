#include "FProgressor.h"
#include "ShellIcons.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>

FProgressor::FProgressor(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("FProgressor"));
    auto *frame = new QFrame(this);
    frame->setFrameShape(QFrame::Box);
    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(frame);
    auto *row = new QHBoxLayout(frame);
    row->setContentsMargins(16, 12, 24, 12);
    row->setSpacing(16);

    m_picture1 = new QLabel(frame);
    m_picture1->setObjectName(QStringLiteral("Picture1"));
    m_picture1->setPixmap(ShellIcons::checking().pixmap(32, 32));
    row->addWidget(m_picture1);
    m_label1 = new QLabel(frame);
    m_label1->setObjectName(QStringLiteral("Label1"));
    row->addWidget(m_label1, 1);

    m_timer1 = new QTimer(this);
    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setInterval(100);
    connect(m_timer1, &QTimer::timeout, this, &FProgressor::Timer1_Timer);
}

FProgressor::~FProgressor()
{
    closeWindow();
}

void FProgressor::ShowProgress(const QString &message, QWidget *ownerForm, bool modal)
{
    m_label1->setText(message);
    m_label1->adjustSize();
    // The picture, the margins and some air around the text (the 1200 twips).
    setFixedWidth(m_label1->sizeHint().width() + 120);
    if (ownerForm && ownerForm != parentWidget())
        setParent(ownerForm, windowFlags());
    if (!m_cursorSet) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        m_cursorSet = true;
    }
    if (modal) {
        setWindowModality(Qt::ApplicationModal);
        exec();
        closeWindow();
    } else {
        show();
    }
}

void FProgressor::Run(const QString &message, QWidget *ownerForm, const std::function<void()> &work)
{
    FProgressor form(ownerForm);
    connect(&form, &FProgressor::Started, &form, [&work] { work(); });
    form.ShowProgress(message, ownerForm, true);
}

void FProgressor::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Started runs from the event loop once the window has been painted, never from inside show().
    m_timer1->start();
}

void FProgressor::Timer1_Timer()
{
    m_timer1->stop();
    Q_EMIT Started();
    // Hiding ends a modal display.
    if (isModal() || windowModality() != Qt::NonModal)
        done(QDialog::Accepted);
    else
        hide();
}

void FProgressor::closeWindow()
{
    m_timer1->stop();
    if (m_cursorSet) {
        QApplication::restoreOverrideCursor();
        m_cursorSet = false;
    }
}
