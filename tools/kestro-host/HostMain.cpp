// kestro-host: what a capture application and a player do with the Kestro32 codec, through the
// Video for Windows codec manager and AVIFile only. The settings first, then one command from the
// table at the end.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Host.h"
#include "HostInstall.h"
#include "pure/Fourcc.h"
#include "pure/PixelFormats.h"
#include "pure/TakeFile.h"
#include "settings/CodecSettings.h"

using namespace host;

namespace {

const char kUsage[] =
    "usage: kestro-host [settings] COMMAND [options]\n"
    "\n"
    "settings (written into kestdisk.ini beside the codec before it loads; they stay there):\n"
    "  --datafile PATH      data file base name, key \"filename\" (pieces PATH.000, PATH.001...)\n"
    "  --ini KEY=VALUE      a key of section [general] and a value it takes (the sheet's ranges),\n"
    "                       e.g. fastwrite=0, buffer=1, request=8; others are refused\n"
    "  --chain FOURCC|none  chained codec that compresses every frame before it is stored\n"
    "                       (key \"fourcc\"), e.g. MRLE; none stores the raw pictures\n"
    "\n"
    "commands:\n"
    "  capture -o OUT.avi [--input FILE|-] [--format K] [--size WxH]\n"
    "          [--rate FPS] [--frames N | --seconds S] [--top-down] [--audio FILE.wav] [--pace]\n"
    "          [--overwrite | --next-datafile] [-q]\n"
    "      Compresses raw frames (a file, - for standard input, or a moving test pattern when\n"
    "      no input is given; defaults yuy2 640x480 at 30 fps, 3 s of pattern) through vidc.KEST\n"
    "      into an AVI. Raw rgb24 is blue-green-red, top row first (ffmpeg's bgr24). --pace\n"
    "      waits for each frame's time like a live source. Ctrl-C ends the capture cleanly.\n"
    "      --top-down hands rgb24 to the codec as a top-down bitmap (negative height). K is a\n"
    "      kind the codec stores (docs/pixel-kinds.md says how each lies its samples):\n"
    "        %KINDS%\n"
    "      or pal8, 8-bit grey-palette input for a chained codec such as MRLE.\n"
    "      --audio interleaves a PCM WAV file as a second stream, each frame followed by its\n"
    "      span of samples.\n"
    "      Every take keeps its place: when the data file in the settings holds a take of\n"
    "      frames, the codec captures into the first free name beside it (take -> take-2 ->\n"
    "      take-3...) and the capture says which; the settings keep their name. --overwrite\n"
    "      captures over the earlier take instead (overwrite=1 for this run only);\n"
    "      --next-datafile is the default, kept for scripts.\n"
    "  play IN.avi [--as K] [-o RAW|-] [--ppm NAME]\n"
    "          [--first N] [--count N]\n"
    "          [--getframe] [-q]\n"
    "      Decodes through the codec (ICDecompress, or AVIStreamGetFrame with --getframe) into\n"
    "      raw frames and/or PPM stills (NAME may hold %d or %04d for the frame number). K as\n"
    "      for capture: a stream plays as itself and as the kinds the codec offers for it.\n"
    "  info IN.avi [--frames]  Lists the stream format (and every frame record).\n"
    "  verify IN.avi           Checks every frame record names an existing piece and lies in it.\n"
    "  export IN.avi - [-q]    Raw frames read from the pieces to standard output (packed rows,\n"
    "                          top row first); info prints the ffmpeg command that takes them.\n"
    "  check                   Says whether the codec can start a capture with its settings, and\n"
    "                          if not, why (data file folder, piece 0, free space); and which\n"
    "                          data file the next take goes to.\n"
    "  check --sustain KIND WxH RATE [--minutes N] [-q]\n"
    "      Whether the data file's disk keeps that stream (e.g. p010 3840x2160 60) for a\n"
    "      capture of N minutes (10 unless given): the codec writes such frames with the\n"
    "      settings' writers and requests, as fast as the disk takes them, into\n"
    "      kestro-sustain-check.000 beside the data file, past the drive's write cache: until\n"
    "      the rate has fallen and held for 30 s, or held from the start below what the stream\n"
    "      needs, or the capture's size is written (at most N minutes, and never the last\n"
    "      hundredth of the free space). Prints the rate over time, the rate after the cache\n"
    "      and the verdict with a margin of 20 %, then removes what it wrote (also after\n"
    "      Ctrl-C). Exit 0: the disk keeps the stream for the whole capture, 1: it does not.\n"
    "  relink IN.avi --data DIR --to BASE [-o OUT.avi]\n"
    "      After the pieces were moved (and renamed), makes every record name BASE.000,\n"
    "      BASE.001... (e.g. --to e:\\archive\\take1). Each piece must be in DIR under its new\n"
    "      file name and hold its frames, or nothing is changed. Without -o the AVI is rewritten\n"
    "      and the original kept as IN.avi.bak; records that outgrow their chunks make a new AVI\n"
    "      with everything else copied unchanged. A take striped over several data files takes\n"
    "      --data DIR --to BASE once for each, in turn order (the data file of frame 0 first).\n"
    "  recover IN.avi -o OUT.avi [--format yuy2|uyvy|rgb24 --size WxH] [--rate FPS]\n"
    "          [--keep-zero-frames]\n"
    "      After a crash: a new AVI from the frame records of one whose writer died (zeroed\n"
    "      header, no index, cut short); the input is never changed. The stream format comes\n"
    "      from the surviving header, else the take file, else --format and --size, else the\n"
    "      one common size the frames fit. Frames whose writes never reached the disk (all\n"
    "      zero, at the end) are left out unless --keep-zero-frames.\n"
    "  report IN.avi [--html FILE]\n"
    "      Why a frame was late or lost: the frames the host skipped, the codec's time, each\n"
    "      write's time, the disk's rate, the stalls and a verdict, from the journal beside the\n"
    "      pieces (else what the AVI says); --html writes the same as a page with charts.\n"
    "  takes [DATAFILE|FOLDER] [--avi-dir DIR] [--remove ID [--yes]]\n"
    "      Lists the takes of the data file (the settings' one unless given) and of its\n"
    "      numbered siblings (take-2, take-3...): identity, start, end, frames, pieces and\n"
    "      bytes, and which AVIs of DIR name each. --remove deletes one take's pieces after\n"
    "      saying what goes and asking (--yes: without asking); a piece a program holds open\n"
    "      is never removed. Its take file stays, so that its AVIs say it was removed.\n"
    "  pattern [--format K] [--size WxH] [--frames N] [-o FILE|-]  Writes the raw test pattern.\n"
    "  baseline --path FILE --bytes N --frames N  Plain unbuffered write+read speed of the disk.\n"
    "  configure               Opens the codec's settings sheet, as a capture program's\n"
    "                          Configure button does.\n"
    "  install [--inf FILE]    As administrator: installs this build's codec from the "
    "kestro32.inf\n"
    "      beside this program, creates the installed data folder and lets users write it and\n"
    "      the settings file. uninstall: removes it, and the settings file if it still holds\n"
    "      the installed settings; captures are never touched. --msi: as the installer package\n"
    "      runs them (the package's Apps entry stands for this build: the INF's goes).\n"
    "\n"
    "exit codes: 0 ok, 1 broken reference or undecodable frame (relink: a piece missing or\n"
    "short), 2 bad arguments or input (capture: the data file holds an earlier take), 3 codec\n"
    "missing or refusing, 4 capture ended early (AVI kept), relink could not write (original\n"
    "kept) or export's output closed, 130 stopped by Ctrl-C.\n";

// The usage text with the kinds of the codec's table in place.
void PrintUsage() {
    std::string text = kUsage, kinds;
    for (const kestro::PixelFormat& f : kestro::kPixelFormats)
        if (f.stored)
            kinds += (kinds.empty() ? "" : ", ") + std::string(f.name);
    const std::string mark = "%KINDS%";
    text.replace(text.find(mark), mark.size(), kinds);
    std::fputs(text.c_str(), stdout);
}

int Usage(const std::string& message) {
    Error(message);
    std::fprintf(stderr, "run \"kestro-host --help\" for the commands\n");
    return kExitUsage;
}

bool ParseCount(const std::string& text, int64_t& value) {
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end || v < 0)
        return false;
    value = v;
    return true;
}

// The command line, read front to back.
class Args {
public:
    Args(int argc, char** argv) : list_(argv + 1, argv + argc) {}
    bool AtEnd() const { return at_ >= list_.size(); }
    const std::string& Current() const { return list_[at_]; }
    void Next() { ++at_; }
    // The value after the current option (which it then becomes); false when there is none.
    bool Value(std::string& into) {
        if (at_ + 1 >= list_.size())
            return false;
        into = list_[++at_];
        return true;
    }
    std::vector<std::string> Rest() const { return {list_.begin() + long(at_), list_.end()}; }

private:
    std::vector<std::string> list_;
    size_t at_ = 0;
};

// Settings come first: the codec reads its INI only when this process first loads it. Each
// option names a key, and nothing is written before every value has passed its key's check.
// Empty to go on to the command, else the exit code (kExitOk after --help).
std::optional<int> WriteSettings(Args& args) {
    std::vector<std::pair<const SettingKey*, std::string>> chosen;
    for (; !args.AtEnd(); args.Next()) {
        const std::string& a = args.Current();
        std::string v;
        if (a == "--help" || a == "-h") {
            PrintUsage();
            return kExitOk;
        } else if (a == "--datafile") {
            if (!args.Value(v) || v.empty())
                return Usage("--datafile needs a path");
            chosen.emplace_back(&SettingKeyOf(&CCodecSettings::dataFileName), v);
        } else if (a == "--chain") {
            if (!args.Value(v) || (v != "none" && v.size() != 4))
                return Usage("--chain needs a four-character code such as MRLE, or none");
            const uint32_t code = v == "none" ? 0 : kestro::MakeFourcc(v[0], v[1], v[2], v[3]);
            chosen.emplace_back(&SettingKeyOf(&CCodecSettings::chainedFourcc),
                                std::to_string(int32_t(code)));
        } else if (a == "--ini") {
            if (!args.Value(v) || v.find('=') == std::string::npos || v[0] == '=')
                return Usage("--ini needs KEY=VALUE");
            const std::string key = v.substr(0, v.find('='));
            const SettingKey* row = FindSettingKey(key);
            if (!row)
                return Usage("--ini " + v + ": the settings have no key \"" + key +
                             "\"; the keys are " + SettingKeyNames());
            chosen.emplace_back(row, v.substr(v.find('=') + 1));
        } else {
            break;
        }
    }
    for (const auto& [row, value] : chosen)
        if (const std::string why = SettingRefusal(*row, value); !why.empty())
            return Usage(why);
    for (const auto& [row, value] : chosen)
        if (!WriteSetting(*row, value))
            return kExitUsage;
    return std::nullopt;
}

// One option of capture and pattern; empty when it was taken, else the exit code.
std::optional<int> CaptureOption(Args& args, const std::string& command, CaptureOptions& o,
                                 double& seconds) {
    const std::string& a = args.Current();
    std::string v;
    if (a == "-o" || a == "--output") {
        if (!args.Value(o.output))
            return Usage(a + " needs a file");
    } else if (a == "--input" || a == "-i") {
        if (!args.Value(o.input) || o.input.empty())
            return Usage(a + " needs a file or -");
    } else if (a == "--format") {
        if (!args.Value(v) || !ParseRawKind(v))
            return Usage("--format is a kind of the codec (yuy2, nv12, rgb32, ...) or pal8");
        o.kind = *ParseRawKind(v);
    } else if (a == "--size") {
        if (!args.Value(v) || !ParseFrameSize(v))
            return Usage("bad --size \"" + v +
                         "\": expected WIDTHxHEIGHT, each 1 to 16384, e.g. 640x480");
        o.size = *ParseFrameSize(v);
    } else if (a == "--rate") {
        if (!args.Value(v) || (o.rate = std::atof(v.c_str())) <= 0)
            return Usage("--rate needs a positive number of frames per second");
    } else if (a == "--frames") {
        if (!args.Value(v) || !ParseCount(v, o.frames))
            return Usage("--frames needs a count (0 with the pattern: until Ctrl-C)");
    } else if (a == "--seconds") {
        if (!args.Value(v) || (seconds = std::atof(v.c_str())) <= 0)
            return Usage("--seconds needs a positive duration");
    } else if (a == "--audio") {
        if (!args.Value(o.audio) || o.audio.empty())
            return Usage("--audio needs a WAV file");
    } else if (a == "--pace" || a == "--top-down" || a == "--overwrite" || a == "--next-datafile" ||
               a == "-q" || a == "--quiet") {
        bool& flag = a == "--pace"            ? o.pace
                     : a == "--top-down"      ? o.topDown
                     : a == "--overwrite"     ? o.overwrite
                     : a == "--next-datafile" ? o.nextDataFile
                                              : o.quiet;
        flag = true;
    } else {
        return Usage("unknown " + command + " option \"" + a + "\"");
    }
    return std::nullopt;
}

int CaptureCommand(Args& args, const std::string& command) {
    CaptureOptions o;
    double seconds = -1;
    for (; !args.AtEnd(); args.Next())
        if (auto code = CaptureOption(args, command, o, seconds))
            return *code;
    if (seconds > 0)
        o.frames = int64_t(seconds * o.rate + 0.5);
    if (command == "pattern")
        return RunPattern(o.kind, o.size, o.frames < 0 ? 90 : uint64_t(o.frames), o.output);
    return RunCapture(o);
}

std::optional<int> PlayOption(Args& args, PlayOptions& o) {
    const std::string& a = args.Current();
    std::string v;
    if (a == "-o" || a == "--output") {
        if (!args.Value(o.rawOutput))
            return Usage(a + " needs a file or -");
    } else if (a == "--as") {
        if (!args.Value(v) || !ParseRawKind(v) || *ParseRawKind(v) == kestro::KIND_PAL8)
            return Usage("--as is a kind the codec plays (yuy2, nv12, v210, rgb32, ...)");
        o.as = *ParseRawKind(v);
    } else if (a == "--ppm") {
        if (!args.Value(o.stills))
            return Usage("--ppm needs a file name");
    } else if (a == "--first") {
        if (!args.Value(v) || !ParseCount(v, o.first))
            return Usage("--first needs a frame number");
    } else if (a == "--count") {
        if (!args.Value(v) || !ParseCount(v, o.count))
            return Usage("--count needs a count");
    } else if (a == "--getframe") {
        o.getFrame = true;
    } else if (a == "-q" || a == "--quiet") {
        o.quiet = true;
    } else if (o.input.empty() && a[0] != '-') {
        o.input = a;
    } else {
        return Usage("unknown play option \"" + a + "\"");
    }
    return std::nullopt;
}

int PlayCommand(Args& args, const std::string&) {
    PlayOptions o;
    for (; !args.AtEnd(); args.Next())
        if (auto code = PlayOption(args, o))
            return *code;
    if (o.input.empty())
        return Usage("play needs an AVI file");
    return RunPlay(o);
}

int InspectCommand(Args& args, const std::string& command) {
    std::string avi;
    bool frames = false;
    for (; !args.AtEnd(); args.Next()) {
        const std::string& a = args.Current();
        if (a == "--frames")
            frames = true;
        else if (avi.empty() && a[0] != '-')
            avi = a;
        else
            return Usage("unknown " + command + " option \"" + a + "\"");
    }
    if (avi.empty())
        return Usage(command + " needs an AVI file");
    return RunInspect(avi, command == "verify", frames);
}

int ExportCommand(Args& args, const std::string&) {
    ExportOptions o;
    for (; !args.AtEnd(); args.Next()) {
        const std::string& a = args.Current();
        if (a == "-q" || a == "--quiet")
            o.quiet = true;
        else if (o.input.empty() && !a.empty() && a[0] != '-')
            o.input = a;
        else if (!o.input.empty() && o.output.empty())
            o.output = a;
        else
            return Usage("unknown export option \"" + a + "\"");
    }
    if (o.input.empty() || o.output.empty())
        return Usage("export needs IN.avi and - (standard output)");
    return RunExport(o);
}

// check, or check --sustain KIND WxH RATE [--minutes N] [-q].
int CheckCommand(Args& args, const std::string&) {
    if (args.AtEnd())
        return RunCheck();
    if (args.Current() != "--sustain")
        return Usage("check takes no options but --sustain KIND WxH RATE [--minutes N]");
    SustainOptions o;
    std::string kind, size, rate;
    if (!args.Value(kind) || !args.Value(size) || !args.Value(rate))
        return Usage("check --sustain needs the stream: KIND WxH RATE, e.g. p010 3840x2160 60");
    if (!ParseRawKind(kind) || *ParseRawKind(kind) == kestro::KIND_PAL8)
        return Usage("check --sustain: \"" + kind +
                     "\" is no kind the codec stores (yuy2, nv12, "
                     "p010, v210, rgb32, ...)");
    if (!ParseFrameSize(size))
        return Usage("check --sustain: bad size \"" + size + "\": expected WIDTHxHEIGHT");
    o.kind = *ParseRawKind(kind);
    o.size = *ParseFrameSize(size);
    o.rate = std::atof(rate.c_str());
    for (args.Next(); !args.AtEnd(); args.Next()) {
        const std::string& a = args.Current();
        std::string v;
        int64_t minutes = 0;
        if (a == "--minutes" && args.Value(v) && ParseCount(v, minutes) && minutes > 0)
            o.minutes = double(minutes);
        else if (a == "-q" || a == "--quiet")
            o.quiet = true;
        else
            return Usage("unknown check --sustain option \"" + a + "\" (--minutes N, -q)");
    }
    return RunSustain(o);
}

int ReportCommand(Args& args, const std::string&) {
    std::string avi, html;
    for (; !args.AtEnd(); args.Next()) {
        const std::string& a = args.Current();
        if (a == "--html" && args.Value(html) && !html.empty())
            continue;
        if (!avi.empty() || a.empty() || a[0] == '-')
            return Usage("report takes IN.avi [--html FILE]");
        avi = a;
    }
    return avi.empty() ? Usage("report needs an AVI file") : RunReport(avi, html);
}

int RelinkCommand(Args& args, const std::string&) {
    RelinkOptions o;
    std::vector<std::string> dirs, bases; // a striped take gives a pair for each data file
    for (; !args.AtEnd(); args.Next()) {
        const std::string& a = args.Current();
        if (a == "--data") {
            if (!args.Value(dirs.emplace_back()) || dirs.back().empty())
                return Usage("--data needs the folder that holds the pieces");
        } else if (a == "--to") {
            if (!args.Value(bases.emplace_back()) || bases.back().empty())
                return Usage("--to needs the new Windows base path, e.g. e:\\archive\\take1");
        } else if (a == "-o" || a == "--output") {
            if (!args.Value(o.output) || o.output.empty())
                return Usage(a + " needs a file");
        } else if (o.input.empty() && !a.empty() && a[0] != '-') {
            o.input = a;
        } else {
            return Usage("unknown relink option \"" + a + "\"");
        }
    }
    if (o.input.empty() || dirs.empty() || bases.empty())
        return Usage("relink needs IN.avi, --data DIR and --to BASE");
    if (dirs.size() != bases.size() || dirs.size() > kestro::kMaxStripes)
        return Usage("relink takes --data DIR --to BASE once for each data file of the take (at "
                     "most " +
                     std::to_string(kestro::kMaxStripes) + "), a --data for each --to");
    o.dataDir = dirs[0];
    o.newBase = bases[0];
    for (size_t i = 1; i < dirs.size(); ++i)
        o.moreStripes.push_back({dirs[i], bases[i]});
    return RunRelink(o);
}

int RecoverCommand(Args& args, const std::string&) {
    RecoverOptions o;
    for (; !args.AtEnd(); args.Next()) {
        const std::string& a = args.Current();
        std::string v;
        if (a == "-o" || a == "--output") {
            if (!args.Value(o.output) || o.output.empty())
                return Usage(a + " needs a file");
        } else if (a == "--format") {
            if (!args.Value(v) || !ParseRawKind(v) || *ParseRawKind(v) == kestro::KIND_PAL8)
                return Usage("--format is a kind the codec stores (yuy2, nv12, rgb32, ...)");
            o.kind = *ParseRawKind(v);
        } else if (a == "--size") {
            if (!args.Value(v) || !ParseFrameSize(v))
                return Usage("bad --size \"" + v + "\": expected WIDTHxHEIGHT, e.g. 640x480");
            o.size = *ParseFrameSize(v);
        } else if (a == "--rate") {
            if (!args.Value(v) || !((o.rate = std::atof(v.c_str())) > 0 && o.rate <= 1000))
                return Usage("--rate needs frames a second, above 0 and at most 1000");
        } else if (a == "--keep-zero-frames") {
            o.keepZeroFrames = true;
        } else if (o.input.empty() && !a.empty() && a[0] != '-') {
            o.input = a;
        } else {
            return Usage("unknown recover option \"" + a + "\"");
        }
    }
    if (o.input.empty() || o.output.empty())
        return Usage("recover needs IN.avi and -o OUT.avi");
    if ((o.kind != kestro::KIND_NONE) != (o.size.width > 0))
        return Usage("--format and --size go together");
    return RunRecover(o);
}

int BaselineCommand(Args& args, const std::string&) {
    std::string path, v;
    int64_t bytes = 0, frames = 0;
    for (; !args.AtEnd(); args.Next()) {
        const std::string& a = args.Current();
        if (a == "--path" && args.Value(path)) {
        } else if (a == "--bytes" && args.Value(v) && ParseCount(v, bytes)) {
        } else if (a == "--frames" && args.Value(v) && ParseCount(v, frames)) {
        } else {
            return Usage("baseline takes --path FILE --bytes N --frames N");
        }
    }
    if (path.empty() || bytes <= 0 || frames <= 0)
        return Usage("baseline takes --path FILE --bytes N --frames N");
    return RunBaseline(path, uint64_t(bytes), uint64_t(frames), false);
}

int TakesCommand(Args& args, const std::string&) {
    TakesOptions o;
    for (; !args.AtEnd(); args.Next()) {
        const std::string& a = args.Current();
        if (a == "--avi-dir") {
            if (!args.Value(o.aviDir) || o.aviDir.empty())
                return Usage("--avi-dir needs the folder of the AVIs");
        } else if (a == "--remove") {
            if (!args.Value(o.remove) || o.remove.empty())
                return Usage("--remove needs a take's identity, as takes lists it");
        } else if (a == "--yes") {
            o.yes = true;
        } else if (o.dataFile.empty() && !a.empty() && a[0] != '-') {
            o.dataFile = a;
        } else {
            return Usage("unknown takes option \"" + a + "\"");
        }
    }
    return RunTakes(o);
}

int ConfigureCommand(Args& args, const std::string&) {
    return args.AtEnd() ? RunConfigure() : Usage("configure takes no options");
}

int InstallCommand(Args& args, const std::string& command) {
    return RunInstallCommand(command, args.Rest());
}

struct Command {
    const char* name;
    int (*run)(Args& args, const std::string& command);
};

const Command kCommands[] = {
    {"capture", CaptureCommand},     {"pattern", CaptureCommand}, {"play", PlayCommand},
    {"info", InspectCommand},        {"verify", InspectCommand},  {"export", ExportCommand},
    {"check", CheckCommand},         {"relink", RelinkCommand},   {"recover", RecoverCommand},
    {"baseline", BaselineCommand},   {"install", InstallCommand}, {"uninstall", InstallCommand},
    {"configure", ConfigureCommand}, {"report", ReportCommand},   {"takes", TakesCommand},
};

} // namespace

int main(int argc, char** argv) {
    LoadCodecsFromSystemFolderOnly();
    Args args(argc, argv);
    if (auto code = WriteSettings(args))
        return *code;
    if (args.AtEnd())
        return Usage("no command given");
    const std::string command = args.Current();
    args.Next();
    for (const auto& c : kCommands)
        if (command == c.name)
            return c.run(args, command);
    return Usage("unknown command \"" + command + "\"");
}
