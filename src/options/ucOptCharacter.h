#pragma once
#include "OptionsPage.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QSlider;

/// The Character page: which character speaks, its size, voice and balloon font. A
/// save reloads the character at once and registers the voice commands again.
/// Main thread.
class ucOptCharacter : public OptionsPage
{
    Q_OBJECT
public:
    static const QString KeyOptionsHint;
    /// Ranges the synthesiser and the character window accept.
    static constexpr int MinSize = 16, MaxSize = 1024;
    static constexpr int MinSpeed = 80, MaxSpeed = 450;
    static constexpr int MinPitch = 0, MaxPitch = 100;

    explicit ucOptCharacter(const OptionsServices &services, QWidget *parent = nullptr);
    void Update() override;
    void Cancel() override;

    /// The character names in `folders`: files whose name ends in "acs" (any case),
    /// without the extension, first letter upper case and the rest lower case; each
    /// name once, in folder order and, within a folder, in file-name order.
    static QStringList CharacterNames(const QStringList &folders);
    /// The user's characters folder, then the bundled one.
    static QStringList CharacterFolders();

    QMenu *sizeMenu() const { return m_mnuSetSizeTo; }

public Q_SLOTS:
    void cmdPreview_Click();
    void cmdSetSizeTo_Click();
    void mnuSetSizeToSmall_Click();
    void mnuSetSizeToNormal_Click();
    void mnuSetSizeToLarge_Click();
    void mnuSetSizeToExtraLarge_Click();
    /// Unloads and loads the character with the stored settings, then its commands.
    /// False when the character could not be loaded.
    bool ReloadCharacter();

protected:
    void load() override;

private:
    /// What Update stores, by setting key, as the controls show it now.
    QList<QPair<QString, QVariant>> controlValues() const;
    void setSizeFromOriginal(int numerator, int denominator);
    static void setSliderIfAccepted(QSlider *slider, int value);

    QComboBox *m_cboChar;
    QPushButton *m_cmdPreview;
    QLabel *m_lblDownloadMoreChars;
    QSlider *m_sldSize;
    QPushButton *m_cmdSetSizeTo;
    QMenu *m_mnuSetSizeTo;
    QComboBox *m_cboCharOfVoice;
    QSlider *m_sldVoiceSpeed;
    QSlider *m_sldVoicePitch;
    QCheckBox *m_chkPlayAnimation;
    QComboBox *m_cboFont;
    QComboBox *m_cboFontSize;
    /// The character as last loaded or applied, put back when a preview is cancelled.
    QList<QPair<QString, QVariant>> m_applied;
    bool m_previewed = false;
    bool m_inPreview = false;
};
