#include "cZip.h"
#include <QFile>
#include <QFileInfo>
#include <zip.h>

namespace {

QString libzipText(zip_error_t *error)
{
    return QString::fromLocal8Bit(zip_error_strerror(error));
}

}

bool cZip::Create(const QString &zipPath, const QString &filePath, QString &error, const QString &entryName)
{
    error.clear();
    const QFileInfo source(filePath);
    if (!source.isFile()) {
        error = QStringLiteral("File '%1' not found. ").arg(filePath);
        return false;
    }
    const QString name = entryName.isEmpty() ? source.fileName() : entryName;

    int code = 0;
    zip_t *archive = zip_open(QFile::encodeName(zipPath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!archive) {
        zip_error_t e;
        zip_error_init_with_code(&e, code);
        error = QStringLiteral("Cannot create archive '%1': %2").arg(zipPath, libzipText(&e));
        zip_error_fini(&e);
        return false;
    }
    // The source reads the file when the archive is written, at zip_close.
    zip_source_t *data = zip_source_file(archive, QFile::encodeName(filePath).constData(), 0, -1); // -1: to the end
    if (!data) {
        error = QStringLiteral("Cannot read '%1': %2").arg(filePath, libzipText(zip_get_error(archive)));
        zip_discard(archive);
        return false;
    }
    if (zip_file_add(archive, name.toUtf8().constData(), data, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) < 0) {
        error = QStringLiteral("Cannot add '%1': %2").arg(name, libzipText(zip_get_error(archive)));
        zip_source_free(data);
        zip_discard(archive);
        return false;
    }
    if (zip_close(archive) != 0) {
        error = QStringLiteral("Cannot write archive '%1': %2").arg(zipPath, libzipText(zip_get_error(archive)));
        zip_discard(archive);
        QFile::remove(zipPath);
        return false;
    }
    return true;
}
