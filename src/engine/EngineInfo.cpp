#include "EngineInfo.h"

QString EngineVersion()
{
    return QStringLiteral(MURMELO_VERSION);
}
