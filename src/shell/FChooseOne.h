#pragma once
#include <QDialog>
#include <QStringList>

class QListWidget;
class QPushButton;

/// Lets the user pick one entry of a list (an account to import). Main thread.
class FChooseOne : public QDialog
{
    Q_OBJECT
public:
    explicit FChooseOne(QWidget *parent = nullptr);

    /// Shows `col` modally over `ownerForm`: the 1-based position in `col` of the first
    /// entry equal to the chosen text, 0 when cancelled, -1 when the text is not in `col`.
    int ChooseOne(const QStringList &col, QWidget *ownerForm);

    QListWidget *list() const { return m_list1; }
    QPushButton *okButton() const { return m_cmdOK; }
    QPushButton *cancelButton() const { return m_cmdCancel; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void cmdOK_Click();
    void cmdCancel_Click();

    QListWidget *m_list1 = nullptr;
    QPushButton *m_cmdOK = nullptr;
    QPushButton *m_cmdCancel = nullptr;
    bool m_cancelled = true;
};
