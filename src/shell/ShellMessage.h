#pragma once
#include <QString>

/// The program's one message-box routine. Button and icon values add up as in the
/// classic message-box style: 0 OK, 1 OK/Cancel, 4 Yes/No; 16 critical, 32 question,
/// 48 exclamation, 64 information. Main thread.
class ShellMessage
{
public:
    enum Buttons { OkOnly = 0, OkCancel = 1, YesNo = 4 };
    enum Icons { Critical = 16, Question = 32, Exclamation = 48, Information = 64 };
    /// The second button (Cancel, No) is the default.
    enum Defaults { DefaultButton2 = 256 };
    /// What the user pressed.
    enum Result { Ok = 1, Cancel = 2, Yes = 6, No = 7 };

    /// Shows `prompt`; an empty `title` gives the product name. The mouse pointer
    /// shape in force is restored afterwards.
    /// The windows show it through ShellServices::message, which a test answers instead.
    static int Show(const QString &prompt, int buttons = OkOnly, const QString &title = {});
};
