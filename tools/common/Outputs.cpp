#include "Outputs.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace kestro::avi {

namespace {

constexpr std::string_view kTemporaryTag = ".kestro-";

bool SameName(std::string_view a, std::string_view b, bool caseless) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x != y && (!caseless || std::tolower(x) != std::tolower(y)))
            return false;
    }
    return true;
}

} // namespace

std::string_view LeafOf(std::string_view path, std::string_view separators) {
    const size_t at = path.find_last_of(separators);
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

std::string TemporaryNameOf(std::string_view finalPath, std::string_view separators) {
    const std::string_view leaf = LeafOf(finalPath, separators);
    std::string name(finalPath.substr(0, finalPath.size() - leaf.size()));
    name += '.';
    name += leaf;
    name += kTemporaryTag;
    name.append(kTemporaryUniqueChars, 'X');
    return name;
}

std::string FillTemporaryName(std::string_view pattern, uint64_t seed) {
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string name(pattern);
    if (name.size() < kTemporaryUniqueChars)
        return name;
    for (size_t i = name.size() - kTemporaryUniqueChars; i < name.size(); ++i) {
        name[i] = digits[seed % 62];
        seed /= 62;
    }
    return name;
}

bool IsTemporaryOf(std::string_view name, std::string_view leaf, bool caseless) {
    const size_t fixed = 1 + leaf.size() + kTemporaryTag.size();
    if (leaf.empty() || name.size() != fixed + kTemporaryUniqueChars || name[0] != '.' ||
        !SameName(name.substr(1, leaf.size()), leaf, caseless) ||
        name.substr(1 + leaf.size(), kTemporaryTag.size()) != kTemporaryTag)
        return false;
    return std::all_of(name.begin() + long(fixed), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

std::string BackupNameOf(std::string_view aviPath) {
    return std::string(aviPath) + ".bak";
}

bool CopyAll(ByteFile& from, ByteFile& to, const std::string& fromName, const std::string& toName,
             std::string& error) {
    const uint64_t size = from.Size();
    std::vector<uint8_t> block(size_t(std::min<uint64_t>(size, 1u << 20)));
    for (uint64_t at = 0; at < size;) {
        const size_t step = size_t(std::min<uint64_t>(size - at, block.size()));
        if (!from.ReadAt(at, block.data(), step)) {
            error = "cannot read " + fromName + " at byte " + std::to_string(at);
            return false;
        }
        if (!to.WriteAt(at, block.data(), step)) {
            error = "cannot write " + toName + " at byte " + std::to_string(at);
            return false;
        }
        at += step;
    }
    return true;
}

} // namespace kestro::avi
