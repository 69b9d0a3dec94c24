// libFuzzer target: the IMAP framer and parser on arbitrary byte streams cut into arbitrary
// chunks, and the command writer on arbitrary strings. The first byte chooses how the rest is
// cut; whatever the cuts, the framer must give the same responses as for one piece, every
// response must parse without a crash, and a string the writer quoted or made a literal of
// must read back as exactly the same bytes.
#include "FuzzTargets.h"
#include "receive/imap/ImapProtocol.h"

#include <QByteArray>
#include <QList>


namespace {

constexpr qsizetype Limit = 4096;

QList<QByteArray> frameAll(Imap::Framer &framer)
{
    QList<QByteArray> out;
    while (auto r = framer.next())
        out.append(*r);
    return out;
}

} // namespace

int Fuzz::ImapProtocol(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned cutSeed = data[0];
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    Imap::Framer whole(Limit);
    whole.feed(stream);
    const QList<QByteArray> wholeResponses = frameAll(whole);

    Imap::Framer chunked(Limit);
    QList<QByteArray> chunkedResponses;
    qsizetype pos = 0;
    unsigned state = cutSeed * 2654435761u + 1;
    while (pos < stream.size()) {
        state = state * 1103515245u + 12345u;
        const qsizetype len = qMin<qsizetype>(stream.size() - pos, 1 + (state >> 16) % 23);
        chunked.feed(QByteArrayView(stream).sliced(pos, len));
        chunkedResponses += frameAll(chunked);
        Fuzz::check(chunked.pendingBytes() <= Limit + 23);
        pos += len;
    }
    Fuzz::check(whole.failed() == chunked.failed());
    if (!whole.failed())
        Fuzz::check(wholeResponses == chunkedResponses);

    qsizetype used = 0;
    for (const QByteArray &r : wholeResponses) {
        Fuzz::check(r.size() <= Limit + 2);
        Fuzz::check(stream.mid(used, r.size()) == r);
        used += r.size();
        const Imap::Response parsed = Imap::Parse(r);
        if (parsed.type == Imap::Response::Type::Invalid)
            Fuzz::check(!parsed.error.isEmpty());
    }

    // The writer: any bytes as a string argument come back unchanged.
    const Imap::Command c = Imap::CommandBuilder("*").atom("X").string(stream.left(600)).build(true);
    Fuzz::check(c.parts.size() == 1);
    const Imap::Response back = Imap::Parse(c.parts.first());
    Fuzz::check(back.type == Imap::Response::Type::Untagged && back.values.size() == 1);
    const Imap::Value &v = back.values.first();
    if (v.kind == Imap::Value::Kind::Nil)
        Fuzz::check(Imap::SameWord(stream.left(600), "NIL"));
    else
        Fuzz::check(v.kind != Imap::Value::Kind::List && v.text == stream.left(600));
    return 0;
}

MURMELO_FUZZ_ENTRY(Fuzz::ImapProtocol)
