#pragma once
// The one way tests reach inside a codec instance and its runs: what a test must see or set that
// no message shows (handles, pool entries, the stall time, the piece size).
#include <windows.h>

#include <cstdint>

#include "capture/CaptureRun.h"
#include "driver/CodecInstance.h"
#include "playback/PlaybackRun.h"

namespace kestro {

struct RunTestAccess {
    static const CaptureStats& CaptureStatsOf(const CCodecInstance& codec) {
        return codec.capture.Stats();
    }
    static HANDLE WriteFileOf(const CCodecInstance& codec) { return codec.capture.piece.file; }
    static HANDLE WritePortOf(const CCodecInstance& codec) { return codec.capture.pool.port; }
    static WriteRequest& RequestOf(CCodecInstance& codec, int index) {
        return codec.capture.pool.requests[index];
    }
    // Shorter than the settings allow: a test of piece switches writes a few frames per piece.
    static void SetPieceBytes(CCodecInstance& codec, uint64_t bytes) {
        codec.capture.piece.pieceBytes = bytes;
    }
    // A test of writes that never finish waits this long instead of the run's 10 s.
    static void SetStallMs(CCodecInstance& codec, uint32_t ms) { codec.capture.pool.stallMs = ms; }

    static HANDLE ReadFileOf(const CCodecInstance& codec) { return codec.playback.piece.file; }
    static const ReadSlot& ReadSlotOf(const CCodecInstance& codec, int index) {
        return codec.playback.ring.slots[index];
    }
};

} // namespace kestro
