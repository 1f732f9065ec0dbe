#include "playback/ReadPieces.h"

#include <windows.h>

#include <string_view>

#include "pure/PiecePath.h"

using namespace kestro;

namespace {

// Folders compare as the system compares names: letter case folded, double-byte names too.
bool SameFolder(std::string_view a, std::string_view b) {
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.data(), int(a.size()), b.data(),
                          int(b.size())) == CSTR_EQUAL;
}

} // namespace

ReadPiece* ReadPieces::Find(const char* path, size_t length) {
    for (ReadPiece& piece : pieces)
        if (piece.Same(path, length))
            return &piece;
    return nullptr;
}

void ReadPieces::Touch(uint32_t index) {
    current = index;
    used[index] = ++clock;
}

void ReadPieces::MakeCurrent(const ReadPiece* piece) {
    for (uint32_t i = 0; i < kMaxOpenPieces; ++i)
        if (&pieces[i] == piece)
            Touch(i);
}

// The folder's own piece, else one never used, else the one used longest ago.
ReadPiece* ReadPieces::ChooseFor(const char* path, size_t length) {
    const std::string_view folder = FolderOf(std::string_view(path, length));
    uint32_t chosen = 0;
    for (uint32_t i = 0; i < kMaxOpenPieces; ++i) {
        if (!pieces[i].Name().empty() && SameFolder(FolderOf(pieces[i].Name()), folder))
            return &pieces[i];
        if (used[i] < used[chosen])
            chosen = i;
    }
    return &pieces[chosen];
}

ReadPiece::Opened ReadPieces::LookUp(const char* path, size_t length, bool overlapped,
                                     std::span<const std::string> dataFiles) {
    ReadPiece* piece = Find(path, length);
    // A piece that did not open is not tried again only by the frames right after it; its place
    // is its folder's, so no other piece closes for it.
    if (piece && piece != &Current() && piece->File() == INVALID_HANDLE_VALUE)
        piece->Close();
    else if (!piece)
        piece = ChooseFor(path, length);
    MakeCurrent(piece);
    return piece->LookUp(path, length, overlapped, dataFiles);
}

void ReadPieces::Close() {
    for (ReadPiece& piece : pieces)
        piece.Close();
    for (uint64_t& stamp : used)
        stamp = 0;
    clock = 0;
    current = 0;
}
