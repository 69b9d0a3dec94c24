#pragma once
#include <QDialog>

class ShellServices;

/// "About Murmelo": the product and its version, what it is built on, the home page
/// and an OK button (Esc closes it too). Main thread.
class AboutBox : public QDialog
{
    Q_OBJECT
public:
    /// `services` opens the home page; it outlives the box.
    explicit AboutBox(ShellServices &services, QWidget *parent = nullptr);
    /// "Murmelo Version x.y.z".
    static QString VersionText();
};
