#pragma once
#include <QByteArray>
#include <QJsonObject>

/// The parser's fields of one raw message as JSON: "Id", "From", "To", "Date", "Subject"
/// and "TextPlainLength" (characters, i.e. bytes, of the content). Lone LF line ends (a
/// message saved to disk) are first turned into the CR LF of the wire form. Any thread.
QJsonObject ParseSummary(const QByteArray &raw);

/// `raw` with every LF not preceded by CR turned into CR LF.
QByteArray ToWireLineEnds(const QByteArray &raw);
