#pragma once
#include <string>
#include <string_view>

namespace kestro {

constexpr int kPieceCount = 500;

// "kestdisk.ini" in the directory of the module file: drive and directory (ending in a
// backslash) followed by "\kestdisk.ini"; the doubled separator names the same file.
std::string ProfilePathForModule(std::string_view modulePath);

// `base` followed by ".%03d".
std::string FormatPieceName(std::string_view base, int index);

// The drive component ("c:") of a path, empty when it has none (relative or network path).
std::string DriveOf(std::string_view path);

} // namespace kestro
