#pragma once
#include <QLatin1StringView>
#include <QString>
#include <QStringView>

/// How much of one message is kept, and how a message that was cut short is marked: the
/// receivers cut, the message view and speech say so. A cut message keeps its first bytes
/// exactly as received, after one header field of ours in front: the stored text stays
/// what the server sent, and the mark cannot be mistaken for the sender's words.
namespace MessageLimits {
/// The most raw text kept of one message; the rest is read and dropped as it arrives.
constexpr qsizetype KeptBytes = qsizetype(2) * 1024 * 1024;
/// The field put first on a message that was cut; its value tells how much was kept.
inline constexpr QLatin1StringView TruncatedField("X-Murmelo-Truncated");

/// What the view and speech say at the end of a cut message.
inline QString TruncatedNotice()
{
    return QStringLiteral("The rest of this message was not downloaded.");
}

/// `kept` (the first bytes of a message, one character per byte) marked as cut.
inline QString MarkTruncated(const QString &kept)
{
    return TruncatedField + QStringLiteral(": %1 bytes kept\r\n").arg(kept.size()) + kept;
}

/// `raw` as kept: whole when it fits, else cut after the last whole line that fits, and marked.
inline QString Kept(const QString &raw)
{
    if (raw.size() <= KeptBytes)
        return raw;
    const qsizetype lineEnd = raw.lastIndexOf(QLatin1Char('\n'), KeptBytes - 1);
    return MarkTruncated(raw.left(lineEnd > 0 ? lineEnd + 1 : KeptBytes));
}

/// True when `content` was marked by MarkTruncated.
inline bool IsTruncated(QStringView content)
{
    return content.startsWith(TruncatedField) && content.mid(TruncatedField.size()).startsWith(QLatin1Char(':'));
}
}
