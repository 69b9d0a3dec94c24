#include "MouthShapes.h"

namespace MouthShapes {

QString forPhoneme(const QString &ph)
{
    QString p = ph;
    p.remove(QLatin1Char('\'')).remove(QLatin1Char(',')).remove(QLatin1Char('%')).remove(QLatin1Char('='));
    if (p.isEmpty() || p.startsWith(QLatin1Char('_')))
        return QStringLiteral("closed");
    const QChar c = p.at(0);
    // Lips together.
    if (c == QLatin1Char('p') || c == QLatin1Char('b') || c == QLatin1Char('m'))
        return QStringLiteral("closed");
    // Rounded vowels and glides.
    if (p.startsWith(QLatin1String("u")) || p.startsWith(QLatin1String("U")) || p.startsWith(QLatin1String("O"))
        || p.startsWith(QLatin1String("o")) || p.startsWith(QLatin1String("w")) || p.startsWith(QLatin1String("aU")))
        return QStringLiteral("round");
    // Spread vowels.
    if (p.startsWith(QLatin1String("i")) || p.startsWith(QLatin1String("I")) || p.startsWith(QLatin1String("e"))
        || p.startsWith(QLatin1String("E")) || p.startsWith(QLatin1String("j")))
        return QStringLiteral("wide");
    // Open vowels.
    if (p.startsWith(QLatin1String("a")) || p.startsWith(QLatin1String("A")) || p.startsWith(QLatin1String("V"))
        || p.startsWith(QLatin1String("0")) || p.startsWith(QLatin1String("3")) || p.startsWith(QLatin1String("@")))
        return QStringLiteral("open");
    return QStringLiteral("small");
}

}
