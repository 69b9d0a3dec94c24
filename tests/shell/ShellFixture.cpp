#include "ShellFixture.h"
#include "FMain.h"
#include "MessageListModel.h"

#include "AgentWidgetsControl.h"
#include "NullAudioSink.h"
#include "engine/MUScripting.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "storage/MsgManager.h"
#include "timing/TimerManager.h"

#include <QTest>


ShellFixture::ShellFixture()
{
    services.respond = [this](const QString &prompt, int buttons, const QString &title) {
        boxes.append({prompt, buttons, title});
        return answer;
    };
    services.openUrl = [this](const QUrl &url) {
        opened.append(url);
        return true;
    };
}

ShellFixture::~ShellFixture() = default;

void ShellFixture::clear()
{
    boxes.clear();
    opened.clear();
}

QStringList ShellFixture::prompts() const
{
    QStringList out;
    for (const Box &b : boxes)
        out << b.prompt;
    return out;
}

QString ShellFixture::logText() const
{
    return m_home.logText();
}

QString ShellFixture::rawPlain(const QString &from, const QString &subject, const QString &body)
{
    return QStringLiteral("From: %1\r\nTo: me@example.net\r\nSubject: %2\r\n"
                          "Date: Mon, 23 Nov 2026 14:05:00 +0000\r\nMIME-Version: 1.0\r\n"
                          "Content-Type: text/plain; charset=us-ascii\r\n\r\n%3\r\n")
        .arg(from, subject, body);
}

Record ShellFixture::message(const QString &from, const QString &subject, const QString &content)
{
    static int next = 1;
    Record r;
    r.Add(QStringLiteral("Server"), QStringLiteral("127.0.0.1"));
    r.Add(QStringLiteral("User"), QStringLiteral("user"));
    r.Add(QStringLiteral("POP3Id"), QStringLiteral("uid-%1").arg(next++));
    r.Add(QStringLiteral("From"), from);
    r.Add(QStringLiteral("To"), QStringLiteral("me@example.net"));
    r.Add(QStringLiteral("Date"), QStringLiteral("Mon, 23 Nov 2026 14:05:00 +0000"));
    r.Add(QStringLiteral("Subject"), subject);
    r.Add(QStringLiteral("Content"), content.isEmpty() ? rawPlain(from, subject, QStringLiteral("Hello there.")) : content);
    return r;
}

ShellEngine::ShellEngine()
{
    m_agent = std::make_unique<AgentWidgetsControl>(std::make_unique<NullAudioSink>());
    m_engine = std::make_unique<MUScripting>();
    m_engine->Init(std::make_shared<Log>(), m_agent.get());
}

ShellEngine::~ShellEngine()
{
    m_engine->Finalize();
}

CTalker *ShellEngine::talker() const
{
    return m_engine->talker();
}

bool ShellEngine::store(Record &msg)
{
    return m_engine->msgManager()->add(msg);
}

ShellWindow::ShellWindow(bool firstStart, const QList<Record> &stored)
    : m_window(std::make_unique<FMain>(fx.services)), w(*m_window)
{
    ef.engine()->settings()->SaveSetting(FMain::KeyFirstStart, firstStart);
    for (Record r : stored)
        QVERIFY(ef.store(r));
    w.Init(ef.engine()->log(), ef.engine(), ef.agent(), ef.talker());
    // Pulses would speak the spool away under the test's feet.
    QObject::disconnect(ef.talker(), &CTalker::Spooled, &w, nullptr);
    ef.engine()->timerManager()->StopTiming(FMain::SpeechPulseId);
    ef.talker()->StopTalking(true);
    fx.clear();
}

ShellWindow::~ShellWindow()
{
    w.Finalize();
}

bool ShellWindow::shown()
{
    w.show();
    return QTest::qWaitForWindowExposed(&w);
}

bool ShellWindow::arrive(Record &msg)
{
    if (!ef.store(msg))
        return false;
    w.moScripting_MsgArrived(msg);
    return true;
}

QStringList ShellWindow::rows(int column) const
{
    QStringList out;
    for (int i = 0; i < w.model()->rowCount(); ++i)
        out << w.model()->text(i, column);
    return out;
}
