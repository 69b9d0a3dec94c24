#include "TestCharacter.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <zip.h>

namespace TestCharacter {

namespace {
QByteArray svg(const QString &colour)
{
    return QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 100 120\" width=\"100\" height=\"120\">"
                          "<circle cx=\"50\" cy=\"60\" r=\"40\" fill=\"%1\"/></svg>")
        .arg(colour)
        .toUtf8();
}
}

QString buildZip(const QString &path, const QList<QPair<QString, QByteArray>> &entries)
{
    QFile::remove(path);
    int err = 0;
    zip_t *z = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!z)
        return {};
    // libzip reads the buffers at zip_close: keep them alive until then.
    QList<QByteArray> keep;
    for (const auto &[name, data] : entries) {
        keep.append(data);
        zip_source_t *src = zip_source_buffer(z, keep.last().constData(), zip_uint64_t(keep.last().size()), 0);
        zip_file_add(z, name.toUtf8().constData(), src, ZIP_FL_OVERWRITE);
    }
    if (zip_close(z) != 0) {
        zip_discard(z);
        return {};
    }
    return path;
}

QString build(const QString &folder, const QString &name, int frameMs, int showHideFrames)
{
    QList<QPair<QString, QByteArray>> entries;
    QJsonObject animations;
    auto anim = [&](const QString &anim, int frames, bool loop = false, const QString &ret = {}) {
        QJsonArray list;
        for (int i = 0; i < frames; ++i) {
            const QString image = QStringLiteral("%1-%2.svg").arg(anim.toLower()).arg(i);
            entries.append({image, svg(i % 2 ? QStringLiteral("#3060c0") : QStringLiteral("#c06030"))});
            list.append(QJsonObject{{"image", image}, {"duration", frameMs}});
        }
        QJsonObject a{{"frames", list}, {"loop", loop}};
        if (!ret.isEmpty())
            a.insert("return", ret);
        animations.insert(anim, a);
    };
    anim(QStringLiteral("RestPose"), 1);
    anim(QStringLiteral("Show"), showHideFrames);
    anim(QStringLiteral("Hide"), showHideFrames);
    anim(QStringLiteral("Wave"), 3, false, QStringLiteral("RestPose"));
    anim(QStringLiteral("Idle1"), 2);
    anim(QStringLiteral("Blink"), 2);
    QJsonObject shapes;
    for (const char *s : {"closed", "small", "open", "wide", "round"}) {
        const QString image = QStringLiteral("mouth-%1.svg").arg(QLatin1String(s));
        entries.append({image, svg(QStringLiteral("#000000"))});
        shapes.insert(QLatin1String(s), image);
    }
    entries.append({QStringLiteral("speak.svg"), svg(QStringLiteral("#808080"))});
    const QJsonObject json{
        {"format", 1},
        {"name", name},
        {"width", 100},
        {"height", 120},
        {"extraData", "Hi~~Hello^^more"},
        {"voice", QJsonObject{{"espeak", "en-us"}, {"pitch", 50}, {"speed", 175}}},
        {"animations", animations},
        {"speaking", QJsonObject{{"base", "speak.svg"},
                                 {"mouth", QJsonObject{{"x", 40}, {"y", 70}, {"width", 20}, {"height", 10}}},
                                 {"shapes", shapes}}},
    };
    entries.prepend({QStringLiteral("character.json"), QJsonDocument(json).toJson()});
    return buildZip(folder + QLatin1Char('/') + name + QStringLiteral(".acs"), entries);
}

}
