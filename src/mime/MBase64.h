#pragma once
#include <QByteArray>
#include <QStringView>

/// Lenient base64 decoding of header encoded words. Pure functions, any thread.
namespace MBase64 {

/// Decodes `text` in groups of four. Characters outside the alphabet count as 0;
/// a missing third or fourth character of the last group counts as padding. Never fails.
QByteArray Decode(QStringView text);

} // namespace MBase64
