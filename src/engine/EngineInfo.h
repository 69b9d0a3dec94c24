#pragma once
#include <QString>

/// The engine library's version, "major.minor.revision".
QString EngineVersion();
