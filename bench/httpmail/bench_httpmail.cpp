// Peak memory of reading one HTTPMail message list whose subject elements nest DEPTH
// deep around TEXT bytes of text (a hostile server's answer), and of an ordinary list
// of the same size for comparison.
//
//   bench-httpmail [DEPTH [TEXT_BYTES]]     defaults: 1000 and 200000
//
// Prints the answer's size, the resident set before and the peak after parsing (from
// /proc/self/status), and what the parser made of it. Run one figure per process: the
// peak of an earlier parse would hide a later one.
#include "receive/CHotmail.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>

namespace {

qint64 statusKb(const char *field)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QByteArray nestedAnswer(int depth, qsizetype textBytes)
{
    QByteArray doc = "<?xml version='1.0' encoding='UTF-8'?><D:multistatus xmlns:D='DAV:' "
                     "xmlns:m='urn:schemas:mailheader:'><D:response><D:href>/inbox/MSG1.eml</D:href>"
                     "<D:propstat><D:prop>";
    for (int i = 0; i < depth; ++i)
        doc += "<m:subject>";
    doc += QByteArray(textBytes, 'x');
    for (int i = 0; i < depth; ++i)
        doc += "</m:subject>";
    doc += "</D:prop></D:propstat></D:response></D:multistatus>";
    return doc;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int depth = args.size() > 1 ? args.at(1).toInt() : 1000;
    const qsizetype text = args.size() > 2 ? args.at(2).toLongLong() : 200000;

    const QByteArray answer = nestedAnswer(depth, text);
    const qint64 before = statusKb("VmRSS");
    QElapsedTimer clock;
    clock.start();
    CHotmail::MailList list;
    QString error;
    const bool ok = CHotmail::ParseMailList(answer, list, &error);
    const qint64 ms = clock.elapsed();
    const qint64 peak = statusKb("VmHWM");

    std::printf("answer: depth %d, %lld bytes (%.1f KB)\n", depth, static_cast<long long>(answer.size()),
                answer.size() / 1024.0);
    std::printf("resident before parsing: %lld KB; peak: %lld KB (%.1f MB); growth %.1f MB, %.1f times the answer\n",
                static_cast<long long>(before), static_cast<long long>(peak), peak / 1024.0,
                (peak - before) / 1024.0, (peak - before) * 1024.0 / double(answer.size()));
    std::printf("parse: %s in %lld ms; %lld subjects listed\n",
                ok ? "accepted" : qPrintable(QStringLiteral("refused (") + error.trimmed() + QLatin1Char(')')),
                static_cast<long long>(ms), static_cast<long long>(list.subjects.size()));
    return 0;
}
