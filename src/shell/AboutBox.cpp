#include "AboutBox.h"
#include "ShellServices.h"
#include "ShellIcons.h"
#include "engine/EngineInfo.h"
#include "trellis/ServiceConfig.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QUrl>
#include <QVBoxLayout>

QString AboutBox::VersionText()
{
    return QStringLiteral("Murmelo Version ") + QStringLiteral(MURMELO_VERSION);
}

AboutBox::AboutBox(ShellServices &services, QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FAbout"));
    setWindowTitle(QStringLiteral("About Murmelo"));
    setWindowIcon(ShellIcons::application());

    auto *icon = new QLabel;
    icon->setPixmap(ShellIcons::application().pixmap(64, 64));
    icon->setAlignment(Qt::AlignTop);

    auto *title = new QLabel(VersionText());
    title->setObjectName(QStringLiteral("lblVersion"));
    QFont f = title->font();
    f.setPointSizeF(f.pointSizeF() * 1.4);
    f.setBold(true);
    title->setFont(f);

    auto *about = new QLabel(QStringLiteral(
        "A talking mail announcer: Murmelo checks your mailboxes and a friendly character reads "
        "the new messages aloud.<br><br>"
        "Engine %1. Speech by eSpeak NG, voice commands by PocketSphinx, "
        "message decoding by GMime, built with Qt.").arg(EngineVersion()));
    about->setWordWrap(true);

    const QString home = ServiceConfig::Text(QStringLiteral("homePage"));
    auto *link = new QLabel;
    link->setObjectName(QStringLiteral("lblHomePage"));
    if (!home.isEmpty())
        link->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(home.toHtmlEscaped()));
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(link, &QLabel::linkActivated, this,
            [&services](const QString &url) { services.openUrl(QUrl(url)); });

    auto *licence = new QLabel(QStringLiteral(
        "Murmelo is free software: you may share and change it under the terms of the GNU General "
        "Public License, version 3 or (at your option) any later version. It comes with no warranty."));
    licence->setObjectName(QStringLiteral("lblLicence"));
    licence->setWordWrap(true);
    // The whole text, built into the program so it is there wherever the program is.
    auto *licenceText = new QPlainTextEdit(this);
    licenceText->setObjectName(QStringLiteral("txtLicence"));
    licenceText->setReadOnly(true);
    QFile file(QStringLiteral(":/murmelo/LICENSE"));
    if (file.open(QIODevice::ReadOnly))
        licenceText->setPlainText(QString::fromUtf8(file.readAll()));
    licenceText->setMinimumHeight(220);
    licenceText->hide();

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    QPushButton *showLicence = buttons->addButton(QStringLiteral("&Licence"), QDialogButtonBox::HelpRole);
    showLicence->setObjectName(QStringLiteral("cmdLicence"));
    showLicence->setCheckable(true);
    connect(showLicence, &QPushButton::toggled, licenceText, &QWidget::setVisible);

    auto *text = new QVBoxLayout;
    text->addWidget(title);
    text->addWidget(about);
    text->addWidget(link);
    text->addWidget(licence);
    text->addStretch(1);
    auto *row = new QHBoxLayout;
    row->addWidget(icon);
    row->addLayout(text, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(licenceText, 1);
    layout->addWidget(buttons);
    setMinimumWidth(420);
}
