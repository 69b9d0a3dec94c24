#include "ConversionProgressWindow.h"
#include "storage/MsgManager.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>
#include <QWidget>

namespace {
std::function<void(QWidget *, const QString &)> &shownHook()
{
    static std::function<void(QWidget *, const QString &)> hook;
    return hook;
}
}

ConversionProgressWindow::ConversionProgressWindow()
{
    MsgManager::SetConversionProgress(
        [this](const QString &phase, qint64 done, qint64 total) { report(phase, done, total); });
}

ConversionProgressWindow::~ConversionProgressWindow()
{
    MsgManager::SetConversionProgress({});
}

void ConversionProgressWindow::SetShownHook(std::function<void(QWidget *, const QString &)> hook)
{
    shownHook() = std::move(hook);
}

void ConversionProgressWindow::report(const QString &phase, qint64 done, qint64 total)
{
    if (total <= 0)
        return;
    if (!m_window) {
        m_window = std::make_unique<QWidget>(nullptr, Qt::Dialog | Qt::WindowTitleHint);
        m_window->setObjectName(QLatin1String(ObjectName));
        m_window->setWindowTitle(QApplication::applicationDisplayName());
        auto *layout = new QVBoxLayout(m_window.get());
        m_label = new QLabel(m_window.get());
        m_label->setMinimumWidth(m_label->fontMetrics().averageCharWidth() * 44);
        m_bar = new QProgressBar(m_window.get());
        m_bar->setTextVisible(false);
        layout->addWidget(m_label);
        layout->addWidget(m_bar);
    }
    const bool compacting = phase == QLatin1String("compact");
    const QString text = compacting ? QStringLiteral("Compacting the database...")
                                    : QStringLiteral("Converting stored messages: %1 of %2").arg(done).arg(total);
    if (text == m_label->text())
        return;
    m_label->setText(text);
    if (compacting) {
        // One step of unknown length: a busy bar.
        m_bar->setRange(0, 0);
    } else {
        // The bar counts in thousandths: a row count may not fit its int.
        m_bar->setRange(0, 1000);
        m_bar->setValue(int(done * 1000 / total));
    }
    if (!m_window->isVisible())
        m_window->show();
    m_window->repaint();
    // Called between the conversion's transactions on the main thread, before any other
    // window: the window is drawn and the desktop sees the program alive, but no click or
    // key is taken while the engine is half started.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    if (shownHook())
        shownHook()(m_window.get(), text);
}
