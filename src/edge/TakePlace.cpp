#include "edge/TakePlace.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "edge/TakeFiles.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"
#include "pure/SettingsText.h"
#include "pure/TakeFile.h"
#include "pure/TakeNames.h"

namespace kestro {

namespace {

// Enough to find a take that starts (or ends) with black frames, few enough to cost nothing.
constexpr uint32_t kSampledPages = 16;

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool NameExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Errors of a piece 0 that someone else has: a capture holds it, or it appeared meanwhile. Access
// is denied to a name that exists as a folder or while another open is creating it.
bool TakenBySomeoneElse(DWORD error, const std::string& piece0) {
    switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return true;
    case ERROR_ACCESS_DENIED:
        return NameExists(piece0);
    }
    return false;
}

// Readers may open the piece (playback of a capture in progress); writers may not, so a second
// capture and a space reservation go elsewhere instead of writing over this run's frames.
UniqueFile OpenForRun(const std::string& piece0, uint32_t flags, DWORD disposition) {
    UniqueFile file(CreateFileA(piece0.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, disposition, flags, nullptr));
    // A pipe, a console or a device never ends and has no size: frames go to disk files only.
    if (file && GetFileType(file.get()) != FILE_TYPE_DISK) {
        file.reset();
        SetLastError(ERROR_BAD_FILE_TYPE);
    }
    return file;
}

enum class Try { Chosen, Taken, Failed };

// One name: free names are claimed, a name whose take holds frames or that someone else holds
// is taken. What holds frames is judged again once piece 0 is held: a take may have ended in it
// meanwhile.
Try TryName(const std::string& name, uint32_t flags, TakePlace& place) {
    place.tried = name;
    const std::string piece0 = FormatPieceName(name, 0);
    const bool empty = !ListPieces(name).Any() && !NameExists(TakeFileName(name));
    if (!empty && HoldsFrames(name))
        return Try::Taken;
    place.piece0 = OpenForRun(piece0, flags, empty ? CREATE_NEW : OPEN_ALWAYS);
    if (!place.piece0) {
        place.error = GetLastError();
        return TakenBySomeoneElse(place.error, piece0) ? Try::Taken : Try::Failed;
    }
    if (!empty && HoldsFrames(name)) {
        place.piece0.reset();
        return Try::Taken;
    }
    place.base = name;
    place.error = ERROR_SUCCESS;
    return Try::Chosen;
}

bool NameFits(const std::string& name, size_t longestPiece) {
    return FormatPieceName(name, 0).size() <= longestPiece &&
           DataFileNameUsable(name, FileCallName);
}

} // namespace

PiecesOnDisk ListPieces(const std::string& base) {
    PiecesOnDisk pieces;
    if (!DataFileNameUsable(base, FileCallName))
        return pieces;
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((base + ".*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return pieces;
    const std::string name = FileNameOf(base);
    do {
        if (!IsPieceOf(found.cFileName, name))
            continue;
        const int index = std::atoi(found.cFileName + name.size() + 1);
        if (index >= kPieceCount)
            continue;
        if (found.dwFileAttributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
            pieces.others = true;
        else
            pieces.files[index] = uint64_t(found.nFileSizeHigh) << 32 | found.nFileSizeLow;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return pieces;
}

bool PieceHoldsFrames(const std::string& piece, int index, uint64_t bytes) {
    const uint32_t pageSize = SystemPageSize();
    // Only a piece that may hold frames is read.
    const PieceHolds unread = ClassifyPiece(index, bytes, pageSize, false);
    if (unread == PieceHolds::Nothing || unread == PieceHolds::HeaderOnly)
        return false;
    UniqueFile file(CreateFileA(piece.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK)
        return true;
    std::vector<uint8_t> page(pageSize);
    for (uint64_t offset : SampledPages(bytes, pageSize, kSampledPages)) {
        OVERLAPPED at{};
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        const DWORD want = DWORD(std::min<uint64_t>(pageSize, bytes - offset));
        DWORD got = 0;
        if (!ReadFile(file.get(), page.data(), want, &got, &at) || got != want)
            return true;
        if (offset == 0 && IsHeaderPage(page.data(), got))
            continue;
        if (std::any_of(page.begin(), page.begin() + got, [](uint8_t b) { return b != 0; }))
            return true;
    }
    return false;
}

bool HoldsFrames(const std::string& base) {
    const PiecesOnDisk pieces = ListPieces(base);
    const TakeFileRead beside = ReadTakeFileAt(TakeFileName(base));
    // The take file says exactly whether the pieces hold a take (one of no frames is space
    // reserved in advance, or a capture that stored nothing); without one, pages are sampled.
    if (beside.take)
        return pieces.Any() && (!beside.take->frames || *beside.take->frames > 0);
    if (!beside.damage.empty() || pieces.others)
        return true;
    for (const auto& [index, bytes] : pieces.files)
        if (PieceHoldsFrames(FormatPieceName(base, index), index, bytes))
            return true;
    return false;
}

TakePlace TakePlace::Claim(const std::string& configured, uint32_t flags, size_t longestPiece,
                           bool overwrite) {
    TakePlace place;
    if (overwrite) {
        place.tried = configured;
        place.piece0 = OpenForRun(FormatPieceName(configured, 0), flags, OPEN_ALWAYS);
        place.error = place.piece0 ? ERROR_SUCCESS : GetLastError();
        place.failure = place.piece0 ? PlaceFailure::None : PlaceFailure::Unwritable;
        if (place.piece0)
            place.base = configured;
        return place;
    }
    switch (TryName(configured, flags, place)) {
    case Try::Chosen:
        return place;
    case Try::Failed:
        place.failure = PlaceFailure::Unwritable;
        return place;
    case Try::Taken:
        place.kept = configured;
        break;
    }
    const NumberedBase numbered = SplitTakeNumber(configured);
    for (uint32_t n = numbered.number + 1; n <= numbered.number + kTakeNameTries; ++n) {
        const std::string name = TakeName(numbered, n);
        // Later numbers are no shorter: none of them would do either.
        if (!NameFits(name, longestPiece)) {
            place.tried = name;
            place.failure = PlaceFailure::NameRefused;
            return place;
        }
        switch (TryName(name, flags, place)) {
        case Try::Chosen:
            return place;
        case Try::Failed:
            place.failure = PlaceFailure::Unwritable;
            return place;
        case Try::Taken:
            break;
        }
    }
    place.failure = PlaceFailure::AllTaken;
    return place;
}

std::string TakePlace::Next(const std::string& configured) {
    auto free = [](const std::string& name) {
        const std::string piece0 = FormatPieceName(name, 0);
        if (!ListPieces(name).Any() && !NameExists(TakeFileName(name)))
            return true;
        if (HoldsFrames(name))
            return false;
        // A capture or a reservation writing into it now.
        UniqueFile probe(CreateFileA(piece0.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        return probe || !TakenBySomeoneElse(GetLastError(), piece0);
    };
    if (!DataFileNameUsable(configured, FileCallName))
        return {};
    if (free(configured))
        return configured;
    const NumberedBase numbered = SplitTakeNumber(configured);
    for (uint32_t n = numbered.number + 1; n <= numbered.number + kTakeNameTries; ++n) {
        const std::string name = TakeName(numbered, n);
        if (!NameFits(name, kMaxRecordPath))
            return {};
        if (free(name))
            return name;
    }
    return {};
}

std::string TakePlace::Context() const {
    // Without a take that kept its place the name tried is the data file itself, which the
    // message names already.
    if (kept.empty())
        return {};
    std::string text = kept + " holds an earlier take, which keeps its place";
    if (!tried.empty() && tried != kept)
        text += "; the name tried was " + tried;
    return text;
}

} // namespace kestro
