#include "ucOptTalk.h"
#include "FocusBehaviour.h"
#include "OptionsServices.h"
#include "speech/CTalker.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

const QString ucOptTalk::KeyNewMessageSound = QStringLiteral("{6084A00F-A059-4a3d-AFC2-45EA2B0910E4}");

const QList<ucOptTalk::Switch> &ucOptTalk::Switches()
{
    static const QList<Switch> items = {
        {QStringLiteral("{4B11E5F4-D59C-4dfa-AFD7-C58771B6754A}"), QStringLiteral("Don't read message body from server"), false},
        {CTalker::KeySaySender, QStringLiteral("Say FROM whom is the message"), true},
        {CTalker::KeySaySubject, QStringLiteral("Say what is SUBJECT of the message"), true},
        {CTalker::KeySayBody, QStringLiteral("Say message body"), true},
        {CTalker::KeyStripQuoted, QStringLiteral("Don't say quoted lines and lines starting from \"--Original Message--\""), true},
        {QStringLiteral("{0092B80B-62B9-43bd-9E2C-5B56CF181C5B}"), QStringLiteral("Show Murmelo when new message has arrived"), false},
        {QStringLiteral("{D6795EFA-8EC7-40CE-8A28-34433D2B5AC3}"), QStringLiteral("Animate @ system tray icon when new message has arrived!"), true},
    };
    return items;
}

namespace {
QLineEdit *lineEdit(QWidget *parent, const QString &name)
{
    auto *e = new QLineEdit(parent);
    e->setObjectName(name);
    FocusBehaviour::SelectAllOnFocus(e);
    return e;
}
QPushButton *button(QWidget *parent, const QString &name, const QString &caption)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}
}

ucOptTalk::ucOptTalk(const OptionsServices &services, QWidget *parent) : OptionsPage(services, parent)
{
    setObjectName(QStringLiteral("ucTalk"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("<b>New Message(s) Announcing</b>"), this));
    auto *form = new QFormLayout;
    m_txtBeforeNewMsg = lineEdit(this, QStringLiteral("txtBeforeNewMsg"));
    m_txtBeforeSender = lineEdit(this, QStringLiteral("txtBeforeSender"));
    m_txtBeforeSubject = lineEdit(this, QStringLiteral("txtBeforeSubject"));
    form->addRow(QStringLiteral("Before &read message:"), m_txtBeforeNewMsg);
    form->addRow(QStringLiteral("Before &senders name:"), m_txtBeforeSender);
    form->addRow(QStringLiteral("Before &mail subject:"), m_txtBeforeSubject);
    auto *gestureRow = new QHBoxLayout;
    m_cboGesture = new QComboBox(this);
    m_cboGesture->setObjectName(QStringLiteral("cboGesture"));
    m_cboGesture->setEditable(true);
    m_cboGesture->setInsertPolicy(QComboBox::NoInsert);
    m_cmdPreview = button(this, QStringLiteral("cmdPreview"), QStringLiteral("Pre&view"));
    gestureRow->addWidget(m_cboGesture, 1);
    gestureRow->addWidget(m_cmdPreview);
    addRow(form, QStringLiteral("&Gesture:"), gestureRow, m_cboGesture);
    auto *soundRow = new QHBoxLayout;
    m_txtNewMessageSound = lineEdit(this, QStringLiteral("txtNewMessageSound"));
    m_cmdBrowseSound = button(this, QStringLiteral("cmdBrowseSound"), QStringLiteral("&Browse..."));
    m_cmdPlaySound = button(this, QStringLiteral("cmdPlaySound"), QStringLiteral("Play"));
    soundRow->addWidget(m_txtNewMessageSound, 1);
    soundRow->addWidget(m_cmdBrowseSound);
    soundRow->addWidget(m_cmdPlaySound);
    addRow(form, QStringLiteral("&Play:"), soundRow, m_txtNewMessageSound);
    layout->addLayout(form);
    auto *advLabel = new QLabel(QStringLiteral("A&dvanced"), this);
    m_lstAdv = new QListWidget(this);
    m_lstAdv->setObjectName(QStringLiteral("lstAdv"));
    advLabel->setBuddy(m_lstAdv);
    for (const Switch &s : Switches()) {
        auto *item = new QListWidgetItem(s.caption, m_lstAdv);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(s.fallback ? Qt::Checked : Qt::Unchecked);
    }
    layout->addWidget(advLabel);
    layout->addWidget(m_lstAdv, 1);

    for (QLineEdit *e : {m_txtBeforeNewMsg, m_txtBeforeSender, m_txtBeforeSubject, m_txtNewMessageSound})
        connect(e, &QLineEdit::textChanged, this, &ucOptTalk::changed);
    connect(m_cboGesture, &QComboBox::currentTextChanged, this, &ucOptTalk::changed);
    connect(m_lstAdv, &QListWidget::itemChanged, this, &ucOptTalk::changed);
    connect(m_cmdPreview, &QPushButton::clicked, this, &ucOptTalk::cmdPreview_Click);
    connect(m_cmdBrowseSound, &QPushButton::clicked, this, &ucOptTalk::cmdBrowseSound_Click);
    connect(m_cmdPlaySound, &QPushButton::clicked, this, &ucOptTalk::cmdPlaySound_Click);
}

void ucOptTalk::load()
{
    for (QWidget *w : {static_cast<QWidget *>(m_cmdPreview), static_cast<QWidget *>(m_cmdBrowseSound),
                       static_cast<QWidget *>(m_cmdPlaySound)})
        FocusBehaviour::KeepOkFromDefault(w, m_ok);
    fillGestures(m_cboGesture, CTalker::KeyGesture);
    m_txtNewMessageSound->setText(settingText(KeyNewMessageSound));
    m_txtBeforeNewMsg->setText(settingText(CTalker::KeyNewMessagePhrase, QStringLiteral("New message has arrived!")));
    m_txtBeforeSender->setText(settingText(CTalker::KeySenderPhrase, QStringLiteral("From")));
    m_txtBeforeSubject->setText(settingText(CTalker::KeySubjectPhrase));
    for (int i = 0; i < Switches().size(); ++i) {
        const Switch &s = Switches().at(i);
        m_lstAdv->item(i)->setCheckState(settingBool(s.key, s.fallback) ? Qt::Checked : Qt::Unchecked);
    }
}

void ucOptTalk::Update()
{
    trace(QStringLiteral("IOptUC_Update() call"), QStringLiteral("IOptUC_Update"));
    try {
        save(CTalker::KeyGesture, gestureName(m_cboGesture));
        save(KeyNewMessageSound, m_txtNewMessageSound->text());
        save(CTalker::KeyNewMessagePhrase, m_txtBeforeNewMsg->text());
        save(CTalker::KeySenderPhrase, m_txtBeforeSender->text());
        save(CTalker::KeySubjectPhrase, m_txtBeforeSubject->text());
        for (int i = 0; i < Switches().size(); ++i)
            save(Switches().at(i).key, m_lstAdv->item(i)->checkState() == Qt::Checked);
    } catch (...) {
    }
}

void ucOptTalk::cmdPreview_Click()
{
    previewGesture(gestureName(m_cboGesture));
}

void ucOptTalk::cmdBrowseSound_Click()
{
    const QString file = m_services.chooseFile(this, m_txtNewMessageSound->text(),
                                                             QStringLiteral("Sounds (*.wav)"));
    if (!file.isEmpty())
        m_txtNewMessageSound->setText(file);
}

void ucOptTalk::cmdPlaySound_Click()
{
    try {
        if (!m_txtNewMessageSound->text().isEmpty() && talker())
            talker()->PlayWav(m_txtNewMessageSound->text(), true);
    } catch (...) {
    }
}
