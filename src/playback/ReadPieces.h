#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "playback/ReadPiece.h"

namespace kestro {

// The most pieces a run keeps open: one per data file of a take striped as widely as a take can.
constexpr uint32_t kMaxOpenPieces = 4;

// The pieces a playback run keeps open: one per folder, so that the frames of a take striped over
// several folders, which name a piece in each in turn, do not reopen a piece each frame. A piece
// named in a folder whose piece is open replaces that one; a fifth folder replaces the piece
// used longest ago. No piece may close under an outstanding read: the reads are collected before
// any look-up that opens one.
class ReadPieces {
public:
    ReadPieces() = default;
    ReadPieces(const ReadPieces&) = delete;
    ReadPieces& operator=(const ReadPieces&) = delete;

    // The piece of that name, when one is kept (also one whose opening failed); null otherwise.
    ReadPiece* Find(const char* path, size_t length);
    ReadPiece* Find(const std::string& path) { return Find(path.data(), path.size()); }
    // The piece a record names becomes the current one, opened unless it is kept: as
    // ReadPiece::LookUp says.
    ReadPiece::Opened LookUp(const char* path, size_t length, bool overlapped,
                             std::span<const std::string> dataFiles);
    // The piece of the frame being read: the last one looked up or read from.
    ReadPiece& Current() { return pieces[current]; }
    const ReadPiece& Current() const { return pieces[current]; }
    void MakeCurrent(const ReadPiece* piece);
    // Idempotent; the reads into the run's slots must be over before it.
    void Close();

private:
    ReadPiece* ChooseFor(const char* path, size_t length);
    void Touch(uint32_t index);

    ReadPiece pieces[kMaxOpenPieces];
    uint64_t used[kMaxOpenPieces] = {}; // when each was last the current one
    uint64_t clock = 0;
    uint32_t current = 0;
};

} // namespace kestro
