#pragma once
#include <QDialog>
#include <functional>

class QLabel;
class QTimer;

/// The wait window: one line of text and an hourglass pointer while a slow operation
/// runs inside the handler of Started. Main thread.
class FProgressor : public QDialog
{
    Q_OBJECT
public:
    explicit FProgressor(QWidget *parent = nullptr);
    ~FProgressor() override;

    /// Shows `message` over `ownerForm`. Modal: returns after the Started handler has
    /// finished and the window has closed. Not modal: returns at once.
    void ShowProgress(const QString &message, QWidget *ownerForm, bool modal);

    /// Runs `work` behind a modal wait window showing `message`.
    static void Run(const QString &message, QWidget *ownerForm, const std::function<void()> &work);

    QLabel *label() const { return m_label1; }

Q_SIGNALS:
    /// The window is up; the caller does its slow work in the handler.
    void Started();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void Timer1_Timer();
    void closeWindow();

    QLabel *m_picture1 = nullptr;
    QLabel *m_label1 = nullptr;
    QTimer *m_timer1 = nullptr;
    bool m_cursorSet = false;
};
