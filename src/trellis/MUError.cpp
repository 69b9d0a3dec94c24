#include "MUError.h"
#include "MessageTable.h"
#include "Utility.h"

MUError::MUError(qint32 number, QString description, QString source)
    : m_number(number), m_description(std::move(description)), m_source(std::move(source)),
      m_what(m_description.toUtf8())
{
}

MUError MUError::engine(int messageId, const QString &source, const QStringList &args, const QString &inner)
{
    QString text = Utility::FormatText(MessageTable::Text(messageId), args) + inner;
    return MUError(engineNumber(messageId), text, source);
}
