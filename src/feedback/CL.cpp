#include "CL.h"
#include "cZip.h"
#include "trellis/Paths.h"
#include "trellis/ServiceConfig.h"
#include "trellis/Utility.h"
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUuid>

namespace {

/// Removes the working files whatever way Send leaves.
class FileRemover
{
public:
    explicit FileRemover(QStringList paths) : m_paths(std::move(paths)) {}
    ~FileRemover()
    {
        for (const QString &p : std::as_const(m_paths))
            QFile::remove(p);
    }
    FileRemover(const FileRemover &) = delete;
    FileRemover &operator=(const FileRemover &) = delete;

private:
    QStringList m_paths;
};

bool isXmlChar(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD)
        || (c >= 0x10000 && c <= 0x10FFFF);
}

}

CL::CL() = default;
CL::~CL() = default;

QUrl CL::Endpoint() const
{
    const QUrl url = m_endpoint ? *m_endpoint
                                : QUrl(ServiceConfig::Text(QStringLiteral("feedbackEndpoint")).trimmed(),
                                       QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return {};
    return url;
}

QString CL::workDir() const
{
    return m_workDir.isEmpty() ? Paths::CacheDir() : m_workDir;
}

void CL::Send(const QString &category, const Record &fields, QString &errorText, bool &sent)
{
    errorText.clear();
    sent = false;

    const QUrl url = Endpoint();
    if (!url.isValid()) {
        errorText = QStringLiteral("No feedback endpoint is configured. ");
        return;
    }
    const QString dir = workDir();
    if (!Paths::EnsureDir(dir)) {
        errorText = QStringLiteral("Cannot create folder '%1'. ").arg(dir);
        return;
    }
    const QString zipPath =
        QDir(dir).filePath(QStringLiteral("sc") + QUuid::createUuid().toString(QUuid::Id128) + QStringLiteral(".zip"));
    const FileRemover remover({zipPath});
    QString id;
    if (!WriteArchive(category, fields, zipPath, errorText, id))
        return;
    QFile zip(zipPath);
    if (!zip.open(QIODevice::ReadOnly)) {
        errorText = QStringLiteral("Cannot read file '%1'. ").arg(zipPath);
        return;
    }
    const QString data = QString::fromLatin1(zip.readAll().toBase64());
    zip.close();

    QString cat = category;
    cat.replace(QLatin1Char('/'), QLatin1Char('\\'));
    const QString body = QStringLiteral("subject=") + UrlEncode(cat + QLatin1Char('\\') + id)
        + QStringLiteral("&value=") + UrlEncode(data);
    sent = Post(body.toUtf8(), url, errorText);
}

bool CL::SaveArchive(const QString &category, const Record &fields, const QString &zipPath, QString &errorText)
{
    errorText.clear();
    QString id;
    return WriteArchive(category, fields, zipPath, errorText, id);
}

bool CL::WriteArchive(const QString &category, const Record &fields, const QString &zipPath, QString &errorText,
                      QString &id)
{
    QString cat = category;
    cat.replace(QLatin1Char('/'), QLatin1Char('\\'));
    id = NewGuidText();
    const QString document = BuildDocument(cat, id, fields);

    const QString dir = workDir();
    if (!Paths::EnsureDir(dir)) {
        errorText = QStringLiteral("Cannot create folder '%1'. ").arg(dir);
        return false;
    }
    const QString xmlPath = QDir(dir).filePath(id + QStringLiteral(".xml"));
    const FileRemover remover({xmlPath});
    if (!Files::WriteTextFile(xmlPath, document)) {
        errorText = QStringLiteral("Cannot write file '%1'. ").arg(xmlPath);
        return false;
    }
    return cZip::Create(zipPath, xmlPath, errorText);
}

bool CL::Post(const QByteArray &body, const QUrl &url, QString &errorText)
{
    if (!m_network)
        m_network = std::make_unique<QNetworkAccessManager>();

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    // A redirect is an answer of its own here (302 counts as taken), not a road to follow.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);

    QNetworkReply *reply = m_network->post(request, body);
    const std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> owner(reply,
                                                                          [](QNetworkReply *r) { r->deleteLater(); });
    bool timedOut = false;
    if (!reply->isFinished()) {
        QEventLoop loop;
        // One precise deadline for the whole exchange: the request's own transfer limit
        // restarts with every byte received, and a coarse timer may fire 5% early.
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
            timedOut = true;
            reply->abort();
            loop.quit();
        });
        deadline.start(m_timeLimitMs);
        loop.exec();
    }

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        const int code = status.toInt();
        if (IsSuccessStatus(code))
            return true;
        errorText = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        if (errorText.isEmpty())
            errorText = QStringLiteral("HTTP status %1").arg(code);
        return false;
    }
    if (timedOut || reply->error() == QNetworkReply::OperationCanceledError
        || reply->error() == QNetworkReply::TimeoutError) {
        errorText = TimedOutText;
        return false;
    }
    errorText = reply->errorString();
    return false;
}

QString CL::BuildDocument(const QString &category, const QString &id, const Record &fields)
{
    QString xml = QStringLiteral("<xml><cat>") + XmlEscape(category) + QStringLiteral("</cat><id>") + XmlEscape(id)
        + QStringLiteral("</id>");
    const QList<QString> names = fields.names();
    for (const QString &name : names) {
        const QString tag = XmlEscape(name);
        xml += QLatin1Char('<') + tag + QLatin1Char('>') + XmlEscape(fields.text(name)) + QStringLiteral("</") + tag
            + QLatin1Char('>');
    }
    xml += QStringLiteral("</xml>");
    return xml;
}

QString CL::XmlEscape(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.size() / 8);
    const QChar *p = text.constData();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = p[i];
        switch (c.unicode()) {
        case '&': out += QStringLiteral("&amp;"); continue;
        case '"': out += QStringLiteral("&quot;"); continue;
        case '<': out += QStringLiteral("&lt;"); continue;
        case '>': out += QStringLiteral("&gt;"); continue;
        case '\'': out += QStringLiteral("&apos;"); continue;
        default: break;
        }
        if (c.isHighSurrogate() && i + 1 < n && p[i + 1].isLowSurrogate()) {
            out += c;
            out += p[++i];
            continue;
        }
        // A control character or lone surrogate would make the whole document unreadable.
        out += isXmlChar(c.unicode()) && !c.isSurrogate() ? c : QChar(QChar::ReplacementCharacter);
    }
    return out;
}

QString CL::UrlEncode(const QString &text)
{
    QString out;
    out.reserve(text.size() + 16);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '+': out += QStringLiteral("%2B"); break;
        case '\r': out += QStringLiteral("%0D"); break;
        case '\n': out += QStringLiteral("%0A"); break;
        case '\\': out += QStringLiteral("%5C"); break;
        default: out += c;
        }
    }
    return out;
}

QString CL::NewGuidText()
{
    return QUuid::createUuid().toString(QUuid::WithBraces).toUpper();
}

bool CL::IsSuccessStatus(int status)
{
    return status == 200 || status == 206 || status == 302 || status == 304;
}
