#pragma once
#include <QString>
#include <functional>
#include <memory>

class QLabel;
class QProgressBar;
class QWidget;

/// While it lives, converting the messages of an older database (the engine's start) shows
/// its progress in a small window, made only when there is something to convert. Main
/// thread, before the main window exists.
class ConversionProgressWindow
{
public:
    /// Object name of the window.
    static constexpr const char *ObjectName = "conversionProgress";

    /// Becomes the storage's progress handler.
    ConversionProgressWindow();
    /// Clears the handler and closes the window.
    ~ConversionProgressWindow();
    ConversionProgressWindow(const ConversionProgressWindow &) = delete;
    ConversionProgressWindow &operator=(const ConversionProgressWindow &) = delete;

    /// Called with the window each time it has shown a new text (for tests; empty: none).
    static void SetShownHook(std::function<void(QWidget *window, const QString &text)> hook);

private:
    void report(const QString &phase, qint64 done, qint64 total);

    std::unique_ptr<QWidget> m_window;
    QLabel *m_label = nullptr;
    QProgressBar *m_bar = nullptr;
};
