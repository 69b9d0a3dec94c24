#pragma once
#include <QByteArray>
#include <QString>

/// Reads sound files with libsndfile into mono int16 at a chosen rate (libsoxr
/// resamples). Reentrant; safe on any thread.
namespace AudioFileReader {
/// False with `error` set ("'x.wav' not found", "... is not a sound file: ...").
/// Files longer than `maxSeconds` are refused rather than read into memory.
bool read(const QString &path, int sampleRate, QByteArray &samples, QString &error, int maxSeconds = 600);
/// Mono int16 from `inRate` to `outRate` with libsoxr (high quality).
QByteArray resample(const QByteArray &samples, int inRate, int outRate);
}
