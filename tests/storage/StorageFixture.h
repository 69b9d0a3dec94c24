#pragma once
// Helpers shared by the storage tests: a fresh home folder and the built template.
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>
#include <initializer_list>

namespace StorageFixture {
/// The template that the build made (build/lib/MU.tdb).
inline QString templatePath()
{
    return qEnvironmentVariable("MURMELO_BUILD_DIR") + QStringLiteral("/lib/MU.tdb");
}

/// A text made of exactly these code units (U+0000 and lone surrogates included).
inline QString units(std::initializer_list<QChar> codeUnits)
{
    return QString(codeUnits.begin(), qsizetype(codeUnits.size()));
}
}
