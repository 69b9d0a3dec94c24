#pragma once
#include <QString>

/// Decoding of a stored message for speech and for the message view. `content` is
/// the message as received, one character per byte (Latin-1 mapped). GMime does the
/// MIME work: transfer encodings are decoded and charsets honoured. Never throws;
/// a content that is not a MIME message comes back as it is. Reentrant (main thread
/// or workers).
namespace MessageText {
/// The text to speak: the first text/plain part that is not an attachment, else the
/// first HTML part turned into plain text, else "". A message that was cut short
/// (MessageLimits) ends with the sentence saying so, in the view as well.
QString PlainText(const QString &content);
/// The body for the message view: the HTML part (cid: images inlined as data: URIs),
/// else the text part escaped inside <pre>. A complete HTML document.
QString Html(const QString &content);
/// True when only the first part of the message was downloaded (MessageLimits::MarkTruncated).
bool IsCut(const QString &content);
/// True when `content` starts like an Internet message (a header field line).
bool LooksLikeMessage(const QString &content);
/// `text` with every CR LF and lone CR made LF: mail ends its lines with CR LF, but shown
/// or spoken a line ends with LF alone (a view would otherwise break each line twice).
QString UnixLines(QString text);
}

