#include "SpeechModule.h"
#include "CTalker.h"
#include "trellis/MUError.h"
#include <exception>

bool murmelo_make_talker(CSettings *settings, const LogPtr *log, QObject *agent, CTalker **talker, QObject **object, qint32 *number,
                         QString *description)
{
    try {
        auto made = std::make_unique<CTalker>();
        made->Init(settings, *log, agent);
        *object = made.get();
        *talker = made.release();
        return true;
    } catch (const MUError &e) {
        *number = e.number();
        *description = e.description();
    } catch (const std::exception &e) {
        *number = 516;
        *description = QString::fromLocal8Bit(e.what());
    }
    return false;
}

void murmelo_finalize_talker(CTalker *talker)
{
    talker->Finalize();
}
