#include "mime/CMIMEPart.h"

#include "mime/MHeaderText.h"

#include <QRegularExpression>
#include <QStringList>

#include <array>
#include <optional>

namespace {

QString valueOf(const CMIMEParams &params, QStringView name)
{
    const CMIMEParam *field = params.ItemByName(name);
    return field ? field->Value() : QString();
}

std::optional<qint64> toNumber(const QString &text)
{
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    // Bounded so that the calendar arithmetic below cannot overflow.
    if (!ok || n < -1000000 || n > 1000000)
        return std::nullopt;
    return n;
}

int monthNumber(const QString &name)
{
    static const std::array<const char16_t *, 12> months = {
        u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
        u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec",
    };
    for (size_t i = 0; i < months.size(); ++i) {
        if (name == QStringView(months[i]))
            return int(i) + 1;
    }
    return 0;
}

// A calendar date that rolls out-of-range months and days over into the neighbouring
// ones (month 0 is December of the year before); two-digit years 0-29 are 20xx, 30-99 19xx.
std::optional<QDate> serialDate(qint64 year, qint64 month, qint64 day)
{
    if (year >= 0 && year < 30)
        year += 2000;
    else if (year >= 30 && year < 100)
        year += 1900;
    if (year < 100 || year > 9999)
        return std::nullopt;
    const qint64 months = (year * 12) + (month - 1);
    const qint64 y = months >= 0 ? months / 12 : (months - 11) / 12;
    const int m = int(months - y * 12) + 1;
    const QDate first(int(y), m, 1);
    if (!first.isValid())
        return std::nullopt;
    const QDate date = first.addDays(day - 1);
    if (!date.isValid() || date.year() < 100 || date.year() > 9999)
        return std::nullopt;
    return date;
}

// How much of a body is searched for the first text part's charset.
constexpr qsizetype kCharsetSearchChars = 256 * 1024;
// Multiparts nested deeper than this are not searched.
constexpr int kCharsetSearchDepth = 4;

// The charset declared for the text of a message or part with these header fields: its
// Content-Type charset, or for a multipart that of its first text part. Empty when none
// is declared.
QByteArray textCharset(const CMIMEParams &params, QStringView body, int depth)
{
    const CMIMEParam *field = params.ItemByName(u"content-type");
    if (!field)
        return {};
    const QString contentType = field->Value();
    const QString type = MHeaderText::MediaType(contentType);
    const QString charset = MHeaderText::ContentTypeParameter(contentType, u"charset");
    if (!charset.isEmpty() && !type.startsWith(QLatin1String("multipart/")))
        return charset.toLatin1();
    const QString boundary = MHeaderText::ContentTypeParameter(contentType, u"boundary");
    if (!type.startsWith(QLatin1String("multipart/")) || boundary.isEmpty() || depth >= kCharsetSearchDepth)
        return {};

    const QString delimiter = QLatin1String("--") + boundary;
    body = body.first(qMin(body.size(), kCharsetSearchChars));
    qsizetype at = body.startsWith(delimiter) ? 0 : body.indexOf(QLatin1String("\r\n") + delimiter);
    while (at >= 0) {
        const qsizetype lineStart = at == 0 ? 0 : at + 2;
        const qsizetype afterDelimiter = lineStart + delimiter.size();
        if (body.sliced(afterDelimiter).startsWith(QLatin1String("--")))
            break; // the closing delimiter
        const qsizetype partStart = body.indexOf(QLatin1String("\r\n"), afterDelimiter);
        if (partStart < 0)
            break;
        const qsizetype next = body.indexOf(QLatin1String("\r\n") + delimiter, partStart);
        const QStringView part = body.sliced(partStart + 2, (next < 0 ? body.size() : next) - partStart - 2);
        // A part begins with its header fields unless it begins with the empty line.
        QStringView header;
        QStringView partBody = part;
        if (!part.startsWith(QLatin1String("\r\n"))) {
            const qsizetype end = part.indexOf(QLatin1String("\r\n\r\n"));
            header = end < 0 ? part : part.first(end);
            partBody = end < 0 ? QStringView() : part.sliced(end + 4);
        }
        CMIMEParams partParams;
        partParams.Init(header.toString());
        const CMIMEParam *partType = partParams.ItemByName(u"content-type");
        const QString media = partType ? MHeaderText::MediaType(partType->Value()) : QStringLiteral("text/plain");
        if (media.startsWith(QLatin1String("text/")) || media.isEmpty())
            return partType ? MHeaderText::ContentTypeParameter(partType->Value(), u"charset").toLatin1() : QByteArray();
        if (media.startsWith(QLatin1String("multipart/"))) {
            const QByteArray nested = textCharset(partParams, partBody, depth + 1);
            if (!nested.isEmpty())
                return nested;
        }
        at = next;
    }
    return {};
}

} // namespace

void CMIMEPart::InitMessage(const QString &message, bool headerOnly)
{
    static const QRegularExpression field(QStringLiteral("^[!-9;-~]+[ \\t]*:"));
    if (!message.contains(QLatin1String("\r\n\r")) && field.match(message.left(1000)).hasMatch())
        Init(message + QLatin1String("\r\n\r\n"), headerOnly);
    else
        Init(message, headerOnly);
}

void CMIMEPart::Init(const QString &sPart, bool headerOnly)
{
    // The header ends at the first empty line: CR LF followed by the CR of that line.
    const QStringList pieces = sPart.split(QLatin1String("\r\n\r"));
    QString body;
    if (pieces.size() == 1) {
        m_header.clear();
        body = pieces.first();
    } else {
        m_header = pieces.at(0);
        body = pieces.at(1);
        for (qsizetype i = 2; i < pieces.size(); ++i) {
            body += QLatin1String("\r\n\r\n");
            body += pieces.at(i);
        }
    }

    m_params.Init(m_header);

    // Identities keep the form stored by earlier versions, so known messages stay known.
    if (const CMIMEParam *f = m_params.ItemByName(u"message-id"))
        m_id = f->LegacyValue();
    else if (const CMIMEParam *f = m_params.ItemByName(u"date"))
        m_id = f->LegacyValue();
    else if (const CMIMEParam *f = m_params.ItemByName(u"received"))
        m_id = f->LegacyValue();
    else
        m_id.clear();

    // Raw 8-bit header text is read in the charset the message declares for its text.
    const qsizetype headerEnd = sPart.indexOf(QLatin1String("\r\n\r\n"));
    const QByteArray charset =
        headerEnd < 0 ? QByteArray() : textCharset(m_params, QStringView(sPart).sliced(headerEnd + 4), 0);
    const CMIMEParam *fromField = m_params.ItemByName(u"from");
    m_from = fromField ? MHeaderText::DecodeEncodedWords(MHeaderText::DisplayName(fromField->Value()), charset)
                       : QString();
    const CMIMEParam *toField = m_params.ItemByName(u"to");
    m_msgTo = toField ? MHeaderText::DecodeEncodedWords(MHeaderText::DisplayName(toField->Value()), charset)
                      : QString();
    m_sentDate = valueOf(m_params, u"date");
    m_subject = MHeaderText::DecodeEncodedWords(valueOf(m_params, u"subject"), charset);
    m_textPlain = headerOnly ? body : sPart;
}

QDateTime CMIMEPart::SentDateAsDate() const
{
    return DateFromText(m_sentDate);
}

QDateTime CMIMEPart::DateFromText(const QString &text)
{
    QString squeezed = text;
    squeezed.replace(QLatin1String("  "), QLatin1String(" "));
    const QStringList p = squeezed.split(u' ');
    if (p.size() < 4)
        return {};
    const auto day = toNumber(p.at(1));
    const auto year = toNumber(p.at(3));
    if (!day || !year)
        return {};
    const auto date = serialDate(*year, monthNumber(p.at(2)), *day);
    if (!date)
        return {};

    QDateTime result(*date, QTime(0, 0), Qt::UTC);
    if (p.size() < 5)
        return result;
    // RFC 5322 lets the seconds be left out; a time that cannot be read leaves the date alone.
    const QStringList hms = p.at(4).split(u':');
    if (hms.size() < 2)
        return result;
    const auto h = toNumber(hms.at(0));
    const auto m = toNumber(hms.at(1));
    const auto s = hms.size() > 2 ? toNumber(hms.at(2)) : std::optional<qint64>(0);
    if (!h || !m || !s)
        return result;
    const QDateTime withTime = result.addSecs(*h * 3600 + *m * 60 + *s);
    if (!withTime.isValid() || withTime.date().year() < 100 || withTime.date().year() > 9999)
        return result;
    return withTime;
}
