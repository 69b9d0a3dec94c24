// Plugs the accounts dialog into the program: the main window opens it through its hook.
#include "FAccounts.h"
#include "ShellHooks.h"

namespace {

/// Registered before main runs; this file is linked into the program itself, so the
/// object is never dropped by the linker.
struct Registration {
    Registration()
    {
        ShellHooks::instance().openAccounts = &FAccounts::ShowAccounts;
    }
};
const Registration registration;

}
