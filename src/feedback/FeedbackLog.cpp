#include "FeedbackLog.h"
#include <QFile>
#include <QRegularExpression>

QString FeedbackLog::Text(const LogPtr &log, qint64 maxBytes)
{
    if (!log)
        return {};
    return FileText(log->longLogPath(), maxBytes);
}

QString FeedbackLog::FileText(const QString &path, qint64 maxBytes)
{
    if (path.isEmpty())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    QByteArray bytes;
    if (maxBytes > 0 && size > maxBytes) {
        file.seek(size - maxBytes);
        bytes = file.read(maxBytes);
        // Start at a whole line, so no masked value is cut into an unrecognisable tail.
        const qsizetype eol = bytes.indexOf('\n');
        bytes = eol >= 0 ? bytes.mid(eol + 1) : QByteArray();
    } else {
        bytes = file.readAll();
    }
    return Mask(QString::fromUtf8(bytes));
}

QString FeedbackLog::Mask(const QString &text)
{
    static const QString stars = QStringLiteral("****");
    // Protocol credentials as clients send them (upper case, so prose is left alone):
    // "PASS secret", "LOGIN user secret", "AUTH PLAIN base64".
    static const QRegularExpression pass(QStringLiteral(R"(\b(PASS)[ \t]+(?!\*{4}(?:\s|$))[^\s]+)"));
    static const QRegularExpression login(QStringLiteral(R"(\b(LOGIN[ \t]+[^\s]+)[ \t]+(?!\*{4}(?:\s|$))[^\s]+)"));
    static const QRegularExpression auth(QStringLiteral(R"(\b(AUTH(?:ENTICATE)?[ \t]+[A-Z0-9_-]+)[ \t]+[^\s]+)"));
    // HTTP credentials.
    static const QRegularExpression authorization(
        QStringLiteral(R"(\b((?:Proxy-)?Authorization[ \t]*:[ \t]*(?:[A-Za-z]+[ \t]+)?)[^\s]+)"),
        QRegularExpression::CaseInsensitiveOption);
    // "password=x", "Pwd: x", "passwd = 'x'".
    static const QRegularExpression keyValue(
        QStringLiteral(R"(\b((?:password|passwd|pwd)[ \t]*[=:][ \t]*)(?:'[^']*'|"[^"]*"|[^\s,;&]+))"),
        QRegularExpression::CaseInsensitiveOption);
    // user:secret@host in addresses.
    static const QRegularExpression urlCredentials(QStringLiteral(R"(([a-z][a-z0-9+.-]*://[^\s:/@]+:)[^\s/@]+@)"),
                                                   QRegularExpression::CaseInsensitiveOption);

    QString out = text;
    out.replace(pass, QStringLiteral("\\1 ") + stars);
    out.replace(login, QStringLiteral("\\1 ") + stars);
    out.replace(auth, QStringLiteral("\\1 ") + stars);
    out.replace(authorization, QStringLiteral("\\1") + stars);
    out.replace(keyValue, QStringLiteral("\\1") + stars);
    out.replace(urlCredentials, QStringLiteral("\\1") + stars + QLatin1Char('@'));
    return out;
}
