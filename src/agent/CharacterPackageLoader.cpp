#include "CharacterPackage.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QXmlStreamReader>

#include <zip.h>

#include <memory>

namespace {

// Limits that keep a hostile package from exhausting memory; the shipped ones are far below.
constexpr zip_uint64_t kMaxEntryBytes = 8u * 1024 * 1024;
constexpr zip_uint64_t kMaxTotalBytes = 96u * 1024 * 1024;
constexpr int kMaxFrameMs = 60000;
constexpr int kMaxOriginalSide = 4096;

const char *const kRequiredAnimations[] = {"RestPose", "Show", "Hide"};

struct ZipCloser
{
    void operator()(zip_t *z) const { zip_discard(z); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipCloser>;

QString zipErrorText(int code)
{
    zip_error_t ze;
    zip_error_init_with_code(&ze, code);
    const QString text = QString::fromUtf8(zip_error_strerror(&ze));
    zip_error_fini(&ze);
    return text;
}

/// Reads one entry by exact name. Returns false and sets `why` when it cannot.
bool readEntry(zip_t *zip, const QString &name, QByteArray &out, zip_uint64_t &total, QString &why)
{
    const QByteArray utf8 = name.toUtf8();
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat(zip, utf8.constData(), 0, &st) != 0) {
        why = QStringLiteral("'%1' is missing from the package").arg(name);
        return false;
    }
    if (!(st.valid & ZIP_STAT_SIZE) || st.size > kMaxEntryBytes) {
        why = QStringLiteral("'%1' is too large").arg(name);
        return false;
    }
    total += st.size;
    if (total > kMaxTotalBytes) {
        why = QStringLiteral("the package's contents are too large");
        return false;
    }
    zip_file_t *f = zip_fopen(zip, utf8.constData(), 0);
    if (!f) {
        why = QStringLiteral("'%1' cannot be opened: %2").arg(name, QString::fromUtf8(zip_strerror(zip)));
        return false;
    }
    out.resize(qsizetype(st.size));
    zip_int64_t got = 0;
    while (zip_uint64_t(got) < st.size) {
        const zip_int64_t n = zip_fread(f, out.data() + got, st.size - zip_uint64_t(got));
        if (n <= 0)
            break;
        got += n;
    }
    const bool ok = zip_uint64_t(got) == st.size;
    if (!ok)
        why = QStringLiteral("'%1' is damaged: %2").arg(name, QString::fromUtf8(zip_file_strerror(f)));
    zip_fclose(f);
    return ok;
}

/// True when the bytes are well-formed XML whose root element is <svg>.
bool isSvg(const QByteArray &bytes, QString &why)
{
    QXmlStreamReader xml(bytes);
    bool sawRoot = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && !sawRoot) {
            sawRoot = true;
            if (xml.name() != QLatin1String("svg")) {
                why = QStringLiteral("its root element is <%1>, not <svg>").arg(xml.name().toString());
                return false;
            }
        }
    }
    if (xml.hasError()) {
        why = QStringLiteral("it is not valid XML (line %1: %2)")
                  .arg(xml.lineNumber())
                  .arg(xml.errorString());
        return false;
    }
    if (!sawRoot) {
        why = QStringLiteral("it holds no <svg> element");
        return false;
    }
    return true;
}


class Reader
{
public:
    Reader(zip_t *zip, CharacterPackage &out) : m_zip(zip), m_out(out) {}

    bool image(const QString &raw, const QString &usedBy, QString &path, QString &why)
    {
        path = raw;
        if (!CharacterPackageLoader::NormalisePath(path)) {
            why = QStringLiteral("%1 names an invalid image path '%2'").arg(usedBy, raw);
            return false;
        }
        if (m_out.images.contains(path))
            return true;
        QByteArray bytes;
        QString reason;
        if (!readEntry(m_zip, path, bytes, m_total, reason)) {
            why = QStringLiteral("%1: frame %2").arg(usedBy, reason);
            return false;
        }
        if (!isSvg(bytes, reason)) {
            why = QStringLiteral("%1: frame '%2' is not SVG (%3)").arg(usedBy, path, reason);
            return false;
        }
        m_out.images.insert(path, bytes);
        return true;
    }

    zip_uint64_t &total() { return m_total; }

private:
    zip_t *m_zip;
    CharacterPackage &m_out;
    zip_uint64_t m_total = 0;
};

bool positiveInt(const QJsonValue &v, int max, int &out)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (d < 1 || d > max || d != double(int(d)))
        return false;
    out = int(d);
    return true;
}

bool loadImpl(const QString &file, CharacterPackage &out, QString &why)
{
    const QFileInfo info(file);
    if (!info.exists()) {
        why = QStringLiteral("not found");
        return false;
    }
    if (!info.isFile()) {
        why = QStringLiteral("not a file");
        return false;
    }

    int err = 0;
    ZipPtr zip(zip_open(QFile::encodeName(file).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &err));
    if (!zip) {
        if (err == ZIP_ER_NOZIP || err == ZIP_ER_INCONS)
            why = QStringLiteral("not a zip archive, so not a character package");
        else
            why = QStringLiteral("cannot be opened: %1").arg(zipErrorText(err));
        return false;
    }

    Reader reader(zip.get(), out);
    QByteArray json;
    QString reason;
    if (zip_name_locate(zip.get(), "character.json", 0) < 0) {
        why = QStringLiteral("character.json missing: a zip archive but not a character package");
        return false;
    }
    if (!readEntry(zip.get(), QStringLiteral("character.json"), json, reader.total(), reason)) {
        why = reason;
        return false;
    }
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &perr);
    if (perr.error != QJsonParseError::NoError) {
        why = QStringLiteral("character.json is not valid JSON (offset %1: %2)")
                  .arg(perr.offset)
                  .arg(perr.errorString());
        return false;
    }
    if (!doc.isObject()) {
        why = QStringLiteral("character.json does not hold an object");
        return false;
    }
    const QJsonObject root = doc.object();

    const QJsonValue format = root.value(QLatin1String("format"));
    if (!format.isUndefined() && format.toInt(-1) != 1) {
        why = QStringLiteral("character.json has format %1; only format 1 is understood")
                  .arg(format.toVariant().toString());
        return false;
    }

    out.name = root.value(QLatin1String("name")).toString().trimmed();
    if (out.name.isEmpty()) {
        why = QStringLiteral("character.json has no name");
        return false;
    }
    int w = 0, h = 0;
    if (!positiveInt(root.value(QLatin1String("width")), kMaxOriginalSide, w)
        || !positiveInt(root.value(QLatin1String("height")), kMaxOriginalSide, h)) {
        why = QStringLiteral("character.json lacks a valid width and height (1 to %1)").arg(kMaxOriginalSide);
        return false;
    }
    out.originalSize = QSize(w, h);
    out.extraData = root.value(QLatin1String("extraData")).toString();

    const QJsonObject voice = root.value(QLatin1String("voice")).toObject();
    out.voiceName = voice.value(QLatin1String("espeak")).toString();
    out.voicePitch = voice.value(QLatin1String("pitch")).toInt(-1);
    out.voiceSpeed = voice.value(QLatin1String("speed")).toInt(-1);

    const QJsonValue animsValue = root.value(QLatin1String("animations"));
    if (!animsValue.isObject() || animsValue.toObject().isEmpty()) {
        why = QStringLiteral("character.json has no animations");
        return false;
    }
    const QJsonObject anims = animsValue.toObject();
    for (auto it = anims.begin(); it != anims.end(); ++it) {
        const QString usedBy = QStringLiteral("animation '%1'").arg(it.key());
        const QJsonObject a = it.value().toObject();
        const QJsonArray frames = a.value(QLatin1String("frames")).toArray();
        if (it.key().trimmed().isEmpty() || frames.isEmpty()) {
            why = QStringLiteral("%1 has no frames").arg(usedBy);
            return false;
        }
        CharacterAnimation anim;
        anim.name = it.key();
        anim.loop = a.value(QLatin1String("loop")).toBool(false);
        anim.returnTo = a.value(QLatin1String("return")).toString();
        for (const QJsonValue &fv : frames) {
            const QJsonObject fo = fv.toObject();
            CharacterFrame frame;
            if (!reader.image(fo.value(QLatin1String("image")).toString(), usedBy, frame.image, why))
                return false;
            const QJsonValue d = fo.value(QLatin1String("duration"));
            if (!d.isUndefined() && !positiveInt(d, kMaxFrameMs, frame.durationMs)) {
                why = QStringLiteral("%1 has a frame with an invalid duration").arg(usedBy);
                return false;
            }
            anim.frames.append(frame);
        }
        out.animations.insert(anim.name, anim);
    }
    for (auto it = out.animations.cbegin(); it != out.animations.cend(); ++it) {
        if (!it->returnTo.isEmpty() && !out.animations.contains(it->returnTo)) {
            why = QStringLiteral("animation '%1' returns to '%2', which does not exist").arg(it.key(), it->returnTo);
            return false;
        }
    }
    for (const char *required : kRequiredAnimations) {
        if (!out.animations.contains(QLatin1String(required))) {
            why = QStringLiteral("the required animation '%1' is missing").arg(QLatin1String(required));
            return false;
        }
    }

    const QJsonValue speakingValue = root.value(QLatin1String("speaking"));
    if (speakingValue.isObject()) {
        const QJsonObject speaking = speakingValue.toObject();
        const QString usedBy = QStringLiteral("speaking");
        if (!reader.image(speaking.value(QLatin1String("base")).toString(), usedBy, out.speakingBase, why))
            return false;
        const QJsonObject mouth = speaking.value(QLatin1String("mouth")).toObject();
        const QRectF rect(mouth.value(QLatin1String("x")).toDouble(), mouth.value(QLatin1String("y")).toDouble(),
                          mouth.value(QLatin1String("width")).toDouble(),
                          mouth.value(QLatin1String("height")).toDouble());
        if (!rect.isValid() || rect.left() < 0 || rect.top() < 0 || rect.right() > w || rect.bottom() > h) {
            why = QStringLiteral("speaking: the mouth rectangle is missing or outside the frame");
            return false;
        }
        out.mouthRect = rect;
        const QJsonObject shapes = speaking.value(QLatin1String("shapes")).toObject();
        if (!shapes.contains(QLatin1String("closed"))) {
            why = QStringLiteral("speaking: the mouth shape 'closed' is missing");
            return false;
        }
        for (auto it = shapes.begin(); it != shapes.end(); ++it) {
            QString path;
            if (!reader.image(it.value().toString(), QStringLiteral("mouth shape '%1'").arg(it.key()), path, why))
                return false;
            out.mouthShapes.insert(it.key(), path);
        }
    } else if (!speakingValue.isUndefined()) {
        why = QStringLiteral("character.json: 'speaking' is not an object");
        return false;
    }
    return true;
}

} // namespace

bool CharacterPackageLoader::Load(const QString &file, CharacterPackage &out, QString &error)
{
    CharacterPackage loaded;
    loaded.file = file;
    QString why;
    if (!loadImpl(file, loaded, why)) {
        error = QStringLiteral("Character file \"%1\": %2").arg(file, why);
        return false;
    }
    out = std::move(loaded);
    error.clear();
    return true;
}

/// Paths in the package are relative; "./" prefixes are tolerated, ".." never.
bool CharacterPackageLoader::NormalisePath(QString &path)
{
    while (path.startsWith(QLatin1String("./")))
        path.remove(0, 2);
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1String("..")))
        return false;
    return true;
}
