#pragma once
#include <QDialog>

/// "About Murmelo": the product and its version, what it is built on, the home page
/// and an OK button (Esc closes it too). Main thread.
class AboutBox : public QDialog
{
    Q_OBJECT
public:
    explicit AboutBox(QWidget *parent = nullptr);
    /// "Murmelo Version x.y.z".
    static QString VersionText();
};
