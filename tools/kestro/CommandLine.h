#pragma once
// The `kestro` command line: its options and the usage text.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Pieces.h"
#include "pure/PixelKind.h"

namespace kestro::tool {

struct Options {
    std::string command;
    std::vector<std::string> args;
    PieceRules rules;
    bool quiet = false;
    bool keepGoing = false;
    std::vector<std::string> to; // relink: a new base, or one for each data file of a striped take
    std::string output;
    std::string html; // report: the page written beside the text
    // recover: the stream format when nothing in the files says it
    PixelKind kind = KIND_NONE;
    int32_t width = 0, height = 0;
    double rate = 0;
    bool keepZeroFrames = false;
    // takes: where the AVIs to name are, the take to remove, and whether to ask first
    std::string avisDir;
    std::string removeId;
    bool yes = false;
};

// The options of `argv`; empty with the exit code in `code` when the command line asks for the
// usage text (then printed) or is refused (after a message).
std::optional<Options> ParseCommandLine(int argc, char** argv, int& code);

void Usage(); // on standard error

} // namespace kestro::tool
