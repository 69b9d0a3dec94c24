#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

/// Turning raw header values (one character per byte) into Unicode text:
/// display names, RFC 2047 encoded words and charsets. Pure functions, any thread.
namespace MHeaderText {

/// The display name of a From/To value: the text before the first "<" without its
/// quotes, the bare address of "<addr>", or the whole value trimmed when there is no "<".
QString DisplayName(const QString &value);

/// Decodes every RFC 2047 encoded word of `raw` wherever it stands (Q and B; "_" is a
/// space in Q only); white space between two adjacent encoded words is dropped, other
/// text is kept and read as raw 8-bit text (see RawToText).
QString DecodeEncodedWords(const QString &raw);

/// Raw header text (characters U+0000..U+00FF standing for bytes) as Unicode: UTF-8 when
/// the bytes are valid UTF-8, else Windows-1252. Text holding characters above U+00FF is
/// already Unicode and is returned unchanged.
QString RawToText(const QString &raw);

/// `bytes` decoded with the MIME charset `charset`; Windows-1252 when the charset is
/// empty or unknown, and when UTF-8 is declared but the bytes are not UTF-8.
QString DecodeCharset(const QByteArray &bytes, QByteArrayView charset);

/// Windows-1252 decoding; the five unassigned codes map to the C1 control of the same value.
QString FromWindows1252(QByteArrayView bytes);

} // namespace MHeaderText
