#pragma once
#include <QByteArrayList>
#include <QObject>
#include <QTemporaryDir>
#include <memory>

class DemoPop3Server;
class MUScripting;

/// A newcomer's first look without a mailbox: a throw-away home folder, a mail
/// server on a free loopback port holding a few sample messages, and an account for
/// it. Everything else is the normal program. Main thread; the server answers on it
/// while the receivers run on their own threads.
class DemoMode : public QObject
{
    Q_OBJECT
public:
    explicit DemoMode(QObject *parent = nullptr);
    ~DemoMode() override;

    /// Makes the home folder and puts every file there; starts the server. False with `why`.
    bool Prepare(QString &why);
    /// Adds the account of the demo server to a started engine.
    void AddAccount(MUScripting *engine);

    QString home() const;
    quint16 port() const;
    /// The sample messages the server holds, as sent.
    static QByteArrayList SampleMessages();

    static constexpr const char *User = "newcomer";
    static constexpr const char *Password = "demo";

private:
    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<DemoPop3Server> m_server;
};
