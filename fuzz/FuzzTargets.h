#pragma once
// The fuzz targets' entry points, shared by the libFuzzer builds and by the replay test that
// runs every seed as an ordinary test.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace Fuzz {
/// A broken invariant: libFuzzer needs a crash to report it, the replay test a failure it
/// can name.
inline void check(bool ok)
{
    if (ok)
        return;
#ifdef MURMELO_FUZZ_REPLAY
    throw std::logic_error("a fuzz target's invariant does not hold");
#else
    std::abort();
#endif
}

int Mime(const uint8_t *data, size_t size);
int Pop3Framing(const uint8_t *data, size_t size);
int ImapProtocol(const uint8_t *data, size_t size);
}

/// Each target's libFuzzer entry, left out of the replay test (which links all three).
#ifdef MURMELO_FUZZ_REPLAY
#define MURMELO_FUZZ_ENTRY(function)
#else
#define MURMELO_FUZZ_ENTRY(function)                                                                \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return function(data, size); }
#endif
