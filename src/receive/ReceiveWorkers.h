#pragma once

/// Registers the receivers' ProgIDs ("MUCustom.CReceiver", "MUCustom.CHotmail") with
/// ThreadRunner. Called once by the engine at Init; calling it again is harmless.
void RegisterReceiveWorkers();
