#pragma once
// murmelo-cli run from outside, as a script runs it: shared by the CLI and keyring suites.
#include "DovecotFixture.h"
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStringList>
#include <functional>

struct CliResult
{
    int status = -1;
    QByteArray out;
    QByteArray err;
    /// One object per line of JSON output.
    QList<QJsonObject> json() const
    {
        QList<QJsonObject> objects;
        for (const QByteArray &line : out.split('\n'))
            if (!line.trimmed().isEmpty())
                objects << QJsonDocument::fromJson(line).object();
        return objects;
    }
    QJsonObject first() const { return json().value(0); }
};

inline QString cliProgram()
{
    return qEnvironmentVariable("MURMELO_BUILD_DIR") + QStringLiteral("/bin/murmelo-cli");
}

/// Runs murmelo-cli --home `home` `args`, feeding `input`; status -1 when it crashed or hung.
/// This thread's events are served meanwhile (servers living here answer it), and the started
/// process is handed to `whileRunning`.
inline CliResult runCli(const QString &home, const QStringList &args, const QByteArray &input = {},
                        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                        const std::function<void(QProcess &)> &whileRunning = {})
{
    QProcess p;
    p.setProcessEnvironment(env);
    QSignalSpy finished(&p, &QProcess::finished);
    p.start(cliProgram(), QStringList{QStringLiteral("--home"), home} + args);
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    if (whileRunning && p.waitForStarted(10000))
        whileRunning(p);
    if (p.state() != QProcess::NotRunning && finished.isEmpty() && !finished.wait(60000)) {
        p.kill();
        p.waitForFinished(5000);
        return {-1, p.readAllStandardOutput(), p.readAllStandardError()};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

/// The arguments that add the Dovecot's mailbox as a plain POP3 account (on `port`, else its POP3 port).
inline QStringList addDovecotAccount(const DovecotFixture &dovecot, quint16 port = 0)
{
    return {"--json", "accounts", "add", "--server", dovecot.host(), "--port", QString::number(port ? port : dovecot.port()),
            "--security", "none", "--user", dovecot.user(), "--password", dovecot.password()};
}

inline QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// Starts `dovecot` or skips the test saying why.
#define START_DOVECOT_OR_SKIP(dovecot)                                                                   \
    do {                                                                                                 \
        QString why_;                                                                                    \
        if (!(dovecot).start(&why_))                                                                     \
            QSKIP(qPrintable("Dovecot cannot start here: " + why_));                                     \
    } while (false)
