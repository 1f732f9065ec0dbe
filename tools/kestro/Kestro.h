#pragma once
// The `kestro` tool's commands, callable from its main and in-process from the tests.

namespace kestro::tool {

constexpr int kExitOk = 0;
constexpr int kExitBroken = 1; // a record names a missing piece or lies outside it
constexpr int kExitUsage = 2;  // bad arguments, an AVI that cannot be read, not a KEST stream
constexpr int kExitOutput = 4; // the output cannot be written (full disk, no permission)
constexpr int kExitInterrupted = 130;

int Main(int argc, char** argv);
void InstallSignalHandlers(); // Ctrl-C ends any command cleanly: no partial output is left

} // namespace kestro::tool
