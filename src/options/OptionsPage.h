#pragma once
#include "IOptUC.h"

#include <QPointer>
#include <QPushButton>
#include <QWidget>

class CSettings;
class OptionsServices;
class CTalker;
class QComboBox;
class QFormLayout;
class QLayout;

/// What every options page shares: the engine, the dialog's buttons and the log it
/// was given, and the small routines around them. Main thread.
class OptionsPage : public QWidget, public IOptUC
{
    Q_OBJECT
public:
    /// `services`: the desktop calls of the pages; outlives the page.
    explicit OptionsPage(const OptionsServices &services, QWidget *parent = nullptr);
    /// An animation name as people read it: "GetAttention" is "Get attention", "Idle1"
    /// is "Idle 1".
    static QString GestureCaption(const QString &name);

    void Init(MUScripting *scripting, QPushButton *applyButton, QPushButton *okButton, LogPtr log) override;

protected:
    /// The page's own Init, after the references are kept; the Apply button is not
    /// touched while it runs.
    virtual void load() = 0;

    /// A form row whose field is a layout: its label's mnemonic goes to `buddy` (a label
    /// without a buddy would show its "&" instead of underlining the key).
    static void addRow(QFormLayout *form, const QString &text, QLayout *field, QWidget *buddy);

    CSettings *settings() const;
    CTalker *talker() const;
    /// The stored value, or `fallback` when none is stored or the store fails.
    QVariant setting(const QString &key, const QVariant &fallback) const;
    QString settingText(const QString &key, const QString &fallback = {}) const;
    bool settingBool(const QString &key, bool fallback) const;
    int settingInt(const QString &key, int fallback) const;
    /// Stores `value`; errors pass to the caller.
    void save(const QString &key, const QVariant &value);
    /// An edit: enables the Apply button (not while the page loads).
    void changed();
    /// Fills `combo` with the animations of the loaded character, by caption (their
    /// names as data); its choice is the stored name under `key` with the first as
    /// default (blank: the first). A name the character lacks is shown as stored.
    void fillGestures(QComboBox *combo, const QString &key);
    /// The animation name chosen in a combo filled by fillGestures (a typed text that is
    /// no caption is taken as a name).
    static QString gestureName(const QComboBox *combo);
    /// Shows the character without its animation when hidden and plays `gesture`
    /// without waiting; errors end it silently.
    void previewGesture(const QString &gesture);
    void trace(const QString &text, const QString &member) const;

    const OptionsServices &m_services;
    MUScripting *m_scripting = nullptr;
    QPointer<QPushButton> m_apply;
    QPointer<QPushButton> m_ok;
    LogPtr m_log;
    bool m_loading = false;
};
