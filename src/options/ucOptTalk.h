#pragma once
#include "OptionsPage.h"

class QComboBox;
class QLineEdit;
class QListWidget;

/// The Talk page: what is said and played when new mail is announced, and seven
/// switches of the announcement. Main thread.
class ucOptTalk : public OptionsPage
{
    Q_OBJECT
public:
    static const QString KeyNewMessageSound;
    struct Switch
    {
        QString key;
        QString caption;
        bool fallback;
    };
    /// The items of lstAdv in order.
    static const QList<Switch> &Switches();

    explicit ucOptTalk(const OptionsServices &services, QWidget *parent = nullptr);
    void Update() override;

public Q_SLOTS:
    void cmdPreview_Click();
    void cmdBrowseSound_Click();
    void cmdPlaySound_Click();

protected:
    void load() override;

private:
    QLineEdit *m_txtBeforeNewMsg;
    QLineEdit *m_txtBeforeSender;
    QLineEdit *m_txtBeforeSubject;
    QComboBox *m_cboGesture;
    QPushButton *m_cmdPreview;
    QLineEdit *m_txtNewMessageSound;
    QPushButton *m_cmdBrowseSound;
    QPushButton *m_cmdPlaySound;
    QListWidget *m_lstAdv;
};
