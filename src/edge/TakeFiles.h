#pragma once
// Take files on disk: a fresh identity, the time in the file's words, a bounded read and an
// atomic write. Shared by the capture run, the space reservation and kestro-host.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "pure/TakeFile.h"

namespace kestro {

// A non-zero identity from the system's random source (RtlGenRandom, found at run time), else
// from a mix of the clock, the tick count and the process.
uint32_t DrawTakeId();

// The current UTC time as TakeTimeText writes it.
std::string TakeTimeNow();

// A new take: its identity and start, nothing else yet.
TakeFile FreshTake();

// The take file at `path`, read whole: nothing when no such name is there; damaged when it is no
// regular file on a disk (a folder, a pipe, a link, which is never followed), is larger than
// kMaxTakeFileBytes, cannot be opened or read, or does not read as a take file.
TakeFileRead ReadTakeFileAt(const std::string& path);

// Writes the file under a temporary name beside it (which no piece or take file can have),
// flushes it and renames it over `path` (only where there is none without `replace`); false,
// with nothing left under the temporary name, when any step fails (GetLastError says why).
bool WriteTakeFileAt(const std::string& path, const TakeFile& take, bool replace = true);

// `next` replaces whatever take the file at `path` names, which joins the history `next` keeps.
bool ReplaceTakeFile(const std::string& path, TakeFile next);

} // namespace kestro
