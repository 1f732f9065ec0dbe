#pragma once
// Outputs that look whole only when they are: the names of their temporary files and of a
// relink's backup, and the copy that fills a backup. Plain bytes only: the platform supplies the
// files and the renames.
#include <cstdint>
#include <string>
#include <string_view>

#include "AviRecords.h"

namespace kestro::avi {

// The temporary file of an output "DIR/NAME": "DIR/.NAME.kestro-" and six characters of
// [0-9A-Za-z] (mkstemp's "XXXXXX" until filled). `separators` are the characters that end a
// folder name: "/" on Linux, "\\/" on Windows.
std::string TemporaryNameOf(std::string_view finalPath, std::string_view separators);
constexpr size_t kTemporaryUniqueChars = 6;

// The pattern with its six X made from `seed` (where mkstemp is missing).
std::string FillTemporaryName(std::string_view pattern, uint64_t seed);

// Whether the file name `name` (no folder) is such a temporary file of the output named `leaf`.
// `caseless` for Windows names.
bool IsTemporaryOf(std::string_view name, std::string_view leaf, bool caseless = false);

// The file name (no folder) of a path.
std::string_view LeafOf(std::string_view path, std::string_view separators);

// Where an in-place relink keeps the original.
std::string BackupNameOf(std::string_view aviPath);

// Copies every byte of `from` into `to` (empty) in large blocks; false with `error` naming the
// file that failed (`fromName`, `toName`). A ByteFile that refuses a transfer because a stop was
// asked for ends the copy the same way.
bool CopyAll(ByteFile& from, ByteFile& to, const std::string& fromName, const std::string& toName,
             std::string& error);

} // namespace kestro::avi
