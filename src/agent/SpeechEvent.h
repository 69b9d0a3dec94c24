#pragma once
#include <QList>
#include <QMetaType>
#include <QString>

/// Something the synthesiser reported, placed on the sample clock of its job.
struct SpeechEvent
{
    enum Type { Word, Phoneme, Mark, Sentence, End };
    Type type = Word;
    qint64 sample = 0;      ///< offset in the job's audio (22050 Hz)
    int textPosition = 0;   ///< 0-based character position in the SSML (Word)
    int length = 0;         ///< characters of the word (Word)
    QString name;           ///< the phoneme (Phoneme) or mark name (Mark)
};
Q_DECLARE_METATYPE(SpeechEvent)
using SpeechEvents = QList<SpeechEvent>;
