#include "PackageBuilder.h"

#include <QFile>

#include <zip.h>

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
