#pragma once
#include <QLabel>
#include <QStringList>
#include <QWidget>

/// The plain-text labels under `root` that promise a keyboard shortcut ("&Name") but have
/// no buddy to give the focus to: Qt shows such a label's "&" instead of underlining the key.
inline QStringList labelsWithoutBuddy(const QWidget *root)
{
    QStringList out;
    for (const QLabel *label : root->findChildren<QLabel *>()) {
        const QString text = label->text();
        if (label->textFormat() == Qt::RichText || text.contains(QLatin1Char('<')))
            continue;
        QString bare = text;
        bare.remove(QLatin1String("&&"));
        if (bare.contains(QLatin1Char('&')) && !label->buddy())
            out << text;
    }
    return out;
}
