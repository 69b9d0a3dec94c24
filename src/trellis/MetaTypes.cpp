#include "MetaTypes.h"
#include "DataBag.h"
#include "Messanger.h"
#include "Record.h"
#include <mutex>

void RegisterTrellisMetaTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qRegisterMetaType<DataBag>();
        qRegisterMetaType<Record>();
        qRegisterMetaType<LogPtr>();
        qRegisterMetaType<MessangerPtr>();
    });
}
