#pragma once
#include <QObject>
#include <QVariant>

/// One per owner. Post() may be called from any thread; MsgArrived is delivered
/// queued on the owner's thread (the thread the Messanger lives on), in posting order.
/// Message numbers are private to each owner.
class Messanger : public QObject
{
    Q_OBJECT
public:
    explicit Messanger(QObject *parent = nullptr);

    /// Thread-safe.
    void Post(int msg, const QVariant &data);

Q_SIGNALS:
    void MsgArrived(int msg, const QVariant &data);
};
