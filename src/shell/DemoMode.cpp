#include "DemoMode.h"
#include "DemoPop3Server.h"
#include "engine/MUScripting.h"
#include "trellis/MUError.h"
#include "trellis/Paths.h"

#include <QDateTime>
#include <QDir>
#include <QLocale>

namespace {
QByteArray rfcDate(int minutesAgo)
{
    return QDateTime::currentDateTime().addSecs(-60 * minutesAgo).toString(Qt::RFC2822Date).toLatin1();
}
}

DemoMode::DemoMode(QObject *parent) : QObject(parent) {}

DemoMode::~DemoMode() = default;

QString DemoMode::home() const
{
    return m_home ? m_home->path() : QString();
}

quint16 DemoMode::port() const
{
    return m_server ? m_server->port() : 0;
}

QByteArrayList DemoMode::SampleMessages()
{
    QByteArrayList out;
    out << QByteArray(
               "From: Anna Berg <anna@example.org>\r\n"
               "To: You <newcomer@example.net>\r\n"
               "Subject: Welcome to Murmelo\r\n"
               "Date: " + rfcDate(42) + "\r\n"
               "Message-ID: <demo-1@example.org>\r\n"
               "MIME-Version: 1.0\r\n"
               "Content-Type: text/plain; charset=utf-8\r\n"
               "Content-Transfer-Encoding: 8bit\r\n"
               "\r\n"
               "Hello and welcome!\r\n"
               "\r\n"
               "This is a demonstration mailbox. Murmelo fetched this message from a small mail\r\n"
               "server running on your own computer, and the character is reading it to you now.\r\n"
               "\r\n"
               "To use Murmelo with your own mail, start it without --demo and press Accounts.\r\n"
               "\r\n"
               "Cheers,\r\n"
               "Anna\r\n");
    out << QByteArray(
               "From: Garden Club <news@garden.example>\r\n"
               "To: newcomer@example.net\r\n"
               "Subject: Spring newsletter: tulips are here\r\n"
               "Date: " + rfcDate(30) + "\r\n"
               "Message-ID: <demo-2@garden.example>\r\n"
               "MIME-Version: 1.0\r\n"
               "Content-Type: multipart/alternative; boundary=\"b1\"\r\n"
               "\r\n"
               "--b1\r\n"
               "Content-Type: text/plain; charset=utf-8\r\n"
               "\r\n"
               "The tulips are out! Join us on Saturday at ten for the spring walk.\r\n"
               "--b1\r\n"
               "Content-Type: text/html; charset=utf-8\r\n"
               "\r\n"
               "<html><body style=\"font-family: sans-serif\">\r\n"
               "<h2 style=\"color:#2e7d32\">Spring newsletter</h2>\r\n"
               "<p>The <b>tulips</b> are out! Join us on <i>Saturday at ten</i> for the spring walk.</p>\r\n"
               "<ul><li>Meet at the old gate</li><li>Bring boots</li><li>Tea afterwards</li></ul>\r\n"
               "<p><img src=\"https://images.garden.example/tulips.jpg\" alt=\"Tulips\"></p>\r\n"
               "<p><a href=\"https://garden.example/walk\">Details of the walk</a></p>\r\n"
               "</body></html>\r\n"
               "--b1--\r\n");
    out << QByteArray(
               "From: \"Prize Department\" <winner@lucky-prize.example>\r\n"
               "To: newcomer@example.net\r\n"
               "Subject: You have WON a FREE cruise!!! Claim your prize money now\r\n"
               "Date: " + rfcDate(12) + "\r\n"
               "Message-ID: <demo-3@lucky-prize.example>\r\n"
               "MIME-Version: 1.0\r\n"
               "Content-Type: text/plain; charset=us-ascii\r\n"
               "\r\n"
               "Congratulations!!! You are our lucky winner. Send your bank details today to\r\n"
               "receive your FREE prize money. This offer expires in 24 hours!!!\r\n");
    out << QByteArray(
               "From: =?utf-8?q?J=C3=B6rg_M=C3=BCller?= <joerg@example.de>\r\n"
               "To: newcomer@example.net\r\n"
               "Subject: =?utf-8?q?Lunch_on_Friday=3F?=\r\n"
               "Date: " + rfcDate(3) + "\r\n"
               "Message-ID: <demo-4@example.de>\r\n"
               "MIME-Version: 1.0\r\n"
               "Content-Type: text/plain; charset=utf-8\r\n"
               "Content-Transfer-Encoding: quoted-printable\r\n"
               "\r\n"
               "Hi! Shall we have lunch on Friday at the caf=C3=A9 by the river? I'll book a\r\n"
               "table for noon.\r\n"
               "\r\n"
               "J=C3=B6rg\r\n");
    return out;
}

bool DemoMode::Prepare(QString &why)
{
    m_home = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/murmelo-demo-XXXXXX"));
    if (!m_home->isValid()) {
        why = QStringLiteral("Cannot make a temporary home folder: ") + m_home->errorString();
        return false;
    }
    Paths::SetHome(m_home->path());

    m_server = std::make_unique<DemoPop3Server>(User, Password, SampleMessages());
    if (!m_server->start()) {
        why = QStringLiteral("Cannot start the demo mail server on the loopback interface.");
        return false;
    }
    return true;
}

void DemoMode::AddAccount(MUScripting *engine)
{
    if (!engine || !m_server)
        return;
    Record account;
    account.Add(QStringLiteral("Server"), m_server->host());
    account.Add(QStringLiteral("Port"), int(m_server->port()));
    account.Add(QStringLiteral("User"), QString::fromLatin1(User));
    account.Add(QStringLiteral("Pwd"), QString::fromLatin1(Password));
    account.Add(QStringLiteral("CheckInterval"), 1);
    account.Add(QStringLiteral("Disabled"), false);
    account.Add(QStringLiteral("Email"), QStringLiteral("newcomer@example.net"));
    account.Add(QStringLiteral("Security"), QStringLiteral("None"));
    try {
        engine->AddAccount(account);
    } catch (const MUError &) {
        // Without the account the demo still starts; the log says why.
    }
}
