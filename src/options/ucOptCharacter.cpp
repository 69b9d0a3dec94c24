#include "ucOptCharacter.h"
#include "AgentCharacter.h"
#include "BalloonWidget.h"
#include "FocusBehaviour.h"
#include "OptionsServices.h"
#include "VoiceCommands.h"
#include "speech/CTalker.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Paths.h"
#include "trellis/ServiceConfig.h"
#include "trellis/Utility.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

const QString ucOptCharacter::KeyOptionsHint = QStringLiteral("{359038F8-3B24-4cd3-9D7A-883FA01AC672}");

namespace {
QSlider *slider(QWidget *parent, const QString &name, int min, int max, int page)
{
    auto *s = new QSlider(Qt::Horizontal, parent);
    s->setObjectName(name);
    s->setRange(min, max);
    s->setPageStep(page);
    s->setTickPosition(QSlider::TicksBelow);
    s->setTickInterval(page);
    return s;
}

QHBoxLayout *withEnd(QWidget *w, const QString &end)
{
    auto *row = new QHBoxLayout;
    row->addWidget(w, 1);
    row->addWidget(new QLabel(end));
    return row;
}
}

ucOptCharacter::ucOptCharacter(const OptionsServices &services, QWidget *parent) : OptionsPage(services, parent)
{
    setObjectName(QStringLiteral("ucCharacter"));
    auto *layout = new QVBoxLayout(this);

    auto *character = new QGroupBox(QStringLiteral("Character"), this);
    auto *charForm = new QFormLayout(character);
    auto *charRow = new QHBoxLayout;
    m_cboChar = new QComboBox(character);
    m_cboChar->setObjectName(QStringLiteral("cboChar"));
    m_cboChar->setEditable(true);
    m_cboChar->setInsertPolicy(QComboBox::NoInsert);
    m_cmdPreview = new QPushButton(QStringLiteral("&Preview"), character);
    m_cmdPreview->setObjectName(QStringLiteral("cmdPreview"));
    m_cmdPreview->setAutoDefault(false);
    charRow->addWidget(m_cboChar, 1);
    charRow->addWidget(m_cmdPreview);
    addRow(charForm, QStringLiteral("&Name:"), charRow, m_cboChar);
    m_lblDownloadMoreChars = new QLabel(QStringLiteral("<a href=\"help:characters\">Download more characters</a>"), character);
    m_lblDownloadMoreChars->setObjectName(QStringLiteral("lblDownloadMoreChars"));
    // The download places are on the home page: without one the link would lead nowhere.
    m_lblDownloadMoreChars->setVisible(!ServiceConfig::Text(QStringLiteral("homePage")).trimmed().isEmpty());
    charForm->addRow(QString(), m_lblDownloadMoreChars);
    auto *sizeRow = new QHBoxLayout;
    m_sldSize = slider(character, QStringLiteral("sldSize"), MinSize, MaxSize, 64);
    m_cmdSetSizeTo = new QPushButton(QStringLiteral("Set &to..."), character);
    m_cmdSetSizeTo->setObjectName(QStringLiteral("cmdSetSizeTo"));
    m_cmdSetSizeTo->setAutoDefault(false);
    sizeRow->addLayout(withEnd(m_sldSize, QStringLiteral("Large")), 1);
    sizeRow->addWidget(m_cmdSetSizeTo);
    addRow(charForm, QStringLiteral("&Size:"), sizeRow, m_sldSize);
    layout->addWidget(character);

    m_mnuSetSizeTo = new QMenu(this);
    m_mnuSetSizeTo->setObjectName(QStringLiteral("mnuSetSizeTo"));
    m_mnuSetSizeTo->addAction(QStringLiteral("&Small"), this, &ucOptCharacter::mnuSetSizeToSmall_Click)
        ->setObjectName(QStringLiteral("mnuSetSizeToSmall"));
    m_mnuSetSizeTo->addAction(QStringLiteral("&Normal"), this, &ucOptCharacter::mnuSetSizeToNormal_Click)
        ->setObjectName(QStringLiteral("mnuSetSizeToNormal"));
    m_mnuSetSizeTo->addAction(QStringLiteral("&Large"), this, &ucOptCharacter::mnuSetSizeToLarge_Click)
        ->setObjectName(QStringLiteral("mnuSetSizeToLarge"));
    m_mnuSetSizeTo->addAction(QStringLiteral("&Extra Large"), this, &ucOptCharacter::mnuSetSizeToExtraLarge_Click)
        ->setObjectName(QStringLiteral("mnuSetSizeToExtraLarge"));

    auto *voice = new QGroupBox(QStringLiteral("Voice"), this);
    auto *voiceForm = new QFormLayout(voice);
    m_cboCharOfVoice = new QComboBox(voice);
    m_cboCharOfVoice->setObjectName(QStringLiteral("cboCharOfVoice"));
    m_cboCharOfVoice->addItems({QStringLiteral("Normal"), QStringLiteral("Monotone"), QStringLiteral("Whisper")});
    voiceForm->addRow(QStringLiteral("&Voice:"), m_cboCharOfVoice);
    m_sldVoiceSpeed = slider(voice, QStringLiteral("sldVoiceSpeed"), MinSpeed, MaxSpeed, 37);
    addRow(voiceForm, QStringLiteral("Spee&d:"), withEnd(m_sldVoiceSpeed, QStringLiteral("Fast")), m_sldVoiceSpeed);
    m_sldVoicePitch = slider(voice, QStringLiteral("sldVoicePitch"), MinPitch, MaxPitch, 10);
    addRow(voiceForm, QStringLiteral("P&itch:"), withEnd(m_sldVoicePitch, QStringLiteral("High")), m_sldVoicePitch);
    layout->addWidget(voice);

    m_chkPlayAnimation = new QCheckBox(QStringLiteral("&Play animation when character is displayed"), this);
    m_chkPlayAnimation->setObjectName(QStringLiteral("chkPlayAnimation"));
    layout->addWidget(m_chkPlayAnimation);

    auto *balloon = new QGroupBox(QStringLiteral("Balloon"), this);
    auto *balloonForm = new QFormLayout(balloon);
    m_cboFont = new QComboBox(balloon);
    m_cboFont->setObjectName(QStringLiteral("cboFont"));
    m_cboFont->setEditable(true);
    m_cboFont->setInsertPolicy(QComboBox::NoInsert);
    balloonForm->addRow(QStringLiteral("&Font:"), m_cboFont);
    m_cboFontSize = new QComboBox(balloon);
    m_cboFontSize->setObjectName(QStringLiteral("cboFontSize"));
    m_cboFontSize->setEditable(true);
    m_cboFontSize->setInsertPolicy(QComboBox::NoInsert);
    balloonForm->addRow(QStringLiteral("Si&ze:"), m_cboFontSize);
    layout->addWidget(balloon);
    layout->addStretch(1);

    for (QComboBox *c : {m_cboChar, m_cboCharOfVoice, m_cboFont, m_cboFontSize})
        connect(c, &QComboBox::currentTextChanged, this, &ucOptCharacter::changed);
    for (QSlider *s : {m_sldSize, m_sldVoiceSpeed, m_sldVoicePitch})
        connect(s, &QSlider::valueChanged, this, &ucOptCharacter::changed);
    connect(m_chkPlayAnimation, &QCheckBox::toggled, this, &ucOptCharacter::changed);
    connect(m_cmdPreview, &QPushButton::clicked, this, &ucOptCharacter::cmdPreview_Click);
    connect(m_cmdSetSizeTo, &QPushButton::clicked, this, &ucOptCharacter::cmdSetSizeTo_Click);
    connect(m_lblDownloadMoreChars, &QLabel::linkActivated, this,
            [this](const QString &) { m_services.openHelp(QStringLiteral("characters")); });
}

QStringList ucOptCharacter::CharacterFolders()
{
    QStringList folders{Paths::UserCharactersDir()};
    const QString bundled = Paths::FindShared(QStringLiteral("chars"));
    if (!bundled.isEmpty() && QFileInfo(bundled).isDir())
        folders << bundled;
    return folders;
}

QStringList ucOptCharacter::CharacterNames(const QStringList &folders)
{
    QStringList names;
    for (const QString &folder : folders) {
        const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::Readable, QDir::Name);
        for (const QFileInfo &f : files) {
            const QString file = f.fileName();
            if (file.size() < 5 || file.right(3).toUpper() != QLatin1String("ACS"))
                continue;
            const QString stem = file.left(file.size() - 4);
            const QString name = stem.left(1).toUpper() + stem.mid(1).toLower();
            if (!names.contains(name, Qt::CaseInsensitive))
                names << name;
        }
    }
    return names;
}

void ucOptCharacter::setSliderIfAccepted(QSlider *slider, int value)
{
    if (value >= slider->minimum() && value <= slider->maximum())
        slider->setValue(value);
}

void ucOptCharacter::load()
{
    FocusBehaviour::KeepOkFromDefault(m_cmdPreview, m_ok);

    m_cboChar->clear();
    const QStringList names = CharacterNames(CharacterFolders());
    m_cboChar->addItems(names);
    m_cboChar->setCurrentText(settingText(CTalker::KeyCharacterName, names.value(0)));

    m_cboFont->clear();
    for (const QString &family : QFontDatabase::families()) {
        if (!family.trimmed().isEmpty())
            m_cboFont->addItem(family);
    }
    m_cmdPreview->setEnabled(true);
    // The balloon shows a font that is not installed in the desktop's default font: so does the list.
    m_cboFont->setCurrentText(
        BalloonWidget::usableFamily(settingText(CTalker::KeyBalloonFontName, QStringLiteral("MS Sans Serif"))));

    m_cboFontSize->clear();
    for (int i = 5; i <= 50; ++i)
        m_cboFontSize->addItem(QString::number(i));
    m_cboFontSize->setCurrentText(settingText(CTalker::KeyBalloonFontSize, QStringLiteral("10")));

    const QString voice = settingText(CTalker::KeyCharacterOfVoice, m_cboCharOfVoice->itemText(0));
    const int voiceIndex = m_cboCharOfVoice->findText(voice);
    if (voiceIndex >= 0)
        m_cboCharOfVoice->setCurrentIndex(voiceIndex);

    setSliderIfAccepted(m_sldSize, settingInt(CTalker::KeyCharacterSize, 128));
    setSliderIfAccepted(m_sldVoiceSpeed, settingInt(CTalker::KeyVoiceSpeed, 156));
    setSliderIfAccepted(m_sldVoicePitch, settingInt(CTalker::KeyVoicePitch, 50));
    m_chkPlayAnimation->setChecked(settingBool(CTalker::KeyPlayAnimation, true));
    m_applied = controlValues();
    m_previewed = false;
}

QList<QPair<QString, QVariant>> ucOptCharacter::controlValues() const
{
    return {{CTalker::KeyCharacterName, m_cboChar->currentText()},
            {CTalker::KeyCharacterSize, m_sldSize->value()},
            {CTalker::KeyVoiceSpeed, m_sldVoiceSpeed->value()},
            {CTalker::KeyVoicePitch, m_sldVoicePitch->value()},
            {CTalker::KeyCharacterOfVoice, m_cboCharOfVoice->currentText()},
            {CTalker::KeyPlayAnimation, m_chkPlayAnimation->isChecked()},
            {CTalker::KeyBalloonFontName, m_cboFont->currentText()},
            {CTalker::KeyBalloonFontSize, m_cboFontSize->currentText()}};
}

void ucOptCharacter::Update()
{
    trace(QStringLiteral("IOptUC_Update() call"), QStringLiteral("IOptUC_Update"));
    try {
        for (const auto &[key, value] : controlValues()) {
            if (key == CTalker::KeyCharacterName && value.toString() == settingText(key, QString()))
                continue;
            save(key, value);
        }
        save(KeyOptionsHint, false);
        if (!m_inPreview) {
            m_applied = controlValues();
            m_previewed = false;
        }
        ReloadCharacter();
    } catch (...) {
    }
}

void ucOptCharacter::Cancel()
{
    if (!m_previewed)
        return;
    m_previewed = false;
    try {
        for (const auto &[key, value] : std::as_const(m_applied))
            save(key, value);
        ReloadCharacter();
    } catch (...) {
    }
}

bool ucOptCharacter::ReloadCharacter()
{
    CTalker *t = talker();
    if (!t)
        return false;
    try {
        t->UnloadAgent();
        t->LoadAgent();
    } catch (const MUError &e) {
        if (m_log)
            m_log->Write(e.number(), e.description(), Log::LevelError, QStringLiteral("ucOptCharacter.ReloadCharacter"));
        return false;
    }
    VoiceCommands::RegisterVoiceCommands(t, settings());
    VoiceCommands::VoiceCommandsShowHide(m_log, t, settings());
    return true;
}

void ucOptCharacter::cmdPreview_Click()
{
    try {
        if (m_apply && m_apply->isEnabled()) {
            if (m_services.showMessage(this, MessageTable::Text(103), 1 + 48) != 1)
                return;
            // Stored for the preview only: Cancel puts the character shown before back.
            m_inPreview = true;
            Update();
            m_inPreview = false;
            m_previewed = true;
        }
        CTalker *t = talker();
        if (!t)
            return;
        if (t->Character() && !t->Character()->Visible())
            t->ShowCharacter();
        try {
            if (!t->Character())
                throw MUError(MUError::Fail, QStringLiteral("No character is loaded. "), QStringLiteral("ucOptCharacter"));
            t->TalkWelcome();
        } catch (const MUError &) {
            const QString name = t->Character() ? t->Character()->Name() : m_cboChar->currentText();
            m_services.showMessage(this, Utility::FormatText(MessageTable::Text(125), {name}), 48);
        }
    } catch (...) {
    }
}

void ucOptCharacter::cmdSetSizeTo_Click()
{
    m_mnuSetSizeTo->popup(m_cmdSetSizeTo->mapToGlobal(QPoint(0, m_cmdSetSizeTo->height())));
}

void ucOptCharacter::setSizeFromOriginal(int numerator, int denominator)
{
    CTalker *t = talker();
    if (!t || !t->Character())
        return;
    const int size = t->Character()->OriginalHeight() * numerator / denominator;
    setSliderIfAccepted(m_sldSize, size);
}

void ucOptCharacter::mnuSetSizeToSmall_Click() { setSizeFromOriginal(1, 2); }
void ucOptCharacter::mnuSetSizeToNormal_Click() { setSizeFromOriginal(1, 1); }
void ucOptCharacter::mnuSetSizeToLarge_Click() { setSizeFromOriginal(2, 1); }
void ucOptCharacter::mnuSetSizeToExtraLarge_Click() { setSizeFromOriginal(4, 1); }
