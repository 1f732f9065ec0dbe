#pragma once
#include <windows.h>
#include <vfw.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/BeginNotice.h"
#include "capture/CaptureStats.h"
#include "capture/ChainCompressor.h"
#include "capture/FastWriter.h"
#include "capture/FrameJournal.h"
#include "capture/PieceFile.h"
#include "capture/SyncWriter.h"
#include "capture/TakeRecorder.h"
#include "formats/ChainedCodecs.h"
#include "formats/CodecFormats.h"
#include "pure/CaptureRules.h"
#include "pure/TakeFile.h"
#include "settings/CodecSettings.h"

namespace kestro {

// What a capture run shows of itself: what it counted, and each part's view.
struct CaptureRunView {
    CaptureStats stats;
    PieceFileView piece;
    RequestPoolView pool;
};

// The capture run of one codec instance: begin, a frame from its source to its sink through the
// writer of its row, end. The parts it is made of own their state: the piece files, the chained
// compressor and the two writer families (the fast one with its request pool). Each part is
// declared after those it writes through, and so released before them.
//
// A take may be striped over the data file and up to three more on other disks: each has its
// own place, pieces, header page and take file, and the frames go to them in turn, the k-th frame
// that reaches the journal to data file k % N, whether it is stored or not. One journal (beside
// the first) and one request pool serve them all.
class CaptureRun {
public:
    CaptureRun(CCodecSettings* shared, CodecFormats& formats, ChainedCodecs& chained);
    CaptureRun(const CaptureRun&) = delete;
    CaptureRun& operator=(const CaptureRun&) = delete;

    LRESULT Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT Frame(ICCOMPRESS* icc);
    LRESULT End();
    // The host's frame rate, for the journal; the answer stays that of a message not handled.
    LRESULT FramesInfo(const ICCOMPRESSFRAMES* info, DWORD bytes);

    CaptureRunView View() const { return {stats, pieces[0].View(), fastWriter.PoolView()}; }

private:
    // Idempotent: everything a run holds, in the order of its parts.
    void CloseRun();
    LRESULT BeginRun(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    void SayRefusal();
    bool OpenPlace(uint32_t stripe, uint32_t largestFrame);
    bool OpenPlaces(uint32_t largestFrame);
    bool BeginTakes(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    // Whether every data file of the run is a name playback accepts, its records fitting in
    // `largestFrame`; the refusal names the one that is not.
    bool NamesUsable(uint32_t largestFrame);
    void Refuse(BeginRefusal why, uint32_t stripe);
    LRESULT StartCapture(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    bool BeginChainedCompressor(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out,
                                uint32_t writeBytes);
    bool BeginWriter(WriterKind kind, FrameSize raw);
    bool InputMatchesRun(const ICCOMPRESS* icc) const;
    void SetActive(bool active);
    void BeginJournal(uint32_t compression);

    CCodecSettings* settings;
    CodecFormats& formats;  // the compress check of negotiation
    ChainedCodecs& chained; // the compressor a chained run writes through
    // A run has begun and not ended; its chained compressor stays what it began with.
    bool compressActive = false;
    const WriterRow* writer = nullptr; // of the current run
    uint32_t pageSize = 0;
    std::vector<std::string> files;                  // the data files as the run began
    uint32_t stripes = 1;                            // how many of them
    std::array<std::string, kMaxStripes> chosen;     // the names their places were claimed as
    uint64_t turn = 0;                               // frames of the run that reached the journal
    std::array<uint32_t, kMaxStripes> recordBytes{}; // of each data file's records
    int32_t runWidth = 0;
    int32_t runHeight = 0;
    uint32_t runImageBytes = 0;
    // Why the last begin was refused, where the user can mend it, and whether that was said.
    std::optional<BeginRefusal> refusal;
    DWORD refusalError = ERROR_SUCCESS;
    std::string refusalFile;  // the data file it was refused for
    std::string refusalPiece; // piece 0 of the name tried last
    std::string refusalPlace; // the take that kept its place and the name tried, for the reason
    bool refusalSaid = false;

    CaptureStats stats;
    // The run's identity, and the take file of each of its data files.
    std::array<TakeRecorder, kMaxStripes> takes;
    std::array<PieceFile, kMaxStripes> pieces{PieceFile{stats}, PieceFile{stats}, PieceFile{stats},
                                              PieceFile{stats}};
    ChainCompressor chain;
    FrameJournal journal; // the writers note their writes in it
    SyncWriter syncWriter{pieces[0], chain, journal};
    FastWriter fastWriter{pieces[0], chain, stats, journal};
};

} // namespace kestro
