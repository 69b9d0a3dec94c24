#include "mime/MParseMsg.h"

#include "mime/CMIMEPart.h"

QByteArray ToWireLineEnds(const QByteArray &raw)
{
    QByteArray out;
    out.reserve(raw.size() + raw.size() / 32);
    char previous = 0;
    for (const char c : raw) {
        if (c == '\n' && previous != '\r')
            out.append('\r');
        out.append(c);
        previous = c;
    }
    return out;
}

QJsonObject ParseSummary(const QByteArray &raw)
{
    CMIMEPart part;
    part.Init(QString::fromLatin1(ToWireLineEnds(raw)), false);
    return QJsonObject{
        {QStringLiteral("Id"), part.Id()},
        {QStringLiteral("From"), part.from()},
        {QStringLiteral("To"), part.MsgTo()},
        {QStringLiteral("Date"), part.SentDate()},
        {QStringLiteral("Subject"), part.Subject()},
        {QStringLiteral("TextPlainLength"), double(part.TextPlain().size())},
    };
}
