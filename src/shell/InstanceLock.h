#pragma once
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;

/// One running program per user (or per home folder): a lock file named MUWorking.
/// The holder also listens on a local socket so that a second start can ask it to
/// bring its window forward. Main thread.
class InstanceLock : public QObject
{
    Q_OBJECT
public:
    /// `folder`: where the lock lives (the home folder in force, else the runtime folder).
    explicit InstanceLock(const QString &folder, QObject *parent = nullptr);
    ~InstanceLock() override;

    /// Claims the lock. False when another live process holds it.
    bool tryLock();
    /// Asks the holder to show its window; false when it could not be reached.
    bool signalRunningInstance(int timeoutMs = 1000);
    void release();
    bool isLocked() const { return m_locked; }
    QString lockPath() const { return m_path; }

    /// The folder the lock of the current settings lives in.
    static QString DefaultFolder();

Q_SIGNALS:
    /// A second start asked for the window.
    void activationRequested();

private:
    QString serverName() const;

    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
    bool m_locked = false;
};
