#include "FeedbackPayload.h"
#include <QXmlStreamReader>
#include <zip.h>

namespace {

/// application/x-www-form-urlencoded decoding: "+" is a space, %XX a byte.
QByteArray formDecode(QByteArray value)
{
    value.replace('+', ' ');
    return QByteArray::fromPercentEncoding(value);
}

bool unzip(const QByteArray &data, FeedbackPayload &out)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *source = zip_source_buffer_create(data.constData(), zip_uint64_t(data.size()), 0, &error);
    zip_t *archive = source ? zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error) : nullptr;
    if (!archive) {
        out.error = QStringLiteral("not a zip archive: %1").arg(QString::fromUtf8(zip_error_strerror(&error)));
        zip_source_free(source);
        zip_error_fini(&error);
        return false;
    }
    zip_error_fini(&error);
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i)
        out.archiveEntries.append(QString::fromUtf8(zip_get_name(archive, zip_uint64_t(i), 0)));
    // The document is the first entry.
    zip_stat_t st;
    zip_stat_init(&st);
    zip_stat_index(archive, 0, 0, &st);
    zip_file_t *file = count > 0 ? zip_fopen_index(archive, 0, 0) : nullptr;
    QByteArray content(qsizetype(st.size), '\0');
    const bool read = file && zip_fread(file, content.data(), st.size) == zip_int64_t(st.size);
    if (file)
        zip_fclose(file);
    zip_close(archive);
    if (!read)
        out.error = QStringLiteral("cannot read the document");
    out.xml = content;
    return read;
}

bool parseXml(FeedbackPayload &out)
{
    QXmlStreamReader reader(out.xml);
    if (!reader.readNextStartElement() || reader.name() != QLatin1String("xml")) {
        out.error = QStringLiteral("no <xml> root");
        return false;
    }
    while (reader.readNextStartElement()) {
        const QString name = reader.name().toString();
        const QString text = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
        if (name == QLatin1String("cat"))
            out.category = text;
        else if (name == QLatin1String("id"))
            out.id = text;
        else
            out.fields.append({name, text});
    }
    if (reader.hasError()) {
        out.error = QStringLiteral("XML: %1").arg(reader.errorString());
        return false;
    }
    return true;
}

}

FeedbackPayload FeedbackPayload::Decode(const QByteArray &body)
{
    FeedbackPayload out;
    QByteArray value;
    bool haveValue = false;
    const QList<QByteArray> pairs = body.split('&');
    for (const QByteArray &pair : pairs) {
        const qsizetype eq = pair.indexOf('=');
        const QByteArray key = formDecode(eq < 0 ? pair : pair.left(eq));
        const QByteArray v = eq < 0 ? QByteArray() : formDecode(pair.mid(eq + 1));
        if (key == "subject") {
            out.subject = QString::fromUtf8(v);
        } else if (key == "value") {
            value = v;
            haveValue = true;
        }
    }
    if (!haveValue) {
        out.error = QStringLiteral("no value field");
        return out;
    }
    const auto decoded = QByteArray::fromBase64Encoding(value, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        out.error = QStringLiteral("value is not base64");
        return out;
    }
    if (!unzip(*decoded, out))
        return out;
    parseXml(out);
    return out;
}

QString FeedbackPayload::field(const QString &name) const
{
    for (const auto &f : fields) {
        if (f.first == name)
            return f.second;
    }
    return {};
}

QStringList FeedbackPayload::fieldNames() const
{
    QStringList names;
    for (const auto &f : fields)
        names.append(f.first);
    return names;
}
