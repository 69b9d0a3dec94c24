#pragma once
#include <QObject>
#include <QVariant>
#include <memory>

/// One per owner. Post() may be called from any thread; MsgArrived is delivered
/// queued on the owner's thread (the thread the Messanger lives on), in posting order.
/// Message numbers are private to each owner.
class Messanger : public QObject
{
    Q_OBJECT
public:
    explicit Messanger(QObject *parent = nullptr);

    /// A Messanger shared with workers: it outlives its owner until the last worker
    /// holding it has ended, so a late Post never touches a destroyed object. It is
    /// deleted on its own thread (deleteLater).
    static std::shared_ptr<Messanger> Create();

    /// Thread-safe.
    void Post(int msg, const QVariant &data);

Q_SIGNALS:
    void MsgArrived(int msg, const QVariant &data);
};

using MessangerPtr = std::shared_ptr<Messanger>;
Q_DECLARE_METATYPE(MessangerPtr)
