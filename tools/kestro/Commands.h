#pragma once
// The commands of the `kestro` tool, each given the parsed command line; each returns its exit
// code.
#include "CommandLine.h"

namespace kestro::tool {

int RunExport(const Options& options);
int RunInspect(const Options& options, bool verify); // info, or verify with `verify`
int RunRelink(const Options& options);
int RunRecover(const Options& options);
int RunReport(const Options& options);
int RunTakes(const Options& options);

} // namespace kestro::tool
