#include "pure/TakeNames.h"

#include <cctype>

namespace kestro {

std::vector<uint64_t> SampledPages(uint64_t pieceBytes, uint32_t pageSize, uint32_t count) {
    std::vector<uint64_t> pages;
    if (pieceBytes == 0 || pageSize == 0 || count == 0)
        return pages;
    const uint64_t last = (pieceBytes - 1) / pageSize;
    const uint64_t n = last + 1 < count ? last + 1 : count;
    for (uint64_t i = 0; i < n; ++i) {
        // Spread over [0, last], both ends included.
        const uint64_t page = n == 1 ? 0 : last * i / (n - 1);
        if (pages.empty() || pages.back() != page * pageSize)
            pages.push_back(page * pageSize);
    }
    return pages;
}

PieceHolds ClassifyPiece(int index, uint64_t pieceBytes, uint32_t pageSize, bool sampledNonZero) {
    if (pieceBytes == 0)
        return PieceHolds::Nothing;
    if (index == 0 && pieceBytes <= pageSize)
        return PieceHolds::HeaderOnly;
    return sampledNonZero ? PieceHolds::Frames : PieceHolds::Zeros;
}

bool IsHeaderPage(const uint8_t* page, size_t bytes) {
    constexpr size_t kHeaderBytes = 40;
    if (bytes < kHeaderBytes || page[0] != kHeaderBytes || page[1] || page[2] || page[3])
        return false;
    for (size_t i = kHeaderBytes; i < bytes; ++i)
        if (page[i])
            return false;
    return true;
}

NumberedBase SplitTakeNumber(std::string_view base) {
    const size_t slash = base.find_last_of("\\/:");
    const size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    const size_t dash = base.rfind('-');
    if (dash == std::string_view::npos || dash < nameStart + 1 || dash + 1 >= base.size())
        return {std::string(base), 1};
    const std::string_view digits = base.substr(dash + 1);
    if (digits.size() > 9 || digits[0] == '0')
        return {std::string(base), 1};
    uint32_t number = 0;
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return {std::string(base), 1};
        number = number * 10 + uint32_t(c - '0');
    }
    if (number < 2)
        return {std::string(base), 1};
    return {std::string(base.substr(0, dash)), number};
}

std::string TakeName(const NumberedBase& base, uint32_t number) {
    return number <= 1 ? base.stem : base.stem + "-" + std::to_string(number);
}

bool IsPieceOf(std::string_view fileName, std::string_view baseFileName) {
    if (fileName.size() != baseFileName.size() + 4 || fileName[baseFileName.size()] != '.')
        return false;
    for (size_t i = 0; i < baseFileName.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(fileName[i])) !=
            std::tolower(static_cast<unsigned char>(baseFileName[i])))
            return false;
    for (size_t i = baseFileName.size() + 1; i < fileName.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(fileName[i])))
            return false;
    return true;
}

} // namespace kestro
