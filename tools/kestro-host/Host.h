#pragma once
// The host program's commands, callable from its main and from the AVI-level tests.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "RawFrames.h"

struct SettingKey;

namespace host {

// Exit codes, also used by the tests.
constexpr int kExitOk = 0;
constexpr int kExitBroken = 1;  // verify found broken references / play could not decode
constexpr int kExitUsage = 2;   // bad arguments, input that cannot be captured
constexpr int kExitCodec = 3;   // codec missing or refusing
constexpr int kExitPartial = 4; // capture ended early (short input, full disk); AVI kept
constexpr int kExitInterrupted = 130;

void Error(const std::string& message);   // "kestro-host: error: ..." on stderr
void Warning(const std::string& message); // "kestro-host: warning: ..." on stderr
void Note(const std::string& message);    // plain line on stderr

// The codec reads kestdisk.ini only when it is loaded: these must run before the first ICOpen of
// the process. Returns false (after a message) when the file cannot be written.
// Makes the driver manager load codecs from the system folder only, as every installed host
// sees them: otherwise the kestro32.dll beside kestro-host.exe in the package would be loaded in
// place of the installed one, with the package's settings file. False where the system cannot
// restrict the search (Windows 7 without update KB2533623): then the old order holds.
bool LoadCodecsFromSystemFolderOnly();
std::string CodecLibraryPath(); // where the driver manager will load vidc.KEST from
std::string SettingsFilePath(); // kestdisk.ini beside it
// Why `value` is no choice for the key of `row`, as a message; empty when it is one.
std::string SettingRefusal(const SettingKey& row, const std::string& value);
// Writes `value` as the key of `row` once the row takes it; false (after a message) when it is no
// choice for that key or the file cannot be written.
bool WriteSetting(const SettingKey& row, const std::string& value);
// The key of `row` as the codec will read it: its default when the file has none.
std::string ReadSetting(const SettingKey& row);
// The codec library this process loaded (found as the codec finds its INI: from its module), else
// where the system folder holds it.
std::string LoadedCodecPath();

// What decides whether the codec can start a capture, as found in its settings and data file:
// one line per finding, the first obstacle (empty when none was found) and piece 0 of the data
// file the next take goes to.
struct StartReport {
    std::vector<std::pair<std::string, std::string>> lines;
    std::string obstacle;
    std::string nextTake;
};
// `frameBytes`: the input picture's bytes; `largestFrame`: what the codec has the host keep for one
// compressed frame (ICM_COMPRESS_GET_SIZE); 0 where not known.
StartReport CheckCaptureStart(uint64_t frameBytes, int64_t largestFrame = 0);
void PrintStartReport(const StartReport& report, bool toStdout);
// Prints the report without capturing: kExitOk when a capture could start (naming where its take
// goes), kExitCodec when the codec would refuse.
int RunCheck();

struct CaptureOptions {
    std::string input; // empty: test pattern; "-": standard input
    kestro::PixelKind kind = kestro::KIND_YUY2;
    FrameSize size{640, 480};
    double rate = 30;
    int64_t frames = -1; // -1: whole input (pattern: 3 seconds); 0 with a pattern: until Ctrl-C
    bool pace = false;   // wait for each frame's time, like a live source
    bool quiet = false;
    std::string output;
    std::string audio;         // a WAV file whose samples are interleaved beside the video
    bool topDown = false;      // rgb24 input handed to the codec as a top-down bitmap
    bool overwrite = false;    // capture over the earlier take (overwrite=1 for this run only)
    bool nextDataFile = false; // beside a take of frames: what every capture does, said aloud
    std::function<void(uint64_t framesDone)> onFrame; // after each stored frame
};

struct CaptureResult {
    uint64_t frames = 0;
    uint64_t audioBlocks = 0; // sample frames of the WAV written into the AVI
    uint64_t bytes = 0;
    uint64_t late = 0;
    double seconds = 0;
    std::vector<std::string> pieces;
};

int RunCapture(const CaptureOptions& options, CaptureResult* result = nullptr);
void RequestStop(); // what Ctrl-C does: the capture loop ends after the current frame
// A command that runs until Ctrl-C: clears an earlier request and lets Ctrl-C make one.
void ListenForStop();
bool StopRequested();

struct SustainOptions {
    kestro::PixelKind kind = kestro::KIND_YUY2;
    FrameSize size{};
    double rate = 0;     // frames a second of the stream the disk must keep
    double minutes = 10; // the capture planned: writing ends at its size, and after this long
    bool quiet = false;  // no rows of the rate over time
    // The check's own clock (SustainRate.h); a test on a disk whose seconds are shorter shortens
    // it alike.
    double sampleSeconds = 1;
    double steadySeconds = 30;
    std::function<void()> onCodecOpen; // the codec is loaded, its run not begun
};

struct SustainResult {
    enum class Stop {
        None,
        AfterCache,  // the rate fell and then held steady
        BelowNeed,   // held steady below the stream's need from the start
        Planned,     // the planned capture's size was written
        TimeLimit,   // --minutes passed first
        Space,       // the free space would not take more
        Interrupted, // Ctrl-C
        WriteFailed, // the codec refused a frame
    };
    Stop stop = Stop::None;
    uint64_t frames = 0;
    uint64_t bytes = 0; // handed to the codec (whole pages, as it writes them)
    double seconds = 0;
    double needRate = 0; // bytes a second of the stream
    double fastRate = 0; // at the start
    // After the fall, or the steady rate of a disk that did not fall; 0 when none was seen.
    double sustainedRate = 0;
    uint64_t cacheBytes = 0; // what went at the fast rate; 0: no fall seen
    double keepsSeconds = 0; // how long the stream is kept before the fall (0: not at all)
    bool keeps = false;      // for the whole capture planned
    std::string verdict;
    std::vector<std::string> removed; // the files it wrote and took away again
    // A striped check, per data file in turn order: the rate after its fall (or its steady or
    // average rate) and what went before the fall (0: none seen).
    std::vector<double> stripeRates;
    std::vector<uint64_t> stripeCacheBytes;
};

// check --sustain: the codec writes frames of the stream's kind and size through the codec
// manager, with the settings' writers and requests, into a data file of its own beside the
// configured one (kestro-sustain-check in its folder), as fast as the disk takes them, until the
// rate has fallen and held for `steadySeconds` or the planned capture is written; it prints the
// rate over time and whether the disk keeps the stream (with a margin of 20 %), and removes what
// it wrote, also after Ctrl-C or a failure. The codec must not be loaded yet: the settings file
// names that data file only while it loads. Exit codes: kExitOk the disk keeps the stream for
// the capture planned, kExitBroken it does not, kExitUsage bad arguments, kExitCodec the codec is
// missing or refuses, kExitPartial nothing could be measured, kExitInterrupted Ctrl-C.
int RunSustain(const SustainOptions& options, SustainResult* result = nullptr);

struct PlayOptions {
    std::string input;
    kestro::PixelKind as = kestro::KIND_RGB24;
    std::string rawOutput; // "-" standard output; RGB rows top first, unpadded
    std::string stills;    // PPM name or pattern with %d
    int64_t first = 0;
    int64_t count = -1;
    bool getFrame = false; // decode through AVIStreamGetFrame instead of ICDecompress
    bool quiet = false;
};

struct PlayResult {
    uint64_t frames = 0;
    uint64_t bytes = 0;
    double seconds = 0;
};

int RunPlay(const PlayOptions& options, PlayResult* result = nullptr);

struct ExportOptions {
    std::string input;
    std::string output; // "-": standard output, the only one
    bool quiet = false;
};

// The raw pictures of an unchained capture, read from its pieces, as packed rows top row first.
// Exit codes: kExitBroken for a broken record or piece, kExitUsage for bad arguments, an AVI that
// cannot be read or a chained stream, kExitPartial when the output cannot be written (a closed
// pipe ends the export without a message).
int RunExport(const ExportOptions& options);

// info lists the stream and every record; verify checks them and prints only problems.
int RunInspect(const std::string& avi, bool verify, bool listFrames);

// report: the take's frames, waits and disk rate from the frame journal beside its pieces (else
// what the AVI alone says) and why a frame was late, on standard output; with `html`, the same
// as a page written whole or not at all. Exit codes: kExitBroken for a journal that cannot be
// believed (damaged, of another take, no regular file) or a record's name the piece rule
// refuses, kExitUsage for an AVI that is no capture, kExitPartial when the page is not written.
int RunReport(const std::string& avi, const std::string& html);

struct RelinkOptions {
    std::string input;
    std::string dataDir; // where the pieces are now, under their new file names
    std::string newBase; // Windows base path the records will name: BASE.000, BASE.001...
    std::string output;  // empty: in place (original kept as INPUT.bak) when the records fit
    // A take striped over several data files: the folder and new base of each after the first,
    // in turn order (--data DIR --to BASE once for each).
    std::vector<std::pair<std::string, std::string>> moreStripes;
};

// Checks that every piece is in dataDir (under its new file name, else its old one) and holds
// its frames, then rewrites every record: in place when every new record fits its chunk and no
// output is named, else into a new AVI (the output, or INPUT.relinked.avi). Exit codes:
// kExitBroken when a piece is missing or short (nothing written), kExitUsage for bad arguments
// or input, kExitPartial when writing failed (the original is kept).
int RunRelink(const RelinkOptions& options);

struct RecoverOptions {
    std::string input;
    std::string output;
    // The stream format where neither the AVI's header nor a take file says it.
    kestro::PixelKind kind = kestro::KIND_NONE;
    FrameSize size{};
    double rate = 0; // frames a second; 0 when not given
    bool keepZeroFrames = false;
};

// A new AVI (never over an existing file, the input unchanged) from the frame records of one
// whose writer died. Exit codes: kExitBroken when no record names a frame on the disk,
// kExitUsage for bad arguments or when the stream format cannot be decided (the candidates are
// listed), kExitPartial when the output cannot be written.
int RunRecover(const RecoverOptions& options);

struct TakesOptions {
    std::string dataFile; // a data file's base name, one of its pieces or its folder; empty: the
                          // settings' data file
    std::string aviDir;   // the AVIs that may name the takes
    std::string remove;   // the identity of the take to remove
    bool yes = false;     // remove without asking
};

// Lists the takes of a data file and its numbered siblings, or removes one after saying what goes
// (asked on a console unless `yes`). Exit codes: kExitBroken when no such data file is there,
// kExitUsage for bad arguments or a removal refused, kExitPartial when removing failed.
int RunTakes(const TakesOptions& options);

// Plain unbuffered writes/reads of the same bytes, the baseline of the throughput table.
int RunBaseline(const std::string& path, uint64_t frameBytes, uint64_t frames, bool quiet);
// The codec's settings sheet, as a capture program's Configure button opens it; kExitCodec when
// the codec does not open.
int RunConfigure();

int RunPattern(kestro::PixelKind kind, FrameSize size, uint64_t frames, const std::string& output);

} // namespace host
