#include "VoiceGate.h"

#include <algorithm>
#include <cmath>

VoiceGate::VoiceGate() : VoiceGate(Params{}) {}

VoiceGate::VoiceGate(const Params &params) : m_params(params)
{
    reset();
}

void VoiceGate::reset()
{
    m_partial.clear();
    m_history.clear();
    m_history.reserve(qMax(1, m_params.floorWindowMs / BlockMs));
    m_historyAt = 0;
    m_floor = 0;
    m_inSpeech = m_overlong = m_held = false;
    m_loudMs = m_quietMs = 0;
    m_preRoll.clear();
    m_segment.clear();
    m_blocks = 0;
    m_segmentStartBlock = 0;
}

void VoiceGate::setHeld(bool held)
{
    if (held == m_held)
        return;
    m_held = held;
    if (held) {
        // Held as one endless dropped segment: nothing collects, nothing passes.
        m_inSpeech = m_overlong = true;
        m_segment.clear();
        m_preRoll.clear();
        m_quietMs = 0;
        return;
    }
    if (m_quietMs >= m_params.onsetMs) {
        m_inSpeech = m_overlong = false;
        m_loudMs = 0;
    }
}

VoiceGate::Output VoiceGate::feed(const QByteArray &samples16k)
{
    Output out;
    constexpr int blockBytes = BlockSamples * 2;
    qsizetype at = 0;
    if (!m_partial.isEmpty()) {
        const qsizetype take = qMin<qsizetype>(blockBytes - m_partial.size(), samples16k.size());
        m_partial.append(samples16k.constData(), take);
        at = take;
        if (m_partial.size() < blockBytes)
            return out;
        block(reinterpret_cast<const qint16 *>(m_partial.constData()), out);
        m_partial.clear();
    }
    for (; at + blockBytes <= samples16k.size(); at += blockBytes)
        block(reinterpret_cast<const qint16 *>(samples16k.constData() + at), out);
    if (at < samples16k.size())
        m_partial = samples16k.mid(at);
    return out;
}

void VoiceGate::block(const qint16 *s, Output &out)
{
    double sum = 0;
    for (int i = 0; i < BlockSamples; ++i)
        sum += double(s[i]) * s[i];
    const double rms = std::sqrt(sum / BlockSamples);
    ++m_blocks;

    // The floor: the quietest block of the window. Speech has gaps between words, so
    // talking does not lift it; a steady noise does, within the window.
    const int window = qMax(1, m_params.floorWindowMs / BlockMs);
    if (m_history.size() < window) {
        m_history.append(rms);
    } else {
        m_history[m_historyAt] = rms;
        m_historyAt = (m_historyAt + 1) % window;
    }
    m_floor = *std::min_element(m_history.cbegin(), m_history.cend());
    const bool loud = rms > m_floor * m_params.factor + m_params.offset;

    const QByteArray bytes(reinterpret_cast<const char *>(s), BlockSamples * 2);
    if (!m_inSpeech) {
        m_preRoll += bytes;
        const int keep = m_params.preRollMs * SampleRate / 1000 * 2;
        if (m_preRoll.size() > keep)
            m_preRoll.remove(0, m_preRoll.size() - keep);
        m_loudMs = loud ? m_loudMs + BlockMs : 0;
        if (m_loudMs >= m_params.onsetMs) {
            m_inSpeech = true;
            m_overlong = false;
            m_quietMs = 0;
            m_segment = std::exchange(m_preRoll, {});
            m_segmentStartBlock = m_blocks - m_segment.size() / (BlockSamples * 2);
        }
        return;
    }
    m_quietMs = loud ? 0 : m_quietMs + BlockMs;
    if (!m_overlong) {
        m_segment += bytes;
        if (m_segment.size() > qint64(m_params.maxSegmentMs) * SampleRate / 1000 * 2) {
            // Too long for a command: nothing of it is decoded.
            m_overlong = true;
            m_segment.clear();
            ++out.dropped;
        }
    }
    if (m_quietMs >= m_params.hangoverMs && !m_held) {
        m_inSpeech = false;
        m_loudMs = 0;
        if (!m_overlong)
            out.segments.append(std::exchange(m_segment, {}));
        m_overlong = false;
    }
}

QList<VoiceGate::Span> VoiceGate::segments(const QByteArray &samples16k)
{
    return segments(samples16k, Params{});
}

QList<VoiceGate::Span> VoiceGate::segments(const QByteArray &samples16k, const Params &params)
{
    QList<Span> spans;
    VoiceGate gate(params);
    constexpr int blockBytes = BlockSamples * 2;
    for (qsizetype at = 0; at + blockBytes <= samples16k.size(); at += blockBytes) {
        const qint64 startBlock = gate.m_segmentStartBlock;
        const Output out = gate.feed(samples16k.mid(at, blockBytes));
        for (const QByteArray &seg : out.segments) {
            const qint64 begin = startBlock * BlockSamples;
            spans.append({begin, begin + seg.size() / 2});
        }
    }
    if (gate.m_inSpeech && !gate.m_overlong) {
        const qint64 begin = gate.m_segmentStartBlock * BlockSamples;
        spans.append({begin, begin + gate.m_segment.size() / 2});
    }
    return spans;
}
