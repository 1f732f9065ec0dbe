#pragma once
#include <cstdint>

namespace kestro {

// What a capture run counts, for those who measure what it costs the host.
struct CaptureStats {
    uint32_t blockingWaits = 0; // waits of this run that could block the host
    uint32_t extensions = 0;    // times this run grew a piece ahead of its frames
    uint32_t framesCopied = 0;  // frames the copied writers copied before writing
    // Times the run gave up writes that never finished: their memory stays theirs, and the
    // pieces they go to keep their length.
    uint32_t writesGivenUp = 0;
};

} // namespace kestro
