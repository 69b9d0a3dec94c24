#include "Messanger.h"

Messanger::Messanger(QObject *parent) : QObject(parent) {}

void Messanger::Post(int msg, const QVariant &data)
{
    // Queued even on the owner's own thread, so a message never re-enters its sender.
    QMetaObject::invokeMethod(
        this, [this, msg, data] { Q_EMIT MsgArrived(msg, data); }, Qt::QueuedConnection);
}

std::shared_ptr<Messanger> Messanger::Create()
{
    return std::shared_ptr<Messanger>(new Messanger, [](Messanger *m) { m->deleteLater(); });
}
