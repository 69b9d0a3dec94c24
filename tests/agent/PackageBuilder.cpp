#include "PackageBuilder.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sndfile.h>
#include <zip.h>

#include <cmath>

#include <cstdlib>
#include <cstring>

bool PackageBuilder::WriteZip(const QString &file, const QList<QPair<QString, QByteArray>> &entries)
{
    int err = 0;
    zip_t *zip = zip_open(QFile::encodeName(file).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!zip)
        return false;
    for (const auto &e : entries) {
        void *copy = std::malloc(size_t(e.second.size()) + 1);
        std::memcpy(copy, e.second.constData(), size_t(e.second.size()));
        zip_source_t *src = zip_source_buffer(zip, copy, zip_uint64_t(e.second.size()), 1);
        if (!src || zip_file_add(zip, e.first.toUtf8().constData(), src, ZIP_FL_ENC_UTF_8) < 0) {
            zip_discard(zip);
            return false;
        }
    }
    return zip_close(zip) == 0;
}

QByteArray PackageBuilder::Svg(const QString &colour)
{
    return QStringLiteral("<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" "
                          "height=\"120\" viewBox=\"0 0 100 120\"><circle cx=\"50\" cy=\"60\" r=\"40\" "
                          "fill=\"%1\"/></svg>\n")
        .arg(colour)
        .toUtf8();
}

QByteArray PackageBuilder::MinimalJson()
{
    return R"({
 "format": 1, "name": "Tiny", "width": 100, "height": 120, "extraData": "Hi~~Hello^^x",
 "animations": {
  "RestPose": { "frames": [ { "image": "a.svg", "duration": 1000 } ] },
  "Show": { "frames": [ { "image": "a.svg", "duration": 50 }, { "image": "./a.svg" } ], "return": "RestPose" },
  "Hide": { "frames": [ { "image": "a.svg", "duration": 50 } ] }
 },
 "speaking": { "base": "a.svg", "mouth": { "x": 40, "y": 70, "width": 20, "height": 10 },
               "shapes": { "closed": "m.svg", "open": "m.svg" } }
})";
}

QString PackageBuilder::Character(const QString &folder, const QString &name)
{
    QList<QPair<QString, QByteArray>> entries;
    QJsonObject animations;
    auto anim = [&](const QString &anim, int frames, const QString &ret = {}) {
        QJsonArray list;
        for (int i = 0; i < frames; ++i) {
            const QString image = QStringLiteral("%1-%2.svg").arg(anim.toLower()).arg(i);
            entries.append({image, Svg(i % 2 ? QStringLiteral("#3060c0") : QStringLiteral("#c06030"))});
            list.append(QJsonObject{{"image", image}, {"duration", 50}});
        }
        QJsonObject a{{"frames", list}, {"loop", false}};
        if (!ret.isEmpty())
            a.insert("return", ret);
        animations.insert(anim, a);
    };
    anim(QStringLiteral("RestPose"), 1);
    anim(QStringLiteral("Show"), 4);
    anim(QStringLiteral("Hide"), 4);
    anim(QStringLiteral("Wave"), 3, QStringLiteral("RestPose"));
    anim(QStringLiteral("Idle1"), 2);
    anim(QStringLiteral("Blink"), 2);
    QJsonObject shapes;
    for (const char *s : {"closed", "small", "open", "wide", "round"}) {
        const QString image = QStringLiteral("mouth-%1.svg").arg(QLatin1String(s));
        entries.append({image, Svg(QStringLiteral("#000000"))});
        shapes.insert(QLatin1String(s), image);
    }
    entries.append({QStringLiteral("speak.svg"), Svg(QStringLiteral("#808080"))});
    const QJsonObject json{
        {"format", 1}, {"name", name}, {"width", 100}, {"height", 120}, {"extraData", "Hi~~Hello^^more"},
        {"voice", QJsonObject{{"espeak", "en-us"}, {"pitch", 50}, {"speed", 175}}},
        {"animations", animations},
        {"speaking", QJsonObject{{"base", "speak.svg"},
                                 {"mouth", QJsonObject{{"x", 40}, {"y", 70}, {"width", 20}, {"height", 10}}},
                                 {"shapes", shapes}}},
    };
    entries.prepend({QStringLiteral("character.json"), QJsonDocument(json).toJson()});
    const QString file = folder + QLatin1Char('/') + name + QStringLiteral(".acs");
    return WriteZip(file, entries) ? file : QString();
}

bool PackageBuilder::WriteWav(const QString &file, const QByteArray &pcm, int rate, int channels)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(QFile::encodeName(file).constData(), SFM_WRITE, &info);
    if (!f)
        return false;
    const sf_count_t samples = pcm.size() / 2;
    const bool ok = sf_write_short(f, reinterpret_cast<const short *>(pcm.constData()), samples) == samples;
    return sf_close(f) == 0 && ok;
}

QByteArray PackageBuilder::Tone(int ms, int rate, int channels)
{
    const qint64 frames = qint64(rate) * ms / 1000;
    QByteArray pcm(frames * channels * 2, Qt::Uninitialized);
    auto *s = reinterpret_cast<qint16 *>(pcm.data());
    for (qint64 i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            s[i * channels + c] = qint16(8000 * std::sin(2 * M_PI * 440 * double(i) / rate));
    return pcm;
}
