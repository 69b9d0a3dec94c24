#include "mime/CMIMEPart.h"
#include "mime/MParseMsg.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QString mailDir()
{
    const QByteArray source = qgetenv("MURMELO_SOURCE_DIR");
    return (source.isEmpty() ? QStringLiteral(MURMELO_TEST_SOURCE_DIR) : QString::fromLocal8Bit(source))
        + u"/tests/data/mail"_s;
}

QByteArray readSample(const QString &name)
{
    QFile file(mailDir() + u'/' + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read sample %s", qPrintable(file.fileName()));
    return file.readAll();
}

} // namespace

class TestMimeSamples : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void samplesUseWireLineEnds()
    {
        const QStringList files = QDir(mailDir()).entryList({u"*.eml"_s}, QDir::Files);
        QVERIFY(files.size() >= 6);
        for (const QString &name : files) {
            const QByteArray bytes = readSample(name);
            QVERIFY2(bytes.contains("\r\n\r\n"), qPrintable(name));
            QCOMPARE(ToWireLineEnds(bytes), bytes); // no lone LF anywhere
        }
    }

    void sample_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("subject");

        QTest::newRow("utf8-subject") << "utf8-subject.eml" << "<20240212081402.4711@mx.example.de>"
                                      << u"J\u00fcrgen M\u00fcller"_s << "Anna Schmidt"
                                      << "Mon, 12 Feb 2024 09:14:01 +0100" << u"Gr\u00fc\u00dfe aus K\u00f6ln"_s;
        QTest::newRow("reply-mixed") << "reply-mixed.eml" << "<4711.reply@mail.example.fr>" << "Claire Dubois"
                                     << "anna@example.org" << "Tue, 06 Jan 2004 10:20:30 +0100"
                                     << u"Re: R\u00e9union de demain 14h"_s;
        QTest::newRow("folded-header") << "folded-header.eml" << "\r\n<folded.1707933600@relay.example.net>"
                                       << "Newsletter of the Example Gardening Society"
                                       << "anna@example.org, bob@example.org" << "Wed, 14 Feb 2024 17:59:59 +0000"
                                       << u"Fr\u00fchjahrsputz im Garten: die zehn wichtigsten Arbeiten im M\u00e4rz"_s;
        QTest::newRow("no-message-id") << "no-message-id.eml" << "Fri, 02 Jan 2004 08:00:00 -0500" << "robot@old.example.com"
                                       << "anna@example.org" << "Fri, 02 Jan 2004 08:00:00 -0500" << "Nightly report";
        QTest::newRow("html-multipart") << "html-multipart.eml" << "<order-99812@shop.example.com>" << "Example Shop"
                                        << "Anna Schmidt" << "Thu, 15 Feb 2024 12:00:00 +0000"
                                        << "Your order 99812 has shipped";
        // Raw 8-bit headers in each charset: rawHeaderCharset in the parser suite.
        QTest::newRow("quota-warning-folded") << "quota-warning-folded.eml" << "<quota.1708484401@monitor.example.org>"
                                              << u"O'Brien, Dara \"DJ\""_s << "anna@example.org"
                                              << "Wed, 21 Feb 2024 03:00:01 +0000"
                                              << "Disk usage on /home exceeded 90% threshold";
    }
    void sample()
    {
        QFETCH(QString, file);
        QFETCH(QString, id);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, date);
        QFETCH(QString, subject);

        const QByteArray bytes = readSample(file);
        const QString text = QString::fromLatin1(bytes);
        CMIMEPart part;
        part.Init(text, false);
        QCOMPARE(part.Id(), id);
        QCOMPARE(part.from(), from);
        QCOMPARE(part.MsgTo(), to);
        QCOMPARE(part.SentDate(), date);
        QCOMPARE(part.Subject(), subject);
        QCOMPARE(part.TextPlain(), text);
        // Byte for byte: the content maps back to the exact bytes received.
        QCOMPARE(part.TextPlain().toLatin1(), bytes);
        QVERIFY(part.SentDateAsDate().isValid());

        CMIMEPart headerOnly;
        headerOnly.Init(text, true);
        QCOMPARE(headerOnly.Subject(), subject);
        QVERIFY(headerOnly.TextPlain().startsWith(u'\n'));
        // The text after the header; each further blank line comes back as CR LF CR LF.
        QString body = text.mid(text.indexOf(QLatin1String("\r\n\r")) + 3);
        body.replace(QLatin1String("\r\n\r"), QLatin1String("\r\n\r\n"));
        QCOMPARE(headerOnly.TextPlain(), body);

        // The summary is the same from the bytes as a disk file holds them, with LF line ends,
        // and counts the text as received.
        QByteArray disk = bytes;
        disk.replace("\r\n", "\n");
        for (const QByteArray &input : {bytes, disk}) {
            const QJsonObject summary = ParseSummary(input);
            const QJsonObject expected{{"Id", id}, {"From", from}, {"To", to}, {"Date", date}, {"Subject", subject},
                                       {"TextPlainLength", bytes.size()}};
            QCOMPARE(summary, expected);
        }
    }

    void summaryOfEmptyInput()
    {
        const QJsonObject expected{{"Id", ""}, {"From", ""}, {"To", ""}, {"Date", ""}, {"Subject", ""}, {"TextPlainLength", 0}};
        QCOMPARE(ParseSummary(QByteArray()), expected);
    }
};

QTEST_GUILESS_MAIN(TestMimeSamples)
#include "tst_mimesamples.moc"
