#pragma once
// What a data file's pieces already hold, and the names of fresh data files beside one: plain
// numbers and names, no <windows.h>.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// The pages read to tell a stored take from space reserved in advance (zeros): the first, the
// last and evenly spread ones between, at most `count` (at least the first). Offsets are
// page-aligned and lie inside the piece.
std::vector<uint64_t> SampledPages(uint64_t pieceBytes, uint32_t pageSize, uint32_t count);

enum class PieceHolds {
    Nothing,    // empty
    HeaderOnly, // piece 0 of at most one page: the header a capture writes before its first frame
    Zeros,      // every sampled page is zero: reserved in advance
    Frames,     // an earlier take
};
PieceHolds ClassifyPiece(int index, uint64_t pieceBytes, uint32_t pageSize, bool sampledNonZero);

// Whether the first page of piece 0 holds only what a capture writes before its first frame: a
// 40-byte bitmap header, zeros after it. Space reserved in advance keeps that page when a capture
// began in it and stored nothing; a sampled page like this counts as zeros.
bool IsHeaderPage(const uint8_t* page, size_t bytes);

// A data file's base name as a numbered take: "d:\caps\take-3" is take 3 of "d:\caps\take", a
// name without such a number is take 1. Only the file name counts ("d:\a-2\take" is take 1), and
// a number below 2 or with a leading zero is part of the name.
struct NumberedBase {
    std::string stem;
    uint32_t number = 1;
};
NumberedBase SplitTakeNumber(std::string_view base);
// The base name of take `number` (1: the stem itself).
std::string TakeName(const NumberedBase& base, uint32_t number);

// Whether `fileName` (no folder) is a piece of the data file whose file name is `baseFileName`:
// that name, a dot and three digits, compared without regard to case.
bool IsPieceOf(std::string_view fileName, std::string_view baseFileName);

} // namespace kestro
