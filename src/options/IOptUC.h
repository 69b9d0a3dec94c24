#pragma once
#include "trellis/Log.h"

class MUScripting;
class QPushButton;

/// An options page: loads its controls from the settings and stores them back. The
/// dialog owns the buttons and outlives the page's use of them. Main thread.
class IOptUC
{
public:
    virtual ~IOptUC() = default;
    /// Remembers the engine, the buttons and the log and fills the controls; must not
    /// enable `applyButton`.
    virtual void Init(MUScripting *scripting, QPushButton *applyButton, QPushButton *okButton, LogPtr log) = 0;
    /// Stores the controls into the settings (and the page's side effects).
    virtual void Update() = 0;
    /// The dialog was cancelled: undo what the page stored on its own since the last
    /// Apply (a preview), so the program is as it was before.
    virtual void Cancel() {}
};
