#pragma once
// The take of a capture run: its identity, which every record carries, and the take file beside
// piece 0 that says which take the pieces hold.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pure/TakeFile.h"

namespace kestro {

// Where a take striped over several data files keeps this one: its place among them, every data
// file as the run chose it (in turn order), and the take the first of them drew, whose identity
// and start every other one repeats. No files: a take in one data file.
struct StripeOfTake {
    uint32_t stripe = 0;
    std::vector<std::string> files;
    const TakeFile* drawn = nullptr;
};

class TakeRecorder {
public:
    TakeRecorder() = default;
    ~TakeRecorder() { End(); }
    TakeRecorder(const TakeRecorder&) = delete;
    TakeRecorder& operator=(const TakeRecorder&) = delete;

    // A new take for the data file whose piece 0 is `firstPiece`: a fresh identity (or that of
    // the stripe's first data file), written with the formats into the take file before the run
    // writes anything into the pieces. A take file that cannot be written is said
    // (OutputDebugStringA) and the capture goes on.
    void Begin(const std::string& firstPiece, const BITMAPINFOHEADER* in,
               const BITMAPINFOHEADER* out, uint64_t pieceBytes, const StripeOfTake& stripe = {});
    // Counts one more frame handed to the host; the identity its record carries.
    uint32_t Stored() {
        ++frames_;
        return take_.id;
    }
    uint32_t Id() const { return take_.id; }
    const TakeFile& Take() const { return take_; }
    // Adds the frame count and the end time to the take file, once per take.
    void End();

private:
    std::string path_; // empty: no take under way
    TakeFile take_;
    uint64_t frames_ = 0;
    bool written_ = false; // the take file names this take
};

} // namespace kestro
