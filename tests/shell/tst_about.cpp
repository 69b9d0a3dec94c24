// The licence in the About box, the help's voice phrases, and the desktop entry and AppStream metainfo as their
// validators see them.
#include "AboutBox.h"
#include "FMain.h"
#include "ShellServices.h"
#include "VoiceCommands.h"

#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>

class TestAbout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void licenceShownInFull()
    {
        ShellServices services;
        AboutBox box(services);
        const auto *summary = box.findChild<QLabel *>(QStringLiteral("lblLicence"));
        QVERIFY(summary);
        QVERIFY(summary->text().contains(QStringLiteral("GNU General Public License, version 3 or")));
        auto *text = box.findChild<QPlainTextEdit *>(QStringLiteral("txtLicence"));
        auto *button = box.findChild<QPushButton *>(QStringLiteral("cmdLicence"));
        QVERIFY(text && button);
        QVERIFY(text->toPlainText().contains(QStringLiteral("GNU GENERAL PUBLIC LICENSE")));
        QVERIFY(text->toPlainText().contains(QStringLiteral("Version 3, 29 June 2007")));
        box.show();
        QVERIFY(!text->isVisible());
        button->click();
        QVERIFY(text->isVisible());
    }

    void voicePhrasesInTheHelpAndOnTheWindow()
    {
        QFile help(qEnvironmentVariable("MURMELO_SOURCE_DIR") + QStringLiteral("/src/resources/help/index.html"));
        QVERIFY(help.open(QIODevice::ReadOnly));
        const QString page = QString::fromUtf8(help.readAll());
        for (int i = 0; i < VoiceCommands::CommandCount; ++i) {
            const QString phrase = QLatin1Char('"') + VoiceCommands::DefaultPhrase(i) + QLatin1Char('"');
            QVERIFY2(page.contains(phrase), qPrintable(phrase));
        }
        // The window's one command table serves the voice commands too.
        for (const VoiceCommands::Command &c : VoiceCommands::Table())
            QVERIFY2(FMain::Commands().contains(c.name), qPrintable(c.name));
    }

    void validatorsFindNothing_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        const QString dir = qEnvironmentVariable("MURMELO_SOURCE_DIR") + QStringLiteral("/src/resources/desktop/");
        QTest::newRow("metainfo") << QStringLiteral("appstreamcli")
                                  << QStringList{QStringLiteral("validate"), QStringLiteral("--no-net"),
                                                 dir + QStringLiteral("io.github.murmelo.Murmelo.metainfo.xml")};
        QTest::newRow("desktop-entry") << QStringLiteral("desktop-file-validate")
                                       << QStringList{dir + QStringLiteral("io.github.murmelo.Murmelo.desktop")};
    }
    void validatorsFindNothing()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QVERIFY2(!QStandardPaths::findExecutable(program).isEmpty(),
                 qPrintable(program + QStringLiteral(" is missing (scripts/setup-deps --test)")));
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, arguments);
        QVERIFY(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAll());
        QVERIFY2(p.exitCode() == 0, qPrintable(out));
        // Warnings do not fail desktop-file-validate; they fail here.
        for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            QVERIFY2(!line.contains(QStringLiteral("warning"), Qt::CaseInsensitive) && !line.startsWith(QStringLiteral("W:"))
                         && !line.startsWith(QStringLiteral("E:")),
                     qPrintable(line));
        }
    }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
