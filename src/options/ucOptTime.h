#pragma once
#include "OptionsPage.h"

#include <QList>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;

/// The Time page: how often the time is said and how. A save starts, stops or
/// re-times the time pulser at once. Main thread.
class ucOptTime : public OptionsPage
{
    Q_OBJECT
public:
    /// The interval of each option button, in minutes.
    static const QList<int> &Intervals();

    explicit ucOptTime(const OptionsServices &services, QWidget *parent = nullptr);
    void Update() override;

public Q_SLOTS:
    void cmdPreview_Click();
    void cmdBrowseSound_Click();
    void cmdPlaySound_Click();

protected:
    void load() override;

private:
    int selectedInterval() const;

    QList<QRadioButton *> m_option1;
    QButtonGroup *m_group;
    QCheckBox *m_chkDisable;
    QLineEdit *m_txtSay;
    QComboBox *m_cboGesture;
    QPushButton *m_cmdPreview;
    QLineEdit *m_txtSound;
    QPushButton *m_cmdBrowseSound;
    QPushButton *m_cmdPlaySound;
    QCheckBox *m_chkTimeFormat;
};
