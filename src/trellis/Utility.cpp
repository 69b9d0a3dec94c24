#include "Utility.h"
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QSysInfo>
#include <QUuid>

namespace Utility {

QString FormatText(const QString &templ, const QStringList &values)
{
    // One pass, reading the whole number after '%', so "%10" is never "%1" + "0"
    // and a value that itself holds "%2" is not expanded again.
    QString out;
    out.reserve(templ.size());
    for (qsizetype i = 0; i < templ.size(); ++i) {
        const QChar c = templ.at(i);
        if (c == QLatin1Char('%') && i + 1 < templ.size() && templ.at(i + 1).isDigit()
            && templ.at(i + 1) != QLatin1Char('0')) {
            qsizetype j = i + 1;
            int n = 0;
            while (j < templ.size() && templ.at(j).isDigit() && n < 1000) {
                n = n * 10 + templ.at(j).digitValue();
                ++j;
            }
            if (n >= 1 && n <= values.size()) {
                out += values.at(n - 1);
                i = j - 1;
                continue;
            }
        }
        out += c;
    }
    return out;
}

QString NewGuidString()
{
    return QUuid::createUuid().toString(QUuid::WithBraces).toUpper();
}

QString ExpandVariables(const QString &command)
{
    const auto env = QProcessEnvironment::systemEnvironment();
    QString out;
    qsizetype i = 0;
    while (i < command.size()) {
        if (command.at(i) == QLatin1Char('%')) {
            const qsizetype end = command.indexOf(QLatin1Char('%'), i + 1);
            if (end > i + 1) {
                const QString name = command.mid(i + 1, end - i - 1);
                if (env.contains(name)) {
                    out += env.value(name);
                    i = end + 1;
                    continue;
                }
            }
        }
        out += command.at(i);
        ++i;
    }
    return out;
}

bool ToBool(const QVariant &value, bool fallback)
{
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    const QString t = value.toString().trimmed().toLower();
    if (t == QLatin1String("true") || t == QLatin1String("yes") || t == QLatin1String("on"))
        return true;
    if (t == QLatin1String("false") || t == QLatin1String("no") || t == QLatin1String("off"))
        return false;
    bool ok = false;
    const double n = t.toDouble(&ok);
    return ok ? n != 0 : fallback;
}

qint64 ToInt(const QVariant &value, qint64 fallback)
{
    bool ok = false;
    const QString t = value.toString().trimmed();
    const qint64 n = t.toLongLong(&ok);
    if (ok)
        return n;
    const double d = t.toDouble(&ok);
    return ok ? qint64(d) : fallback;
}

QString GetSystemVersion()
{
    return QStringLiteral("%1 (%2 %3, %4)")
        .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion(),
             QSysInfo::currentCpuArchitecture());
}

QString GetDataAccessVersions()
{
    return QStringLiteral("Qt %1").arg(QString::fromLatin1(qVersion()));
}

} // namespace Utility

namespace Files {

bool FileExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

bool WriteTextFile(const QString &path, const QString &text)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(text.toUtf8());
    return file.commit();
}

} // namespace Files
