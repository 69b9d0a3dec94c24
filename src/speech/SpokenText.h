#pragma once
#include <QString>
#include <QStringList>

/// The text rules of speaking mail: what a message's text becomes before the character
/// says it. Pure functions, reentrant.
namespace SpokenText {
/// Texts are cut for the character at the first blank at or after this many characters.
inline constexpr int ChunkSize = 200;
/// A line this long that does not end a sentence is taken to be wrapped by the sender.
inline constexpr int WrappedLineLength = 50;

/// Mail text (sender, subject, body) made safe to speak: "|" becomes a blank and
/// every "\" is written "\\", so it is spoken as written and never read as a tag.
QString AsSpokenText(const QString &text);
/// A message body with the line breaks its sender's program inserted to wrap long
/// paragraphs taken out, so that reading aloud pauses at the ends of paragraphs, lists
/// and short lines rather than in mid-sentence at every wrapped line. A line is taken to
/// continue on the next when it ends with a blank (RFC 3676 soft break) or is long
/// (WrappedLineLength characters or more) without ending a sentence; quoted lines, list
/// items, separators and blank lines always keep their breaks. Lines end with CR LF.
QString UnwrapLines(const QString &text);
/// Lines up to the first holding a marker, without those quoted within `quoteZone`.
QString StripQuotedLines(const QString &text, int quoteZone, const QString &marker1, const QString &marker2);
/// Cuts every run of one character longer than two to two ("\" runs stay whole:
/// they delimit tags).
QString CollapseRepeats(const QString &text);
/// The chunks of a spool text as they are handed to the character (without tags).
QStringList Chunks(const QString &text);
}
