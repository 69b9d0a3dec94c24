#pragma once
#include <QByteArray>
#include <QString>
#include <QVariant>

/// How a message's text is kept in Msg.Content. A text whose every character is one octet
/// (what the receivers deliver) is stored as a BLOB of those octets behind a one-byte form
/// tag, deflated when that makes it smaller. Any other text, and every row an older version
/// wrote, stays a text value; unpack() reads every form ever written.
namespace MsgContent {
/// Form tags: the first byte of a packed BLOB. Older BLOBs (texts bound as UTF-16 bytes)
/// begin with 0xFF or 0xFE, so the forms never overlap.
enum Form : char { Octets = 0x01, Deflated = 0x02 };

/// The value to bind for `text`: the packed BLOB, or the text itself when a character does
/// not fit in one octet or the text is empty (a deleted message keeps the empty text).
QVariant pack(const QString &text);
/// The exact text that pack() (or an older version) was given. Throws MUError (source
/// `source`) when a packed value is damaged.
QString unpack(const QVariant &stored, const QString &source);
/// True when `text` can be packed: not empty and every character below U+0100.
bool packable(const QString &text);
}
