#pragma once
#include <QByteArray>
#include <QList>
#include <QVector>

/// Voice-activity gate in front of the recogniser: passes on only the stretches of
/// sound that may hold speech, so that silence and steady noise never reach the
/// decoder. Works on 20 ms blocks of 16 kHz mono int16: a block is loud when its
/// energy stands clearly above the noise floor, the lowest block energy of the last
/// three seconds (which follows a fan that starts or a room that falls quiet).
/// Speech starts after `onsetMs` of loud blocks and takes the `preRollMs` before
/// with it; it ends after `hangoverMs` without a loud block (the pause the speaker
/// makes). A segment longer than `maxSegmentMs` is not speech to decode: it is
/// dropped, and the gate waits for the pause. Not thread-safe; pure computation.
class VoiceGate
{
public:
    static constexpr int SampleRate = 16000;
    static constexpr int BlockMs = 20;
    static constexpr int BlockSamples = SampleRate * BlockMs / 1000;

    struct Params
    {
        int onsetMs = 100;
        int hangoverMs = 500;
        int preRollMs = 300;
        int maxSegmentMs = 12000;
        double factor = 3.0;          ///< loud: RMS above factor x floor + offset
        double offset = 100.0;
        int floorWindowMs = 3000;
    };

    /// What feeding sound brought: the segments that ended (their samples) and how
    /// many were too long and dropped.
    struct Output
    {
        QList<QByteArray> segments;
        int dropped = 0;
    };

    /// A segment of a whole recording, in samples from its start.
    struct Span
    {
        qint64 begin = 0;
        qint64 end = 0;
        bool operator==(const Span &o) const { return begin == o.begin && end == o.end; }
    };

    VoiceGate();
    explicit VoiceGate(const Params &params);

    /// Takes any amount of sound; what does not fill a block waits for the next call.
    Output feed(const QByteArray &samples16k);
    /// Forgets everything (the floor too).
    void reset();
    void setMaxSegmentMs(int ms) { m_params.maxSegmentMs = ms; }
    /// Held closed, no segment starts or ends, and one open at the hold is dropped; the
    /// floor still follows the sound. On release, sound still going on belongs to
    /// what was held: the gate opens after its pause.
    void setHeld(bool held);
    bool held() const { return m_held; }
    const Params &params() const { return m_params; }
    bool inSpeech() const { return m_inSpeech; }
    double noiseFloor() const { return m_floor; }

    /// The segments the gate finds in a whole recording (a segment still open at its
    /// end is closed there); dropped ones are not listed.
    static QList<Span> segments(const QByteArray &samples16k);
    static QList<Span> segments(const QByteArray &samples16k, const Params &params);

private:
    void block(const qint16 *s, Output &out);

    Params m_params;
    QByteArray m_partial;          ///< less than a block, waiting for more
    QVector<double> m_history;     ///< block RMS of the floor window (ring)
    int m_historyAt = 0;
    double m_floor = 0;
    bool m_inSpeech = false;
    bool m_overlong = false;       ///< the segment was dropped; waiting for the pause
    bool m_held = false;
    int m_loudMs = 0;
    int m_quietMs = 0;
    QByteArray m_preRoll;
    QByteArray m_segment;
    qint64 m_blocks = 0;           ///< blocks seen (for segments())
    qint64 m_segmentStartBlock = 0;
};
