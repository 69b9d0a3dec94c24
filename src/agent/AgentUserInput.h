#pragma once
#include <QMetaType>
#include <QString>

/// What the user chose, by menu or by voice: the value carried by the Command event.
struct AgentUserInput
{
    QString Name;          ///< the command's name
    QString CharacterID;   ///< the character whose command it is
    int Confidence = 100;  ///< 0..100; 100 for a menu choice
    QString Voice;         ///< the phrase heard (empty for a menu choice)
};
Q_DECLARE_METATYPE(AgentUserInput)
