#pragma once
#include "Log.h"
#include <QMetaType>

class Messanger;

/// Registers, once, every type that crosses threads inside a QVariant or a queued signal.
void RegisterTrellisMetaTypes();

Q_DECLARE_METATYPE(LogPtr)
