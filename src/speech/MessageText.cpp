// GMime first: its GLib headers use names that Qt defines as macros.
#include <gmime/gmime.h>

#include "MessageText.h"
#include "HtmlToText.h"
#include "mime/MessageLimits.h"

#include <QByteArray>
#include <QHash>
#include <QRegularExpression>
#include <mutex>

namespace {

void initGMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

template <typename T> struct GUnref
{
    void operator()(T *p) const
    {
        if (p)
            g_object_unref(p);
    }
};
template <typename T> using GPtr = std::unique_ptr<T, GUnref<T>>;

QByteArray toBytes(const QString &content)
{
    // Stored messages hold one byte per character; text that is already decoded
    // (characters above U+00FF) is taken as UTF-8.
    for (QChar c : content)
        if (c.unicode() > 0xFF)
            return content.toUtf8();
    return content.toLatin1();
}

GPtr<GMimeMessage> parse(const QByteArray &bytes)
{
    initGMime();
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size())));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    return GPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

/// Bytes in `charset` to text. Unknown or wrong charsets fall back to UTF-8 when the
/// bytes are valid UTF-8, else to Windows-1252 (what mislabelled Western mail is).
QString decodeCharset(const QByteArray &bytes, const char *charset)
{
    if (bytes.isEmpty())
        return {};
    auto tryConvert = [&bytes](const char *from, QString &out) {
        gsize written = 0;
        GError *error = nullptr;
        gchar *utf8 = g_convert(bytes.constData(), gssize(bytes.size()), "UTF-8", from, nullptr, &written, &error);
        if (!utf8) {
            if (error)
                g_error_free(error);
            return false;
        }
        out = QString::fromUtf8(utf8, qsizetype(written));
        g_free(utf8);
        return true;
    };
    QString out;
    if (charset && *charset) {
        const char *name = g_mime_charset_iconv_name(charset);
        if (tryConvert(name, out))
            return out;
    }
    if (g_utf8_validate(bytes.constData(), gssize(bytes.size()), nullptr))
        return QString::fromUtf8(bytes);
    if (tryConvert("WINDOWS-1252", out))
        return out;
    return QString::fromLatin1(bytes);
}

QByteArray decodedBytes(GMimePart *part)
{
    GMimeDataWrapper *wrapper = g_mime_part_get_content(part);
    if (!wrapper)
        return {};
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(wrapper, mem.get());
    GByteArray *array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
    return QByteArray(reinterpret_cast<const char *>(array->data), qsizetype(array->len));
}

QString partText(GMimePart *part)
{
    const QByteArray bytes = decodedBytes(part);
    GMimeContentType *type = g_mime_object_get_content_type(GMIME_OBJECT(part));
    const char *charset = type ? g_mime_content_type_get_parameter(type, "charset") : nullptr;
    return MessageText::UnixLines(decodeCharset(bytes, charset));
}

bool isAttachment(GMimeObject *object)
{
    GMimeContentDisposition *d = g_mime_object_get_content_disposition(object);
    return d && g_mime_content_disposition_is_attachment(d);
}

struct Parts
{
    GMimePart *plain = nullptr;
    GMimePart *html = nullptr;
    QHash<QString, GMimePart *> byContentId;
};

void collect(GMimeObject *object, Parts &parts, int depth)
{
    if (!object || depth > 64)
        return;
    if (GMIME_IS_MESSAGE_PART(object))
        return;   // a forwarded message is not this message's text
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart *multi = GMIME_MULTIPART(object);
        const int count = g_mime_multipart_get_count(multi);
        for (int i = 0; i < count; ++i)
            collect(g_mime_multipart_get_part(multi, i), parts, depth + 1);
        return;
    }
    if (!GMIME_IS_PART(object))
        return;
    GMimePart *part = GMIME_PART(object);
    if (const char *cid = g_mime_object_get_content_id(object))
        parts.byContentId.insert(QString::fromUtf8(cid), part);
    if (isAttachment(object))
        return;
    GMimeContentType *type = g_mime_object_get_content_type(object);
    if (!type || !g_mime_content_type_is_type(type, "text", "*"))
        return;
    if (!parts.plain && g_mime_content_type_is_type(type, "text", "plain"))
        parts.plain = part;
    else if (!parts.html && g_mime_content_type_is_type(type, "text", "html"))
        parts.html = part;
}

QString escapeHtml(const QString &text)
{
    return QStringLiteral("<html><body><pre style=\"white-space: pre-wrap\">") + MessageText::UnixLines(text).toHtmlEscaped() +
           QStringLiteral("</pre></body></html>");
}

QString inlineImages(QString html, const Parts &parts)
{
    static const QRegularExpression cidRef(QStringLiteral("cid:([^\"'\\s>)]+)"),
                                           QRegularExpression::CaseInsensitiveOption);
    QString out;
    qsizetype last = 0;
    auto it = cidRef.globalMatch(html);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        GMimePart *part = parts.byContentId.value(m.captured(1));
        if (!part)
            continue;
        GMimeContentType *type = g_mime_object_get_content_type(GMIME_OBJECT(part));
        gchar *mime = type ? g_mime_content_type_get_mime_type(type) : nullptr;
        const QString mimeType = mime ? QString::fromUtf8(mime).toLower() : QStringLiteral("application/octet-stream");
        g_free(mime);
        out += html.mid(last, m.capturedStart() - last);
        out += QStringLiteral("data:") + mimeType + QStringLiteral(";base64,") +
               QString::fromLatin1(decodedBytes(part).toBase64());
        last = m.capturedEnd();
    }
    out += html.mid(last);
    return out;
}

/// `html` with the notice that the message was cut, at the end of its body.
QString withCutNotice(QString html)
{
    const QString notice = QStringLiteral("<hr><p><i>") + MessageLimits::TruncatedNotice().toHtmlEscaped()
        + QStringLiteral("</i></p>");
    const qsizetype end = html.lastIndexOf(QLatin1String("</body"), -1, Qt::CaseInsensitive);
    if (end < 0)
        return html + notice;
    return html.insert(end, notice);
}

QString htmlOf(const QString &content)
{
    if (!MessageText::LooksLikeMessage(content))
        return escapeHtml(content);
    GPtr<GMimeMessage> message = parse(toBytes(content));
    if (!message)
        return escapeHtml(content);
    Parts parts;
    collect(g_mime_message_get_mime_part(message.get()), parts, 0);
    if (parts.html)
        return inlineImages(partText(parts.html), parts);
    if (parts.plain)
        return escapeHtml(partText(parts.plain));
    return escapeHtml(QString());
}

QString plainTextOf(const QString &content)
{
    if (!MessageText::LooksLikeMessage(content))
        return content;
    GPtr<GMimeMessage> message = parse(toBytes(content));
    if (!message)
        return content;
    Parts parts;
    collect(g_mime_message_get_mime_part(message.get()), parts, 0);
    if (parts.plain)
        return partText(parts.plain);
    if (parts.html)
        return HtmlToText::Convert(partText(parts.html));
    return {};
}

} // namespace

bool MessageText::IsCut(const QString &content)
{
    return MessageLimits::IsTruncated(content);
}

bool MessageText::LooksLikeMessage(const QString &content)
{
    // The first line must be a header field: a name of printable characters and a colon.
    static const QRegularExpression field(QStringLiteral("^[!-9;-~]+[ \\t]*:"));
    return field.match(content.left(1000)).hasMatch();
}

QString MessageText::PlainText(const QString &content)
{
    const QString text = plainTextOf(content);
    if (!IsCut(content))
        return text;
    return text + QStringLiteral("\n\n") + MessageLimits::TruncatedNotice();
}

QString MessageText::Html(const QString &content)
{
    const QString html = htmlOf(content);
    return IsCut(content) ? withCutNotice(html) : html;
}

QString MessageText::UnixLines(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}
