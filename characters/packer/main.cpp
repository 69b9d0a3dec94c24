// murmelo-packchar: turns a character's source folder (character.json and SVG frames)
// into the zip package the agent loads, then loads the result to prove it is valid.
#include "agent/CharacterPackage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTextStream>

#include <zip.h>

namespace {

// A fixed time stamp keeps the packages byte-identical from build to build.
constexpr time_t kFixedMTime = 1704067200; // 2024-01-01T00:00:00Z

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

QStringList referencedImages(const QJsonObject &root)
{
    QStringList paths;
    QSet<QString> seen;
    auto add = [&](QString p) {
        // Stored as the loader looks them up, so one file is one entry; pack() names a path
        // the loader refuses.
        CharacterPackageLoader::NormalisePath(p);
        if (!p.isEmpty() && !seen.contains(p)) {
            seen.insert(p);
            paths.append(p);
        }
    };
    const QJsonObject anims = root.value(QLatin1String("animations")).toObject();
    for (auto it = anims.begin(); it != anims.end(); ++it) {
        const QJsonArray frames = it.value().toObject().value(QLatin1String("frames")).toArray();
        for (const QJsonValue &f : frames)
            add(f.toObject().value(QLatin1String("image")).toString());
    }
    const QJsonObject speaking = root.value(QLatin1String("speaking")).toObject();
    add(speaking.value(QLatin1String("base")).toString());
    const QJsonObject shapes = speaking.value(QLatin1String("shapes")).toObject();
    for (auto it = shapes.begin(); it != shapes.end(); ++it)
        add(it.value().toString());
    return paths;
}

bool addBytes(zip_t *zip, const QString &name, const QByteArray &bytes)
{
    // libzip reads the buffer when the archive is closed; it must own a copy.
    void *copy = malloc(size_t(bytes.size()) ? size_t(bytes.size()) : 1);
    if (!copy)
        return false;
    memcpy(copy, bytes.constData(), size_t(bytes.size()));
    zip_source_t *src = zip_source_buffer(zip, copy, zip_uint64_t(bytes.size()), 1);
    if (!src) {
        free(copy);
        return false;
    }
    const zip_int64_t idx = zip_file_add(zip, name.toUtf8().constData(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
    if (idx < 0) {
        zip_source_free(src);
        return false;
    }
    zip_set_file_compression(zip, zip_uint64_t(idx), ZIP_CM_DEFLATE, 9);
    zip_file_set_mtime(zip, zip_uint64_t(idx), kFixedMTime, 0);
    return true;
}

int pack(const QString &sourceDir, const QString &outFile)
{
    const QDir dir(sourceDir);
    QFile jsonFile(dir.filePath(QStringLiteral("character.json")));
    if (!jsonFile.open(QIODevice::ReadOnly)) {
        err() << "murmelo-packchar: cannot read " << jsonFile.fileName() << "\n";
        return 1;
    }
    const QByteArray json = jsonFile.readAll();
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &perr);
    if (!doc.isObject()) {
        err() << "murmelo-packchar: " << jsonFile.fileName() << " is not a JSON object: " << perr.errorString()
              << "\n";
        return 1;
    }

    const QString tmp = outFile + QStringLiteral(".tmp");
    QFile::remove(tmp);
    QDir().mkpath(QFileInfo(outFile).absolutePath());
    int zerr = 0;
    zip_t *zip = zip_open(QFile::encodeName(tmp).constData(), ZIP_CREATE | ZIP_TRUNCATE, &zerr);
    if (!zip) {
        err() << "murmelo-packchar: cannot create " << tmp << "\n";
        return 1;
    }
    bool ok = addBytes(zip, QStringLiteral("character.json"), json);
    for (const QString &image : referencedImages(doc.object())) {
        // The package may hold only files from the source folder.
        QString stored = image;
        if (!CharacterPackageLoader::NormalisePath(stored)) {
            err() << "murmelo-packchar: frame " << image << " named in character.json lies outside "
                  << sourceDir << "\n";
            ok = false;
            break;
        }
        QFile f(dir.filePath(image));
        if (!f.open(QIODevice::ReadOnly)) {
            err() << "murmelo-packchar: frame " << image << " named in character.json is missing in "
                  << sourceDir << "\n";
            ok = false;
            break;
        }
        ok = ok && addBytes(zip, image, f.readAll());
    }
    if (!ok) {
        zip_discard(zip);
        QFile::remove(tmp);
        return 1;
    }
    if (zip_close(zip) != 0) {
        err() << "murmelo-packchar: cannot write " << tmp << ": " << zip_strerror(zip) << "\n";
        zip_discard(zip);
        QFile::remove(tmp);
        return 1;
    }

    CharacterPackage package;
    QString why;
    if (!CharacterPackageLoader::Load(tmp, package, why)) {
        err() << "murmelo-packchar: the package does not load: " << why << "\n";
        QFile::remove(tmp);
        return 1;
    }
    QFile::remove(outFile);
    if (!QFile::rename(tmp, outFile)) {
        err() << "murmelo-packchar: cannot move the package to " << outFile << "\n";
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        err() << "usage: murmelo-packchar SOURCE-FOLDER OUTPUT.acs\n";
        return 2;
    }
    return pack(args.at(1), args.at(2));
}
