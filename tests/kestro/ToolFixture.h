#pragma once
// Runs the `kestro` tool in-process on captures laid out in a scratch folder.
#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SynthAvi.h"

struct RunResult {
    int code = -1;
    std::string out; // standard output
    std::string err; // standard error
};

// Runs kestro::tool::Main with the arguments, standard output and error captured in files.
RunResult RunKestro(const std::vector<std::string>& args);

// Runs a shell command; its standard output as bytes. `status` gets the exit status.
std::vector<uint8_t> Shell(const std::string& command, int* status = nullptr);

// The tool as a process of its own: standard output into `outFd` (or the file `out`), standard
// error into the file `err`.
pid_t SpawnKestro(const std::vector<std::string>& args, const std::string& out,
                  const std::string& err, int outFd = -1);
// Waits up to `seconds` for `pid` to end: its exit code, 128 + the signal that ended it, or -1
// when it still ran (it is then killed). `took` gets the seconds waited, `peakKb` the most memory
// the process held (its resident set, in KiB).
int WaitForExit(pid_t pid, double seconds, double* took = nullptr, long* peakKb = nullptr);
// Whether the process has `path` open.
bool HasOpen(pid_t pid, const std::string& path);
// Polls `done` every millisecond for up to `seconds`.
bool WaitUntil(const std::function<bool()>& done, double seconds);
double Seconds(); // a monotonic clock
// `normal`, or `longer` in a run with KESTRO_LONG=1 (scripts/test.sh --long): the count of a
// random loop whose every behaviour the normal count already meets, and the long one more often.
int LongCount(int normal, int longer);

struct RawCapture {
    int32_t width = 66, height = 48; // height < 0: top-down
    uint32_t source = 0;             // a YUV fourcc ("YUY2", "Y800"...) or 0 (RGB)
    uint16_t bits = 16;
    size_t frames = 6;
    uint32_t framesPerPiece = 4; // pieces .000, .001...
    std::string base = "c:\\capture\\kestro";
    bool audio = false;
    uint32_t scale = 1, rate = 30, start = 0;
};

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Picture bytes as stored (DIB rows for RGB) of frame i.
    static std::vector<uint8_t> StoredFrame(const RawCapture& c, size_t i);
    // The picture as a decoder hands it out: rows top first, unpadded.
    static std::vector<uint8_t> UprightFrame(const RawCapture& c, size_t i);
    static uint32_t StoredBytes(const RawCapture& c);

    // Writes the pieces into `pieceDir` and the AVI at `avi`; returns the plan used.
    synth::AviPlan MakeRawCapture(const RawCapture& c, const std::string& pieceDir,
                                  const std::string& avi);

    std::string dir; // scratch folder, removed afterwards
};
