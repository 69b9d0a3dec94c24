#include "MessageView.h"
#include "speech/MessageText.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTextBlock>
#include <QTextDocument>

namespace {
constexpr int MaxRemoteImages = 50;
constexpr int RemoteTimeoutMs = 15000;
constexpr qint64 MaxImageBytes = 8 * 1024 * 1024;

bool isRemote(const QUrl &url)
{
    const QString s = url.scheme().toLower();
    return s == QLatin1String("http") || s == QLatin1String("https") || s == QLatin1String("ftp");
}

QVariant decodeDataUrl(const QUrl &url, int type)
{
    // data:[<mediatype>][;base64],<data>
    const QString whole = url.toString(QUrl::FullyEncoded);
    const int comma = whole.indexOf(QLatin1Char(','));
    if (comma < 0)
        return {};
    const QString head = whole.mid(5, comma - 5);
    const QByteArray payload = QByteArray::fromPercentEncoding(whole.mid(comma + 1).toLatin1());
    const QByteArray bytes = head.endsWith(QLatin1String(";base64"), Qt::CaseInsensitive)
                                 ? QByteArray::fromBase64(payload)
                                 : payload;
    if (type == QTextDocument::ImageResource) {
        QImage image;
        if (image.loadFromData(bytes))
            return image;
        return {};
    }
    return bytes;
}
}

MessageView::MessageView(QWidget *parent) : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setReadOnly(true);
    connect(this, &QTextBrowser::anchorClicked, this, &MessageView::onAnchorClicked);
}

void MessageView::showBlank()
{
    ++m_generation;
    m_html.clear();
    m_raw = false;
    m_allowRemote = false;
    m_blocked.clear();
    m_fetched.clear();
    clear();
}

void MessageView::showContent(const QString &content)
{
    ++m_generation;
    m_allowRemote = false;
    m_blocked.clear();
    m_fetched.clear();
    m_html.clear();
    m_raw = false;
    if (MessageText::LooksLikeMessage(content))
        m_html = MessageText::Html(content);
    if (m_html.trimmed().isEmpty()) {
        m_raw = true;
        setPlainText(MessageText::UnixLines(content));
        return;
    }
    render();
    if (!m_blocked.isEmpty())
        Q_EMIT remoteContentBlocked(int(m_blocked.size()));
}

void MessageView::render()
{
    document()->clear();
    setHtml(m_html);
    moveCursor(QTextCursor::Start);
    if (m_allowRemote)
        return;
    // Pictures load lazily at layout time: list the remote ones from the document itself.
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (!format.isImageFormat())
                continue;
            const QUrl url(format.toImageFormat().name());
            if (isRemote(url))
                m_blocked.insert(url);
        }
    }
}

void MessageView::loadRemoteImages()
{
    m_allowRemote = true;
    const QList<QUrl> wanted = m_blocked.values().mid(0, MaxRemoteImages);
    if (wanted.isEmpty())
        return;
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    const quint64 generation = m_generation;
    m_pendingFetches = int(wanted.size());
    for (const QUrl &url : wanted) {
        QNetworkRequest request(url);
        request.setTransferTimeout(RemoteTimeoutMs);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        QNetworkReply *reply = m_network->get(request);
        connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
            if (received > MaxImageBytes)
                reply->abort();
        });
        connect(reply, &QNetworkReply::finished, this, [this, reply, url, generation] {
            reply->deleteLater();
            if (generation != m_generation)
                return;
            QImage image;
            if (reply->error() == QNetworkReply::NoError)
                image.loadFromData(reply->readAll());
            m_fetched.insert(url, image.isNull() ? QVariant() : QVariant(image));
            if (--m_pendingFetches == 0) {
                m_blocked.clear();
                render();
            }
        });
    }
}

QVariant MessageView::loadResource(int type, const QUrl &name)
{
    const QString scheme = name.scheme().toLower();
    if (scheme == QLatin1String("data"))
        return decodeDataUrl(name, type);
    if (isRemote(name)) {
        if (type != QTextDocument::ImageResource)
            return {};   // style sheets and the like from the network: never
        if (m_allowRemote && m_fetched.contains(name))
            return m_fetched.value(name);
        m_blocked.insert(name);
        return {};
    }
    // Local files, cid: leftovers and anything else: a message may not reach into the disk.
    return {};
}

void MessageView::onAnchorClicked(const QUrl &url)
{
    if (url.isRelative() && url.hasFragment() && url.path().isEmpty()) {
        scrollToAnchor(url.fragment());
        return;
    }
    if (url.scheme() == QLatin1String("about"))
        return;
    Q_EMIT linkActivated(url);
}
