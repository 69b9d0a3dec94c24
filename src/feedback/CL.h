#pragma once
#include "trellis/Record.h"
#include <QString>
#include <QUrl>
#include <memory>
#include <optional>

class QNetworkAccessManager;

/// Sends one feedback document to the maker's web service: the fields as an XML document,
/// zipped, base64 encoded and posted form-encoded to the configured feedback endpoint.
/// Send waits for the answer in a nested event loop (events keep running; no polling) and
/// gives up after the time limit.
/// Thread: the thread that created it, which must run an event loop.
class CL
{
public:
    /// How long Send waits for the service's answer.
    static constexpr int DefaultTimeLimitMs = 20000;
    /// ErrorText when the service did not answer within the limit.
    static inline const QString TimedOutText = QStringLiteral("Cannot send. ");

    CL();
    ~CL();
    CL(const CL &) = delete;
    CL &operator=(const CL &) = delete;

    /// Fixes the endpoint; without it the service configuration's "feedbackEndpoint" is
    /// read on each Send.
    void setEndpoint(const QUrl &endpoint) { m_endpoint = endpoint; }
    /// The endpoint Send would use; an invalid URL when none (or no http/https one) is set.
    QUrl Endpoint() const;
    bool EndpointConfigured() const { return Endpoint().isValid(); }

    void setTimeLimitMs(int ms) { m_timeLimitMs = ms; }
    int timeLimitMs() const { return m_timeLimitMs; }
    /// The folder of the XML and zip files (default: the cache folder).
    void setWorkDir(const QString &dir) { m_workDir = dir; }
    QString workDir() const;

    /// Sends `fields` (one property per field, in order) under `category`. `sent` tells
    /// whether the service took it; otherwise `errorText` says why (the status text of a
    /// refusal, TimedOutText after the time limit, or the local or network failure).
    /// The working files are removed before it returns.
    void Send(const QString &category, const Record &fields, QString &errorText, bool &sent);
    /// Writes the archive Send would post (the zipped XML document) to `zipPath`, for the
    /// user to pass on when nothing can be sent. False with `errorText` set on failure.
    bool SaveArchive(const QString &category, const Record &fields, const QString &zipPath, QString &errorText);

    /// The XML document for one sending: one line, every text escaped.
    static QString BuildDocument(const QString &category, const QString &id, const Record &fields);
    /// "&" "\"" "<" ">" "'" as entities; characters XML cannot carry become U+FFFD.
    static QString XmlEscape(const QString &text);
    /// Escapes only "+", CR, LF and "\" (enough for base64 text and the subject).
    static QString UrlEncode(const QString &text);
    /// A new GUID in braces: 8-4-4-4-12 upper-case hexadecimal digits.
    static QString NewGuidText();
    /// True for the statuses that mean the service took the document (200, 206, 302, 304).
    static bool IsSuccessStatus(int status);

private:
    /// The zipped document of `fields` at `zipPath`; its XML file is made in the working folder
    /// and removed again.
    bool WriteArchive(const QString &category, const Record &fields, const QString &zipPath, QString &errorText,
                      QString &id);
    bool Post(const QByteArray &body, const QUrl &url, QString &errorText);

    std::optional<QUrl> m_endpoint;
    int m_timeLimitMs = DefaultTimeLimitMs;
    QString m_workDir;
    std::unique_ptr<QNetworkAccessManager> m_network;
};
