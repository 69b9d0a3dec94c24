#include "mime/MBase64.h"

#include <array>

namespace {

constexpr std::array<unsigned char, 256> makeTable()
{
    std::array<unsigned char, 256> table{};
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (unsigned char i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}

constexpr std::array<unsigned char, 256> kTable = makeTable();

unsigned valueOf(QChar c)
{
    return c.unicode() < 256 ? kTable[c.unicode()] : 0;
}

} // namespace

QByteArray MBase64::Decode(QStringView text)
{
    QByteArray out;
    const qsizetype n = text.size();
    out.reserve(n / 4 * 3 + 3);
    // A group is read while its first character lies at or before the third-last one.
    for (qsizetype i = 0; i + 2 < n; i += 4) {
        const unsigned w = valueOf(text[i]);
        const unsigned x = valueOf(text[i + 1]);
        const bool haveThird = i + 2 < n && text[i + 2] != u'=';
        const bool haveFourth = i + 3 < n && text[i + 3] != u'=';
        const unsigned y = i + 2 < n ? valueOf(text[i + 2]) : 0;
        const unsigned z = i + 3 < n ? valueOf(text[i + 3]) : 0;
        out.append(static_cast<char>((w * 4 + x / 16) % 256));
        if (haveThird)
            out.append(static_cast<char>((x * 16 + y / 4) % 256));
        if (haveFourth)
            out.append(static_cast<char>((y * 64 + z) % 256));
    }
    return out;
}
