#include "CmuPronouncer.h"
#include <QHash>
#include <QRegularExpression>
#include <QStringList>

namespace CmuPronouncer {

namespace {
const QHash<QString, QString> &table()
{
    static const QHash<QString, QString> t = {
        // Consonants.
        {"p", "P"}, {"b", "B"}, {"t", "T"}, {"d", "D"}, {"k", "K"}, {"g", "G"}, {"f", "F"}, {"v", "V"},
        {"T", "TH"}, {"D", "DH"}, {"s", "S"}, {"z", "Z"}, {"S", "SH"}, {"Z", "ZH"}, {"h", "HH"},
        {"m", "M"}, {"n", "N"}, {"N", "NG"}, {"l", "L"}, {"r", "R"}, {"w", "W"}, {"j", "Y"},
        {"tS", "CH"}, {"dZ", "JH"}, {"t#", "T"}, {"d#", "D"}, {"?", ""}, {"n-", "N"}, {"l-", "L"},
        {"r-", "R"}, {"x", "HH"}, {"W", "W"}, {"C", "HH"},
        // Vowels and diphthongs.
        {"a", "AE"}, {"a#", "AH"}, {"aa", "AA"}, {"A:", "AA"}, {"A@", "AA R"}, {"A", "AA"},
        {"@", "AH"}, {"@2", "AH"}, {"@5", "AH"}, {"@L", "AH L"}, {"3", "ER"}, {"3:", "ER"}, {"@r", "ER"},
        {"E", "EH"}, {"e", "EH"}, {"e@", "EH R"}, {"eI", "EY"}, {"I", "IH"}, {"I2", "IH"}, {"I#", "IH"},
        {"i", "IY"}, {"i:", "IY"}, {"i@", "IH R"}, {"i@3", "IH R"}, {"0", "AA"}, {"O", "AO"}, {"O:", "AO"},
        {"O@", "AO R"}, {"o@", "AO R"}, {"OI", "OY"}, {"oU", "OW"}, {"o", "OW"}, {"U", "UH"}, {"U@", "UH R"},
        {"u:", "UW"}, {"u", "UW"}, {"aI", "AY"}, {"aI@", "AY ER"}, {"aI3", "AY ER"}, {"aU", "AW"},
        {"aU@", "AW ER"}, {"V", "AH"}, {"IR", "IH R"}, {"VR", "ER"}, {"ju:", "Y UW"},
    };
    return t;
}
}

QString fromEspeak(const QString &espeakPhonemes)
{
    QString s = espeakPhonemes;
    for (QChar drop : {QLatin1Char('\''), QLatin1Char(','), QLatin1Char('%'), QLatin1Char('='),
                       QLatin1Char(':'), QLatin1Char('_')}) {
        if (drop == QLatin1Char(':'))
            continue;   // length marks belong to the phoneme ("i:")
        s.remove(drop);
    }
    QStringList out;
    const QStringList pieces = s.split(QRegularExpression(QStringLiteral("[|\\s]+")), Qt::SkipEmptyParts);
    for (const QString &piece : pieces) {
        // Without separators, take the longest mnemonic at each place.
        int i = 0;
        while (i < piece.size()) {
            int len = qMin(3, int(piece.size()) - i);
            for (; len > 0; --len)
                if (table().contains(piece.mid(i, len)))
                    break;
            if (len == 0) {
                ++i;   // an unknown mark: skipped
                continue;
            }
            const QString phones = table().value(piece.mid(i, len));
            if (!phones.isEmpty())
                out.append(phones);
            i += len;
        }
    }
    return out.join(QLatin1Char(' '));
}

}
