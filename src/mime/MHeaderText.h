#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

/// Turning raw header values (one character per byte) into Unicode text:
/// display names, RFC 2047 encoded words and charsets. Pure functions, any thread.
namespace MHeaderText {

/// The display name of a From/To value: the text before the first "<" that is not
/// quoted, with quoted strings unquoted and their quoted pairs ("\"") unescaped; the
/// bare address of "<addr>" when that name is empty; the whole value trimmed when there
/// is no "<".
QString DisplayName(const QString &value);

/// Decodes every RFC 2047 encoded word of `raw` wherever it stands (Q and B; "_" is a
/// space in Q only); white space between two adjacent encoded words is dropped, other
/// text is kept and read as raw 8-bit text in `charset` (see RawToText).
QString DecodeEncodedWords(const QString &raw, QByteArrayView charset = {});

/// Raw header text (characters U+0000..U+00FF standing for bytes) as Unicode: UTF-8 when
/// the bytes are valid UTF-8, else `charset` (the message's declared charset) when it
/// is a known single- or multi-byte charset, else Windows-1252. Text holding characters
/// above U+00FF is already Unicode and is returned unchanged.
QString RawToText(const QString &raw, QByteArrayView charset = {});

/// The media type of a Content-Type value in lower case ("text/plain"); empty when none.
QString MediaType(QStringView contentType);
/// The parameter `name` (any case) of a Content-Type value, unquoted; empty when absent.
QString ContentTypeParameter(QStringView contentType, QStringView name);

/// `bytes` decoded with the MIME charset `charset`; Windows-1252 when the charset is
/// empty or unknown, and when UTF-8 is declared but the bytes are not UTF-8.
QString DecodeCharset(const QByteArray &bytes, QByteArrayView charset);

/// Windows-1252 decoding; the five unassigned codes map to the C1 control of the same value.
QString FromWindows1252(QByteArrayView bytes);

} // namespace MHeaderText
