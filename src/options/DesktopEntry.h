#pragma once
#include <QHash>
#include <QString>
#include <QStringList>

/// One desktop entry file (the freedesktop.org desktop entry format): the keys of
/// its [Desktop Entry] group, and the rules for its Exec command line. Any thread.
class DesktopEntry
{
public:
    /// Reads `file`; false when it cannot be read or has no [Desktop Entry] group.
    [[nodiscard]] bool load(const QString &file);
    /// The unescaped value of `key` ("Name", "Name[de]", "Exec", ...); "" when absent.
    QString value(const QString &key) const;
    bool contains(const QString &key) const { return m_values.contains(key); }
    /// A boolean key: only "true" is true.
    bool boolValue(const QString &key) const { return value(key) == QLatin1String("true"); }
    /// A list key (";"-separated), without empty items.
    QStringList listValue(const QString &key) const;
    QString fileName() const { return m_file; }

    /// A string value as stored in the file: \s \n \t \r \\ are escapes.
    static QString Unescape(const QString &raw);
    /// An Exec value split into arguments: blanks separate them, double quotes group
    /// them, and inside quotes a backslash escapes ", `, $ and \. Never a shell.
    static QStringList SplitExec(const QString &exec);
    /// The arguments with the field codes expanded (%f %F %u %U and the deprecated ones
    /// removed: nothing is opened; %i the icon, %c the name, %k the file, %% a percent
    /// sign) and %NAME% references replaced from the environment. An argument that was
    /// only a removed field code disappears.
    static QStringList ExpandArguments(const QStringList &arguments, const QString &name = {},
                                       const QString &icon = {}, const QString &file = {});
    /// `argument` written for an Exec line (quoted when it needs it), before the
    /// string escaping of the file.
    static QString QuoteArgument(const QString &argument);
    /// A string value escaped for writing into a file.
    static QString Escape(const QString &value);

private:
    QString m_file;
    QHash<QString, QString> m_values;
};
