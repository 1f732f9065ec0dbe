#pragma once
// Where a capture's take goes: the data file of the settings when it holds no take of frames,
// else the first free numbered name beside it (take, take-2, take-3...). A begin claims the name
// by holding its piece 0 open for writing, so that two captures beginning together never share
// one. Shared by the capture run, the space reservation and kestro-host.
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

#include "edge/Win32Edge.h"

namespace kestro {

// Numbered names tried beside the configured one: a folder full of takes refuses the begin with a
// reason instead of being searched without end.
constexpr uint32_t kTakeNameTries = 100;

// The pieces of the data file `base` found on disk, by index, with their sizes. `others`: a
// piece's name that is no regular file (a folder, a device, a link).
struct PiecesOnDisk {
    std::map<int, uint64_t> files;
    bool others = false;
    bool Any() const { return others || !files.empty(); }
};
PiecesOnDisk ListPieces(const std::string& base);

// Whether any sampled page of the piece holds a byte other than zero (a first page that holds
// only a capture's header aside); a piece that cannot be read is taken to hold frames.
bool PieceHoldsFrames(const std::string& piece, int index, uint64_t bytes);

// Whether a capture into the data file `base` would destroy a take of frames: its take file says
// so (a damaged one tells nothing and counts), or without one a piece holds more than zeros where
// sampled, cannot be read or is no file at all.
bool HoldsFrames(const std::string& base);

enum class PlaceFailure {
    None,
    NameRefused, // the next numbered name breaks the piece rule or is too long for the records
    Unwritable,  // piece 0 of the name tried cannot be created or opened (`error` says why)
    AllTaken,    // every numbered name within kTakeNameTries holds something
};

class TakePlace {
public:
    // For a compress begin: piece 0 of the name chosen, opened for the run with `flags` (readers
    // allowed, no other writer) and so claimed; `longestPiece` is the longest piece name whose
    // records fit the frames the host keeps. With `overwrite`, the configured name as it is.
    static TakePlace Claim(const std::string& configured, uint32_t flags, size_t longestPiece,
                           bool overwrite);
    // The name the next begin would choose now, claiming nothing; empty when it would refuse.
    static std::string Next(const std::string& configured);

    bool Chosen() const { return failure == PlaceFailure::None; }
    // Names a take that kept its place, and the name tried last, for a message.
    std::string Context() const;

    std::string base;  // the data file the take goes to; empty when none
    std::string kept;  // the configured name when its take kept its place (base is then beside)
    std::string tried; // the name tried last
    UniqueFile piece0;
    PlaceFailure failure = PlaceFailure::None;
    DWORD error = ERROR_SUCCESS;
};

} // namespace kestro
