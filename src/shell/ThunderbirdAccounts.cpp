#include "ThunderbirdAccounts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSettings>
#include <algorithm>

namespace {

/// user_pref("name", value); with a quoted text (JavaScript escapes), a number or a boolean.
QHash<QString, QString> parsePrefs(const QString &text)
{
    static const QRegularExpression line(
        QStringLiteral(R"re(^\s*user_pref\(\s*"((?:[^"\\]|\\.)*)"\s*,\s*("(?:[^"\\]|\\.)*"|[^)\s]+)\s*\)\s*;)re"),
        QRegularExpression::MultilineOption);
    QHash<QString, QString> prefs;
    auto unescape = [](const QString &quoted) {
        QString out;
        out.reserve(quoted.size());
        for (qsizetype i = 0; i < quoted.size(); ++i) {
            QChar c = quoted.at(i);
            if (c == u'\\' && i + 1 < quoted.size()) {
                c = quoted.at(++i);
                if (c == u'n')
                    c = u'\n';
                else if (c == u'u' && i + 4 < quoted.size()) {
                    bool ok = false;
                    const ushort code = quoted.mid(i + 1, 4).toUShort(&ok, 16);
                    if (ok) {
                        c = QChar(code);
                        i += 4;
                    }
                }
            }
            out.append(c);
        }
        return out;
    };
    auto it = line.globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        QString value = m.captured(2);
        if (value.startsWith(u'"'))
            value = unescape(value.mid(1, value.size() - 2));
        prefs.insert(unescape(m.captured(1)), value);
    }
    return prefs;
}

QStringList listOf(const QString &text)
{
    QStringList out;
    for (const QString &part : text.split(u',', Qt::SkipEmptyParts))
        if (!part.trimmed().isEmpty())
            out << part.trimmed();
    return out;
}

}

QList<Record> ThunderbirdAccounts::FromPrefs(const QString &prefsText)
{
    const QHash<QString, QString> prefs = parsePrefs(prefsText);
    auto pref = [&prefs](const QString &name) { return prefs.value(name); };

    // Server key -> the address of the first identity of the account that uses it.
    QHash<QString, QString> addressOfServer;
    QStringList accounts = listOf(pref(QStringLiteral("mail.accountmanager.accounts")));
    QStringList serverOrder;
    for (const QString &account : accounts) {
        const QString server = pref(QStringLiteral("mail.account.%1.server").arg(account));
        if (server.isEmpty())
            continue;
        serverOrder << server;
        const QStringList identities = listOf(pref(QStringLiteral("mail.account.%1.identities").arg(account)));
        for (const QString &identity : identities) {
            const QString address = pref(QStringLiteral("mail.identity.%1.useremail").arg(identity)).trimmed();
            if (!address.isEmpty()) {
                addressOfServer.insert(server, address);
                break;
            }
        }
    }
    // Servers no listed account names still count (a hand-edited or half-written profile).
    static const QRegularExpression typeKey(QStringLiteral(R"(^mail\.server\.([^.]+)\.type$)"));
    QStringList others;
    for (auto it = prefs.cbegin(); it != prefs.cend(); ++it) {
        const auto m = typeKey.match(it.key());
        if (m.hasMatch() && !serverOrder.contains(m.captured(1)))
            others << m.captured(1);
    }
    std::sort(others.begin(), others.end(), [](const QString &a, const QString &b) {
        const QString da = QString(a).remove(QRegularExpression(QStringLiteral("\\D")));
        const QString db = QString(b).remove(QRegularExpression(QStringLiteral("\\D")));
        return da.toInt() != db.toInt() ? da.toInt() < db.toInt() : a < b;
    });
    serverOrder << others;

    QList<Record> out;
    for (const QString &server : serverOrder) {
        const QString base = QStringLiteral("mail.server.%1.").arg(server);
        const QString type = pref(base + QStringLiteral("type")).toLower();
        if (type != QLatin1String("pop3") && type != QLatin1String("imap"))
            continue;
        const bool imap = type == QLatin1String("imap");
        const QString host = pref(base + QStringLiteral("hostname")).trimmed();
        if (host.isEmpty())
            continue;
        const int socketType = pref(base + QStringLiteral("socketType")).toInt();
        const QString security = socketType == 3 ? QStringLiteral("TLS")
                                 : socketType == 2 ? QStringLiteral("STARTTLS")
                                                   : QStringLiteral("None");
        bool ok = false;
        int port = pref(base + QStringLiteral("port")).toInt(&ok);
        if (!ok || port <= 0 || port > 65535)
            port = imap ? (socketType == 3 ? 993 : 143) : (socketType == 3 ? 995 : 110);
        const QString user = pref(base + QStringLiteral("userName"));
        QString email = addressOfServer.value(server);
        if (email.isEmpty() && user.contains(u'@'))
            email = user;
        Record record;
        record.Add(QStringLiteral("Email"), email);
        record.Add(QStringLiteral("Server"), host);
        record.Add(QStringLiteral("User"), user);
        record.Add(QStringLiteral("Port"), port);
        record.Add(QStringLiteral("Security"), security);
        record.Add(QStringLiteral("Protocol"), imap ? QStringLiteral("IMAP") : QStringLiteral("POP3"));
        out << record;
    }
    return out;
}

QStringList ThunderbirdAccounts::ProfileDirs(const QString &thunderbirdDir)
{
    QStringList dirs;
    auto addDir = [&dirs](const QString &path) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (!canonical.isEmpty() && !dirs.contains(canonical) && QFileInfo::exists(canonical + QStringLiteral("/prefs.js")))
            dirs << canonical;
    };
    const QDir root(thunderbirdDir);
    const QString ini = root.filePath(QStringLiteral("profiles.ini"));
    if (QFileInfo::exists(ini)) {
        QSettings profiles(ini, QSettings::IniFormat);
        const QStringList groups = profiles.childGroups();
        for (const QString &group : groups) {
            if (!group.startsWith(QStringLiteral("Profile")))
                continue;
            profiles.beginGroup(group);
            const QString path = profiles.value(QStringLiteral("Path")).toString();
            const bool relative = profiles.value(QStringLiteral("IsRelative"), 1).toInt() != 0;
            profiles.endGroup();
            if (!path.isEmpty())
                addDir(relative ? root.filePath(path) : path);
        }
    }
    const QStringList subDirs = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &sub : subDirs)
        addDir(root.filePath(sub));
    return dirs;
}

QList<Record> ThunderbirdAccounts::EnumAccounts(const QString &thunderbirdDir)
{
    const QString dir = thunderbirdDir.isEmpty() ? QDir::homePath() + QStringLiteral("/.thunderbird") : thunderbirdDir;
    QList<Record> out;
    const QStringList profiles = ProfileDirs(dir);
    for (const QString &profile : profiles) {
        QFile file(profile + QStringLiteral("/prefs.js"));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<Record> found = FromPrefs(QString::fromUtf8(file.readAll()));
        for (const Record &record : found) {
            const bool known = std::any_of(out.cbegin(), out.cend(), [&record](const Record &r) {
                return r.text(QStringLiteral("Server")) == record.text(QStringLiteral("Server"))
                       && r.text(QStringLiteral("User")) == record.text(QStringLiteral("User"));
            });
            if (!known)
                out << record;
        }
    }
    return out;
}
