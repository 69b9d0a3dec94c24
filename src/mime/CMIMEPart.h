#pragma once
#include "mime/CMIMEParams.h"

#include <QDateTime>
#include <QString>

/// One parsed message: its header fields and the few fields Murmelo stores and speaks.
/// Lenient: Init never fails, malformed input gives empty or partial members. A value
/// type, usable on any thread.
class CMIMEPart
{
public:
    /// Parses `sPart`, the raw message with one character per byte (each byte mapped to
    /// the character of the same code) and CR LF line ends. With `headerOnly` the
    /// content keeps only the text after the header.
    void Init(const QString &sPart, bool headerOnly = false);
    /// Init for a whole message as a server hands it over: one with no blank line after its
    /// header (a subject-only note, a truncated message, a header sent alone) is read as a
    /// header, not as a body without one.
    void InitMessage(const QString &message, bool headerOnly = false);

    const CMIMEParams &Params() const { return m_params; }
    CMIMEParams &Params() { return m_params; }
    void setParams(const CMIMEParams &params) { m_params = params; }

    /// Message-ID, else Date, else the first Received value; raw text in the form stored
    /// so far (CMIMEParam::LegacyValue), so that known messages stay known.
    QString Id() const { return m_id; }
    void setId(const QString &id) { m_id = id; }
    /// Sender's display name (the address when it has none), decoded to Unicode; raw
    /// 8-bit text is read in the charset declared for the message's text.
    QString from() const { return m_from; }
    void setFrom(const QString &from) { m_from = from; }
    /// Recipient's display name, decoded to Unicode.
    QString MsgTo() const { return m_msgTo; }
    void setMsgTo(const QString &msgTo) { m_msgTo = msgTo; }
    /// The Date value, unfolded (raw text).
    QString SentDate() const { return m_sentDate; }
    void setSentDate(const QString &sentDate) { m_sentDate = sentDate; }
    /// Subject, decoded to Unicode.
    QString Subject() const { return m_subject; }
    void setSubject(const QString &subject) { m_subject = subject; }

    /// The whole input, or with headerOnly the text after the header (starting with LF).
    QString TextPlain() const { return m_textPlain; }
    /// SentDate read as "Weekday, DD Mon YYYY HH:MM:SS zone"; the zone is ignored, so the
    /// result is the wall-clock time as written (time spec UTC, no conversion). Invalid
    /// when even the date cannot be read.
    QDateTime SentDateAsDate() const;

    /// The Date conversion behind SentDateAsDate, for any text.
    static QDateTime DateFromText(const QString &text);

private:
    CMIMEParams m_params;
    QString m_id;
    QString m_from;
    QString m_msgTo;
    QString m_sentDate;
    QString m_subject;
    QString m_header;
    QString m_textPlain;
};
