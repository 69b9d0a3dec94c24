#include "MsgContent.h"
#include "Database.h"
#include "trellis/MUError.h"
#include <limits>
#include <zlib.h>

namespace {
/// Preset dictionary of the Deflated form: pieces common to mail (header names and values,
/// MIME and HTML boilerplate, frequent English words), the most frequent last so that they
/// are the nearest matches. A message of a few kilobytes repeats little of itself; most of
/// what deflate finds there is in here. Never change it: stored rows depend on every byte.
const char kDictionary[] =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" \"http://www.w3.org/TR/xhtml1/DTD/"
    "xhtml1-transitional.dtd\"><html xmlns=3D\"http://www.w3.org/1999/xhtml\"><head><meta http-equiv=3D"
    "\"Content-Type\" content=3D\"text/html; charset=3Dutf-8\"><meta name=3D\"viewport\" content=3D\"width="
    "3Ddevice-width, initial-scale=3D1.0\"><title></title><style type=3D\"text/css\">body { margin: 0; "
    "padding: 0; }</style></head><body><table width=3D\"100%\" cellpadding=3D\"0\" cellspacing=3D\"0\" "
    "border=3D\"0\" align=3D\"center\"><tr><td align=3D\"left\" valign=3D\"top\" style=3D\"font-family: "
    "Arial, Helvetica, sans-serif; font-size: 14px; line-height: 20px; color: #333333;\"><div dir=3D\"ltr\">"
    "<p style=3D\"margin: 0;\"><span style=3D\"font-size:12px\"><a href=3D\"https://www.\" target=3D\"_blank\">"
    "<img src=3D\"https://\" alt=3D\"\" width=3D\"\" height=3D\"\" border=3D\"0\"></a></span></p><br></div>"
    "</td></tr></table></body></html>\r\n"
    "This message was sent to you because you subscribed. To unsubscribe, click here. View this email in "
    "your browser. Privacy Policy | Terms of Use | Contact Us. All rights reserved.\r\n"
    "On Mon, Tue, Wed, Thu, Fri, Sat, Sun, Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec 2026 at wrote:\r\n"
    "> Hello, Hi, Dear Thank you for your message. Please let me know if you have any questions. I would "
    "like to Could you please send me the We will be happy to help. Looking forward to hearing from you. "
    "Best regards, Kind regards, Many thanks, Cheers, Sent from my phone\r\n"
    "the of and to in is it that was for on are with as his they be at one have this from or had by not "
    "but what some we can out other were all there when up use your how said an each she which do their "
    "time if will way about many then them would write like so these her long make thing see him two has "
    "look more day could go come did my no most who over know than call first people may down been now "
    "find any new work part take get place made live where after back little only round man year came "
    "show every good me give our under name very through just form much great think say help low line "
    "before turn cause same mean differ move right boy old too does tell set three want air well also "
    "play small end put home read hand port large spell add even land here must big high such follow "
    "act why ask men change went light kind off need house picture try us again animal point mother "
    "world near build self earth father meeting attached please find the attached document report "
    "invoice order account password update information service customer support team company project\r\n"
    "Content-Disposition: attachment; filename=\"\r\n"
    "Content-Disposition: inline\r\n"
    "Content-Type: application/pdf; name=\"\r\n"
    "Content-Type: image/jpeg; name=\"\r\n"
    "Content-Type: application/octet-stream; name=\"\r\n"
    "X-Mailer: Microsoft Outlook 16.0\r\nUser-Agent: Mozilla/5.0 Thunderbird/115.0\r\n"
    "X-Originating-IP: [\r\nX-Spam-Status: No, score=-0.1 required=5.0 tests=DKIM_SIGNED,DKIM_VALID,"
    "DKIM_VALID_AU,SPF_PASS autolearn=ham\r\nX-Spam-Flag: NO\r\nX-Priority: 3\r\nPrecedence: bulk\r\n"
    "List-Unsubscribe: <mailto:unsubscribe@\r\nList-Unsubscribe-Post: List-Unsubscribe=One-Click\r\n"
    "List-Id: <\r\nAuto-Submitted: auto-generated\r\nThread-Topic: Thread-Index: \r\n"
    "Reply-To: \r\nCc: \r\nIn-Reply-To: <\r\nReferences: <\r\n"
    "ARC-Seal: i=1; a=rsa-sha256; t=; cv=none; d=; s=arc-20160816; b=\r\n"
    "ARC-Message-Signature: i=1; a=rsa-sha256; c=relaxed/relaxed; d=; s=arc-20160816;\r\n"
    "ARC-Authentication-Results: i=1; mx.google.com;\r\n"
    "Authentication-Results: mx.; dkim=pass header.i=@ header.s= header.b=; spf=pass (domain of designates "
    "as permitted sender) smtp.mailfrom=; dmarc=pass (p=NONE sp=NONE dis=NONE) header.from=\r\n"
    "Received-SPF: pass (domain of designates as permitted sender) client-ip=;\r\n"
    "X-Received: by with SMTP id\r\n"
    "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=; s=selector1; t=;\r\n"
    "\th=from:to:subject:date:message-id:mime-version:content-type:reply-to; bh=; b=\r\n"
    "Return-Path: <\r\n"
    "Delivered-To: \r\n"
    "Received: from localhost (localhost [127.0.0.1])\r\n\tby (Postfix) with ESMTP id\r\n"
    "Received: from mail. (mail. [])\r\n\t(using TLSv1.3 with cipher TLS_AES_256_GCM_SHA384 (256/256 bits)"
    "\r\n\t key-exchange X25519 server-signature RSA-PSS (2048 bits))\r\n\t(No client certificate requested)"
    "\r\n\tby mx. (Postfix) with ESMTPS id\r\n\tfor <; Mon, Tue, Wed, Thu, Fri, Sat, Sun, +0000 (UTC)\r\n"
    "Message-ID: <@mail.gmail.com>\r\n"
    "Date: \r\nFrom: \r\nTo: \r\nSubject: Re: Fwd: \r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/related; boundary=\"\r\n"
    "Content-Type: multipart/mixed; boundary=\"\r\n"
    "Content-Type: multipart/alternative; boundary=\"\r\n"
    "Content-Type: text/html; charset=\"UTF-8\"\r\n"
    "Content-Type: text/plain; charset=\"UTF-8\"; format=flowed\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "Content-Transfer-Encoding: 7bit\r\n"
    "Content-Transfer-Encoding: 8bit\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n";

/// Tag, then the text's length (4 octets, little-endian), then the raw deflate stream.
constexpr int kDeflatedHeader = 5;

QByteArray deflated(const QByteArray &octets)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    deflateSetDictionary(&stream, reinterpret_cast<const Bytef *>(kDictionary), uInt(sizeof kDictionary - 1));
    QByteArray out(kDeflatedHeader + qsizetype(deflateBound(&stream, uLong(octets.size()))), Qt::Uninitialized);
    const quint32 size = quint32(octets.size());
    out[0] = MsgContent::Deflated;
    for (int i = 0; i < 4; ++i)
        out[1 + i] = char((size >> (8 * i)) & 0xFF);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(octets.constData()));
    stream.avail_in = uInt(octets.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data() + kDeflatedHeader);
    stream.avail_out = uInt(out.size() - kDeflatedHeader);
    const int status = deflate(&stream, Z_FINISH);
    const qsizetype written = kDeflatedHeader + qsizetype(stream.total_out);
    deflateEnd(&stream);
    if (status != Z_STREAM_END)
        return {};
    out.truncate(written);
    return out;
}

MUError damaged(const QString &source, const QString &why)
{
    return MUError(MUError::Fail, QStringLiteral("A stored message text is damaged (%1).").arg(why), source);
}

QByteArray inflated(const QByteArray &packed, const QString &source)
{
    if (packed.size() < kDeflatedHeader)
        throw damaged(source, QStringLiteral("it is cut short"));
    quint32 size = 0;
    for (int i = 0; i < 4; ++i)
        size |= quint32(uchar(packed.at(1 + i))) << (8 * i);
    // Deflate expands at most 1032 times: a larger length is damage, not a text to make room for.
    if (size > quint32(std::numeric_limits<int>::max()) || qint64(size) > qint64(packed.size() - kDeflatedHeader) * 1032 + 8)
        throw damaged(source, QStringLiteral("its length is out of range"));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK)
        throw damaged(source, QStringLiteral("inflate cannot start"));
    inflateSetDictionary(&stream, reinterpret_cast<const Bytef *>(kDictionary), uInt(sizeof kDictionary - 1));
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.constData() + kDeflatedHeader));
    stream.avail_in = uInt(packed.size() - kDeflatedHeader);
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    int status = inflate(&stream, Z_FINISH);
    // A stream of an empty text ends without asking for output room.
    const bool complete = status == Z_STREAM_END && stream.total_out == size && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!complete)
        throw damaged(source, QStringLiteral("its deflate stream does not give its %1 octets").arg(size));
    return out;
}
}

bool MsgContent::packable(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            return false;
    }
    return true;
}

QVariant MsgContent::pack(const QString &text)
{
    if (!packable(text))
        return Database::bindText(text);
    QByteArray octets = text.toLatin1();
    QByteArray packed = deflated(octets);
    if (!packed.isEmpty() && packed.size() < octets.size() + 1)
        return packed;
    octets.prepend(char(Octets));
    return octets;
}

QString MsgContent::unpack(const QVariant &stored, const QString &source)
{
    if (stored.typeId() == QMetaType::QByteArray) {
        const QByteArray bytes = stored.toByteArray();
        if (!bytes.isEmpty() && bytes.at(0) == Octets)
            return QString::fromLatin1(bytes.constData() + 1, bytes.size() - 1);
        if (!bytes.isEmpty() && bytes.at(0) == Deflated)
            return QString::fromLatin1(inflated(bytes, source));
    }
    return Database::readText(stored);
}
