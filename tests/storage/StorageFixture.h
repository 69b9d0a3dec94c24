#pragma once
// Helpers shared by the storage tests: builders of account and message records, a query of
// one value, and databases in the form older versions left.
#include "TestHome.h"
#include "storage/Database.h"
#include "storage/SqlTransaction.h"
#include "trellis/MUError.h"
#include "trellis/Record.h"
#include <QSqlQuery>
#include <QString>
#include <initializer_list>

namespace StorageFixture {
using namespace Qt::StringLiterals;

/// An account record of `server` and `user` (port 110, every column given).
inline Record account(const QString &server, const QString &user, const QString &pwd = u"secret"_s)
{
    Record r;
    r.Add(u"Server"_s, server);
    r.Add(u"Port"_s, 110);
    r.Add(u"User"_s, user);
    r.Add(u"Pwd"_s, pwd);
    r.Add(u"CheckInterval"_s, 10);
    r.Add(u"Disabled"_s, false);
    r.Add(u"Email"_s, user + u"@example.com"_s);
    return r;
}

/// A message record of `server` and `user` with every column; Subject "Hello ID", Content "Body of ID".
inline Record msg(const QString &pop3Id, const QString &server = u"pop.a"_s, const QString &user = u"ann"_s)
{
    Record r;
    r.Add(u"Server"_s, server);
    r.Add(u"User"_s, user);
    r.Add(u"POP3Id"_s, pop3Id);
    r.Add(u"From"_s, u"Bob"_s);
    r.Add(u"To"_s, u"Ann"_s);
    r.Add(u"Date"_s, u"Sat, 6 Dec 2026 10:00:00 +0100"_s);
    r.Add(u"Subject"_s, u"Hello "_s + pop3Id);
    r.Add(u"Content"_s, u"Body of "_s + pop3Id);
    return r;
}

/// `r` without the property `name`.
inline Record without(const Record &r, const QString &name)
{
    Record out;
    out.setId(r.Id());
    for (const QString &n : r.names())
        if (n != name)
            out.Add(n, r.Item(n));
    return out;
}

/// The first value of the first row of `sql`, or "<failed>".
inline QVariant scalar(Database &db, const QString &sql)
{
    QSqlQuery query(db.connection());
    if (!query.exec(sql) || !query.next())
        return u"<failed>"_s;
    return query.value(0);
}

/// The MUError that `f` raises; number 0 and "nothing raised" when it raises none.
template <typename F>
MUError raised(F &&f)
{
    try {
        f();
    } catch (const MUError &error) {
        return error;
    }
    return MUError(0, u"nothing raised"_s);
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
        for (const char *index : {"MsgDateKey", "MsgFromSort", "MsgSubjectOrder", "MsgToSort"})
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
