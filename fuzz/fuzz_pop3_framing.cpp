// libFuzzer target: the POP3 reply framing on arbitrary byte streams cut into arbitrary chunks.
// The first byte chooses single- or multi-line framing and how the rest is cut; whatever the
// cuts, the framed reply must be the same as when the bytes arrive in one piece.
#include "FuzzTargets.h"
#include "receive/Pop3ReplyFramer.h"

#include <QByteArray>

int Fuzz::Pop3Framing(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const bool multiLine = data[0] & 1;
    const unsigned cutSeed = data[0] >> 1;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    Pop3ReplyFramer whole;
    whole.begin(multiLine);
    const bool wholeDone = whole.feed(stream);

    Pop3ReplyFramer chunked;
    chunked.begin(multiLine);
    bool chunkedDone = false;
    qsizetype pos = 0;
    unsigned state = cutSeed * 2654435761u + 1;
    while (pos < stream.size()) {
        state = state * 1103515245u + 12345u;
        const qsizetype len = qMin<qsizetype>(stream.size() - pos, 1 + (state >> 16) % 17);
        chunkedDone = chunked.feed(QByteArrayView(stream).sliced(pos, len));
        pos += len;
    }

    Fuzz::check(wholeDone == chunkedDone);
    Fuzz::check(whole.isComplete() == chunked.isComplete());
    if (wholeDone) {
        Fuzz::check(whole.statusLine() == chunked.statusLine());
        Fuzz::check(whole.payload() == chunked.payload());
        Fuzz::check(whole.content() == chunked.content());
        Fuzz::check(whole.isPositive() == chunked.isPositive());
        Fuzz::check(!whole.endedLate());
        // Nothing is lost: what the reply used plus what followed it is the whole stream.
        Fuzz::check(whole.receivedBytes() + whole.surplus().size() == stream.size());
        Fuzz::check(chunked.receivedBytes() + chunked.surplus().size() == stream.size());
        Fuzz::check(stream.startsWith(whole.statusLine()));
        Fuzz::check(whole.payload().size() <= stream.size());
    }
    return 0;
}

MURMELO_FUZZ_ENTRY(Fuzz::Pop3Framing)
