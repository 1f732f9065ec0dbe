#pragma once
// What the `kestro` tool says on standard error.
#include <string>

#include "Files.h"

namespace kestro::tool {

void Error(const std::string& message);   // "kestro: ..."
void Warning(const std::string& message); // "kestro: warning: ..."
// The end of a command that a signal stopped: says what became of its work; kExitInterrupted.
int Stopped(const std::string& what);
// An FFmpeg error code as text.
std::string AvError(int code);
// Names the leftovers of killed runs that creating `file` removed.
void SayRemoved(const OutputFile& file);

} // namespace kestro::tool
