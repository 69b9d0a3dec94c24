#pragma once
#include "trellis/ThreadRunner.h"

/// Plays one sound file to its end on a worker thread (ProgID "MUCustom.CWavWorker").
/// The bag holds "Messanger" (MessangerPtr), "FileName", "Log" (LogPtr) and
/// "EndEvent" (name of the cancel event its waver signals when the sound is over).
/// Run decodes the file, hands the samples to the waver (message MsgSound), blocks
/// until the sound has been heard, and always posts MsgOver last, on every path.
class CWavWorker : public Worker
{
public:
    static constexpr int MsgOver = 0;    ///< data: empty, or the error text
    static constexpr int MsgSound = 1;   ///< data: QByteArray, 22050 Hz mono int16

    static QString ProgId() { return QStringLiteral("MUCustom.CWavWorker"); }
    /// Registers the ProgID with ThreadRunner (idempotent).
    static void Register();

    /// Runs on the worker thread.
    void Run(const DataBag &data) override;

    /// How long the worker waits for the end of a sound beyond its length.
    static constexpr int SlackMs = 30000;
};
