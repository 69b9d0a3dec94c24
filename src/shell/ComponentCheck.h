#pragma once
#include <QString>

/// What the program needs at start that can really be missing on a desktop: the
/// SQLite driver, the speech synthesiser's data, the recogniser's model, the bundled
/// characters folder and TLS support. Main thread.
class ComponentCheck
{
public:
    /// True when everything is there; else false with the message for the user.
    static bool CheckComponents(QString &message);
};
