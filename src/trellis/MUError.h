#pragma once
#include <QString>
#include <QStringList>
#include <exception>

/// The error value of the whole system: a number, a description and the source
/// ("Class.Member") that raised it. Thrown only where the design raises; caught
/// where the design logs and returns.
class MUError : public std::exception
{
public:
    MUError() = default;
    MUError(qint32 number, QString description, QString source = {});

    qint32 number() const { return m_number; }
    const QString &description() const { return m_description; }
    const QString &source() const { return m_source; }
    const char *what() const noexcept override { return m_what.constData(); }

    /// The engine's error numbers: the object-error base plus a message-table id.
    static constexpr qint32 ObjectErrorBase = qint32(0x80040000u);
    static constexpr qint32 engineNumber(int messageId) { return ObjectErrorBase + messageId; }
    /// A generic failure (E_FAIL), used where no better number exists.
    static constexpr qint32 Fail = qint32(0x80004005u);

    /// Engine error `messageId` with its message-table text filled with `args`,
    /// followed by `inner` (the wrapped error's description) when given.
    static MUError engine(int messageId, const QString &source, const QStringList &args = {},
                          const QString &inner = {});

private:
    qint32 m_number = 0;
    QString m_description;
    QString m_source;
    QByteArray m_what;
};
