#pragma once
// Helpers shared by the storage tests: a fresh home folder and the built template.
#include "storage/Database.h"
#include "storage/SqlTransaction.h"
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

/// The message text of row `i` of olderDatabase(): mail-like octets of varied length (every
/// octet value occurs), and now and then an empty text, a text with characters beyond one
/// octet, or one that begins with a byte-order mark.
inline QString olderText(int i)
{
    if (i % 11 == 5)
        return QStringLiteral("");
    QString text = QStringLiteral("Subject: message %1\r\n\r\n").arg(i);
    const int lines = (i * 37) % 150;
    for (int line = 0; line < lines; ++line)
        text += QStringLiteral("Line %1 of message %2, the same words again and again.\r\n").arg(line).arg(i);
    for (int octet = 0; octet < 256; octet += 1 + i % 5)
        text += QChar(char16_t(octet));
    if (i % 7 == 3)
        text += QStringLiteral("Анна ") + QChar(0xD800);
    if (i % 13 == 6)
        text.prepend(QChar(0xFEFF));
    return text;
}

/// The Date header of row `i` of fillOlderForm(): a date, now and then one that is not.
inline QString olderDate(int i)
{
    return i % 17 == 9 ? QStringLiteral("not a date")
                       : QStringLiteral("Mon, %1 Nov 2026 %2:00:00 +0100").arg(1 + i % 28).arg(i % 24);
}

/// Adds `count` messages in the form versions before the packed message texts wrote them:
/// every Content a UTF-16 text value, no date key and no mark of a conversion; with
/// `beforeListColumns` also without the read mark and date key columns and their indexes.
/// Their POP3Id is "older-" and the row number.
inline void fillOlderForm(Database &db, int count, bool beforeListColumns = false)
{
    SqlTransaction transaction(db, QStringLiteral("fixture"));
    if (beforeListColumns) {
        for (const char *index : {"MsgDateKey", "MsgFromSort", "MsgSubjectSort", "MsgToSort"})
            db.run(QStringLiteral("DROP INDEX ") + QString::fromLatin1(index), {}, QStringLiteral("fixture")).finish();
        db.run(QStringLiteral("ALTER TABLE Msg DROP COLUMN IsRead"), {}, QStringLiteral("fixture")).finish();
        db.run(QStringLiteral("ALTER TABLE Msg DROP COLUMN DateKey"), {}, QStringLiteral("fixture")).finish();
    }
    for (int i = 0; i < count; ++i) {
        db.run(QStringLiteral("INSERT INTO Msg (pkMsg, Server, User, POP3Id, Subject, Date, Content) "
                              "VALUES (?, ?, ?, ?, ?, ?, ?)"),
               {QStringLiteral("{older-%1}").arg(i), QStringLiteral("pop.a"), QStringLiteral("ann"),
                QStringLiteral("older-%1").arg(i), QStringLiteral("Subject %1").arg(i), olderDate(i),
                Database::bindText(olderText(i))},
               QStringLiteral("fixture"))
            .finish();
    }
    // An older version kept no mark of converted texts.
    db.run(QStringLiteral("DELETE FROM Property WHERE Name = 'MsgContentPacked'"), {}, QStringLiteral("fixture")).finish();
    transaction.commit();
}
}
