// The `kestro` tool: the command line, then one command.
#include "Kestro.h"

extern "C" {
#include <libavutil/log.h>
}

#include <string>

#include "CommandLine.h"
#include "Commands.h"
#include "Signals.h"

namespace kestro::tool {

namespace {

struct Command {
    const char* name;
    int (*run)(const Options&);
};

const Command kCommands[] = {
    {"export", RunExport},
    {"info", [](const Options& o) { return RunInspect(o, false); }},
    {"verify", [](const Options& o) { return RunInspect(o, true); }},
    {"relink", RunRelink},
    {"recover", RunRecover},
    {"report", RunReport},
    {"takes", RunTakes},
};

} // namespace

int Main(int argc, char** argv) {
    ClearInterrupt();
    av_log_set_level(AV_LOG_ERROR);
    int code = kExitUsage;
    auto options = ParseCommandLine(argc, argv, code);
    if (!options)
        return code;
    for (const auto& command : kCommands)
        if (options->command == command.name)
            return command.run(*options);
    Usage();
    return kExitUsage;
}

} // namespace kestro::tool
