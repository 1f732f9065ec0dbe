#pragma once
// Whether a frame record's take is still in the pieces it names, decided from the take file
// beside them, and the words both tools say about takes. Plain bytes only.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pure/TakeFile.h"

namespace kestro::avi {

// Why the record's frame is not delivered: the take file `takeFile` (as the tool shows it) names
// another take than the record's, names the record's take as removed, or is damaged. Empty when it
// names the record's take, or when there is no take file (a capture of a build before takes plays
// as it always did).
std::optional<std::string> TakeRefusalText(const TakeFileRead& beside, uint32_t recordTake,
                                           std::string_view takeFile);

// "8f3a91c2, started 2026-12-09T10:11:12Z, 90 frames", as info prints a take.
std::string TakeSummary(const TakeFile& take);

// What info prints for a damaged take file.
std::string DamagedTakeSummary(const std::string& damage);

} // namespace kestro::avi
