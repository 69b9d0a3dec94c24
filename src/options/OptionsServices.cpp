#include "OptionsServices.h"
#include "trellis/Paths.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>

OptionsServices::OptionsServices()
{
    showMessage = [](QWidget *parent, const QString &prompt, int style) {
        QMessageBox box(parent);
        box.setWindowTitle(QStringLiteral("Murmelo"));
        box.setText(prompt);
        switch (style & 0x70) {
        case 16: box.setIcon(QMessageBox::Critical); break;
        case 32: box.setIcon(QMessageBox::Question); break;
        case 48: box.setIcon(QMessageBox::Warning); break;
        case 64: box.setIcon(QMessageBox::Information); break;
        default: break;
        }
        if ((style & 0x0F) == 1) {
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            return box.exec() == QMessageBox::Ok ? 1 : 2;
        }
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
        return 1;
    };
    chooseFile = [](QWidget *parent, const QString &initial, const QString &filter) {
        return QFileDialog::getOpenFileName(parent, QString(), initial, filter);
    };
    openHelp = [](const QString &topic) {
        const QString page = Paths::FindShared(QStringLiteral("help/") + topic + QStringLiteral(".html"));
        const QString index = Paths::FindShared(QStringLiteral("help/index.html"));
        const QString target = page.isEmpty() ? index : page;
        if (!target.isEmpty())
            QDesktopServices::openUrl(QUrl::fromLocalFile(target));
    };
    startDetached = [](const QString &program, const QStringList &arguments) -> QString {
        QProcess process;
        process.setProgram(program);
        process.setArguments(arguments);
        process.setStandardInputFile(QProcess::nullDevice());
        if (!process.startDetached())
            return process.errorString();
        return {};
    };
    now = [] { return QDateTime::currentDateTime(); };
}
