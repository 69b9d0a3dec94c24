// libFuzzer target: the MIME header parser on arbitrary raw messages.
#include "FuzzTargets.h"
#include "mime/CMIMEPart.h"
#include "mime/MBase64.h"
#include "mime/MHeaderText.h"
#include "mime/MParseMsg.h"

#include <QByteArray>
#include <QString>


namespace {

void parse(const QString &text)
{
    for (const bool headerOnly : {false, true}) {
        CMIMEPart part;
        part.Init(text, headerOnly);
        Fuzz::check(part.Params().Count() >= 1);
        if (!headerOnly)
            Fuzz::check(part.TextPlain() == text);
        (void)part.SentDateAsDate();
    }
}

} // namespace

int Fuzz::Mime(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString latin1 = QString::fromLatin1(bytes);

    // As the receivers hand it over: one character per byte.
    parse(latin1);
    // Callers that already hold Unicode text.
    parse(QString::fromUtf8(bytes));

    // The decoding steps on their own, on the whole input as one header value.
    (void)MHeaderText::DecodeEncodedWords(MHeaderText::DisplayName(latin1));
    (void)MHeaderText::DecodeEncodedWords(latin1);
    (void)CMIMEPart::DateFromText(latin1);
    (void)MBase64::Decode(latin1);
    const qsizetype cut = bytes.indexOf('\n');
    if (cut >= 0) {
        (void)MHeaderText::DecodeCharset(bytes.mid(cut + 1), bytes.first(cut));
        (void)MHeaderText::RawToText(latin1.mid(cut + 1), bytes.first(cut));
    }
    (void)MHeaderText::MediaType(latin1);
    (void)MHeaderText::ContentTypeParameter(latin1, u"charset");

    (void)ParseSummary(bytes);
    return 0;
}

MURMELO_FUZZ_ENTRY(Fuzz::Mime)
