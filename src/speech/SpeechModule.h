#pragma once
// The door through which the engine makes its talker without linking the speech library:
// the engine loads libMUSpeech only when it is handed a character. No exception crosses it.
#include "trellis/Log.h"
#include <QtGlobal>

class CSettings;
class CTalker;
class QObject;
class QString;

extern "C" {
/// Makes and initialises a talker for `agent`. True with `*talker` set and `*object` the same
/// talker as the QObject the caller owns and deletes; false with the error's number and description.
Q_DECL_EXPORT bool murmelo_make_talker(CSettings *settings, const LogPtr *log, QObject *agent, CTalker **talker,
                                       QObject **object, qint32 *number, QString *description);
/// Finalises a talker made above (the engine's shutdown order calls this before deleting it).
Q_DECL_EXPORT void murmelo_finalize_talker(CTalker *talker);
}
