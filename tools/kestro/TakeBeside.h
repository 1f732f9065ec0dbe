#pragma once
// The take files beside the pieces found on this machine: every one this tool reads or writes
// goes through here.
#include <optional>
#include <string>

#include "pure/TakeFile.h"

namespace kestro::tool {

// The take file beside a local piece: its name with ".take" in place of the ".NNN" suffix.
std::optional<std::string> TakeFileBeside(const std::string& localPiece);

// The take file at the local `path`, matched without regard to case where the exact name is
// absent (as Wine matches names): nothing when no such name is there; damaged unless it is a
// regular file (a link is never followed) of at most kMaxTakeFileBytes that reads as a take file.
// `found` gets the name it was found under, damaged or not.
TakeFileRead ReadTakeFile(const std::string& path, std::string* found = nullptr);

// Writes `take` as `path`, which must not exist: under a hidden temporary name, flushed with its
// folder, renamed only when whole.
bool WriteNewTakeFile(const std::string& path, const TakeFile& take, std::string& error);

} // namespace kestro::tool
