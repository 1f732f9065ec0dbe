#pragma once
// Ending on SIGINT, SIGTERM and SIGHUP: the first asks every loop to stop and clean up, a second
// (or a first that is not obeyed within a second) removes the temporary files and ends at once.
#include <cstddef>

namespace kestro::tool {

void InstallSignalHandlers();
bool Interrupted();
void ClearInterrupt(); // a new command begins (the tests run many in one process)

// The interrupt callback every FFmpeg context gets.
int InterruptCallback(void*);

// A name of a temporary file that an ending at once removes. The name lives in a slot that the
// signal handler can read; mkstemp may fill it in place, so that a file created a moment before
// the signal is removed as well.
class TemporaryName {
public:
    TemporaryName() = default;
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;
    ~TemporaryName() { Release(); }
    // Takes a slot for `path`; false when none is free or the path is too long.
    bool Take(const char* path);
    char* data();
    void Release(); // the file was renamed or removed
    struct Slot;

private:
    Slot* slot_ = nullptr;
};

} // namespace kestro::tool
