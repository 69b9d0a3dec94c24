#pragma once
#include "ScriptedHttpServer.h"
#include "TestHome.h"
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>

/// What the feedback service makes of a posted body, decoded the way a form-handling web
/// script does: form fields URL-decoded, "value" base64-decoded, the archive unzipped
/// (libzip) and the XML document parsed. `error` names the first step that failed.
struct FeedbackPayload
{
    QString subject;
    QStringList archiveEntries;
    QByteArray xml;            ///< the raw document, as zipped
    QString category;          ///< <cat>
    QString id;                ///< <id>
    QList<QPair<QString, QString>> fields; ///< the elements after <id>, in order
    QString error;

    static FeedbackPayload Decode(const QByteArray &body);
    QString field(const QString &name) const;
    QStringList fieldNames() const;
};

/// What both feedback suites send to: a throw-away home and the service, answering 200 OK.
struct FeedbackService
{
    FeedbackService() { server.setFallback({}); }
    bool start() { return home.isValid() && server.listen(); }
    QUrl endpoint() const { return QUrl(server.url("/php/ic.php")); }
    TestHome home;
    ScriptedHttpServer server;
};
