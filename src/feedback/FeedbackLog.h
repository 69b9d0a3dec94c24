#pragma once
#include "trellis/Log.h"
#include <QString>

/// The log text attached to a feedback report: the end of the long log file, with
/// anything that looks like a secret masked. The log is written without passwords;
/// the masking guards against lines written by older versions or copied by the user.
/// Thread: any.
class FeedbackLog
{
public:
    /// At most this many bytes of the end of the log are attached.
    static constexpr qint64 DefaultMaxBytes = 512 * 1024;

    /// The text of the long log file `log` names (empty when there is no log or file).
    static QString Text(const LogPtr &log, qint64 maxBytes = DefaultMaxBytes);
    /// The end of the file at `path`, cut at a line start, masked.
    static QString FileText(const QString &path, qint64 maxBytes = DefaultMaxBytes);
    /// `text` with passwords, credentials and authorisation values replaced by "****".
    static QString Mask(const QString &text);
};
