// kestro-host: what a capture application and a player do with the Kestro32 codec, through the
// Video for Windows codec manager and AVIFile only.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Host.h"
#include "HostInstall.h"

using namespace host;

namespace {

const char kUsage[] =
    "usage: kestro-host [settings] COMMAND [options]\n"
    "\n"
    "settings (written into kestdisk.ini beside the codec before it loads; they stay there):\n"
    "  --datafile PATH      data file base name, key \"filename\" (pieces PATH.000, PATH.001...)\n"
    "  --ini KEY=VALUE      any key of section [general], e.g. fastwrite=0, buffer=1, fastread=0\n"
    "  --chain FOURCC|none  chained codec that compresses every frame before it is stored\n"
    "                       (key \"fourcc\"), e.g. MRLE; none stores the raw pictures\n"
    "\n"
    "commands:\n"
    "  capture -o OUT.avi [--input FILE|-] [--format yuy2|uyvy|rgb24|pal8] [--size WxH]\n"
    "          [--rate FPS] [--frames N | --seconds S] [--top-down] [--audio FILE.wav] [--pace]\n"
    "          [--overwrite | --next-datafile] [-q]\n"
    "      Compresses raw frames (a file, - for standard input, or a moving test pattern when\n"
    "      no input is given; defaults yuy2 640x480 at 30 fps, 3 s of pattern) through vidc.KEST\n"
    "      into an AVI. Raw rgb24 is blue-green-red, top row first (ffmpeg's bgr24). --pace\n"
    "      waits for each frame's time like a live source. Ctrl-C ends the capture cleanly.\n"
    "      --top-down hands rgb24 to the codec as a top-down bitmap (negative height). pal8 is\n"
    "      8-bit grey-palette input for a chained codec such as MRLE. --audio interleaves a\n"
    "      PCM WAV file as a second stream, each frame followed by its span of samples.\n"
    "      Every capture starts again at the beginning of the data file in the settings: one\n"
    "      that holds an earlier take is refused unless --overwrite; --next-datafile captures\n"
    "      into the first unused name beside it (take -> take-2 -> take-3...) and keeps it.\n"
    "  play IN.avi [--as yuy2|uyvy|rgb24|rgb32] [-o RAW|-] [--ppm NAME] [--first N] [--count N]\n"
    "          [--getframe] [-q]\n"
    "      Decodes through the codec (ICDecompress, or AVIStreamGetFrame with --getframe) into\n"
    "      raw frames and/or PPM stills (NAME may hold %d or %04d for the frame number).\n"
    "  info IN.avi [--frames]  Lists the stream format (and every frame record).\n"
    "  verify IN.avi           Checks every frame record names an existing piece and lies in it.\n"
    "  export IN.avi - [-q]    Raw frames read from the pieces to standard output (packed rows,\n"
    "                          top row first); info prints the ffmpeg command that takes them.\n"
    "  check                   Says whether the codec can start a capture with its settings, and\n"
    "                          if not, why (data file folder, piece 0, free space).\n"
    "  relink IN.avi --data DIR --to BASE [-o OUT.avi]\n"
    "      After the pieces were moved (and renamed), makes every record name BASE.000,\n"
    "      BASE.001... (e.g. --to e:\\archive\\take1). Each piece must be in DIR under its new\n"
    "      file name and hold its frames, or nothing is changed. Without -o the AVI is rewritten\n"
    "      and the original kept as IN.avi.bak; records that outgrow their chunks make a new AVI\n"
    "      with everything else copied unchanged.\n"
    "  pattern [--format K] [--size WxH] [--frames N] [-o FILE|-]  Writes the raw test pattern.\n"
    "  baseline --path FILE --bytes N --frames N  Plain unbuffered write+read speed of the disk.\n"
    "  install [--inf FILE]    As administrator: installs this build's codec from the "
    "kestro32.inf\n"
    "      beside this program, creates the installed data folder and lets users write it and\n"
    "      the settings file. uninstall: removes it, and the settings file if it still holds\n"
    "      the installed settings; captures are never touched.\n"
    "\n"
    "exit codes: 0 ok, 1 broken reference or undecodable frame (relink: a piece missing or\n"
    "short), 2 bad arguments or input (capture: the data file holds an earlier take), 3 codec\n"
    "missing or refusing, 4 capture ended early (AVI kept), relink could not write (original\n"
    "kept) or export's output closed, 130 stopped by Ctrl-C.\n";

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

} // namespace

int main(int argc, char** argv) {
    LoadCodecsFromSystemFolderOnly();
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    auto value = [&](const std::string& option, std::string& into) {
        if (i + 1 >= args.size())
            return false;
        into = args[++i];
        (void)option;
        return true;
    };

    // Settings come first: the codec reads its INI only when this process first loads it.
    for (; i < args.size(); ++i) {
        std::string v;
        if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (args[i] == "--datafile") {
            if (!value(args[i], v) || v.empty())
                return Usage("--datafile needs a path");
            if (!WriteSetting("filename", v))
                return kExitUsage;
        } else if (args[i] == "--chain") {
            if (!value(args[i], v) || (v != "none" && v.size() != 4))
                return Usage("--chain needs a four-character code such as MRLE, or none");
            uint32_t code = 0;
            if (v != "none")
                for (int k = 0; k < 4; ++k)
                    code |= uint32_t(uint8_t(v[size_t(k)])) << (8 * k);
            if (!WriteSetting("fourcc", std::to_string(int32_t(code))))
                return kExitUsage;
        } else if (args[i] == "--ini") {
            if (!value(args[i], v) || v.find('=') == std::string::npos || v[0] == '=')
                return Usage("--ini needs KEY=VALUE");
            if (!WriteSetting(v.substr(0, v.find('=')), v.substr(v.find('=') + 1)))
                return kExitUsage;
        } else {
            break;
        }
    }
    if (i >= args.size())
        return Usage("no command given");
    const std::string command = args[i++];

    if (command == "capture" || command == "pattern") {
        CaptureOptions o;
        double seconds = -1;
        for (; i < args.size(); ++i) {
            std::string v;
            const std::string& a = args[i];
            if (a == "-o" || a == "--output") {
                if (!value(a, o.output))
                    return Usage(a + " needs a file");
            } else if (a == "--input" || a == "-i") {
                if (!value(a, o.input) || o.input.empty())
                    return Usage(a + " needs a file or -");
            } else if (a == "--format") {
                if (!value(a, v) || !ParseRawKind(v))
                    return Usage("--format is yuy2, uyvy, rgb24 or pal8");
                o.kind = *ParseRawKind(v);
            } else if (a == "--size") {
                if (!value(a, v) || !ParseFrameSize(v))
                    return Usage("bad --size \"" + v +
                                 "\": expected WIDTHxHEIGHT, each 1 to 16384, e.g. 640x480");
                o.size = *ParseFrameSize(v);
            } else if (a == "--rate") {
                if (!value(a, v) || (o.rate = std::atof(v.c_str())) <= 0)
                    return Usage("--rate needs a positive number of frames per second");
            } else if (a == "--frames") {
                if (!value(a, v) || !ParseCount(v, o.frames))
                    return Usage("--frames needs a count (0 with the pattern: until Ctrl-C)");
            } else if (a == "--seconds") {
                if (!value(a, v) || (seconds = std::atof(v.c_str())) <= 0)
                    return Usage("--seconds needs a positive duration");
            } else if (a == "--pace") {
                o.pace = true;
            } else if (a == "--top-down") {
                o.topDown = true;
            } else if (a == "--audio") {
                if (!value(a, o.audio) || o.audio.empty())
                    return Usage("--audio needs a WAV file");
            } else if (a == "--overwrite") {
                o.overwrite = true;
            } else if (a == "--next-datafile") {
                o.nextDataFile = true;
            } else if (a == "-q" || a == "--quiet") {
                o.quiet = true;
            } else {
                return Usage("unknown " + command + " option \"" + a + "\"");
            }
        }
        if (seconds > 0)
            o.frames = int64_t(seconds * o.rate + 0.5);
        if (command == "pattern")
            return RunPattern(o.kind, o.size, o.frames < 0 ? 90 : uint64_t(o.frames), o.output);
        return RunCapture(o);
    }
    if (command == "play") {
        PlayOptions o;
        for (; i < args.size(); ++i) {
            std::string v;
            const std::string& a = args[i];
            if (a == "-o" || a == "--output") {
                if (!value(a, o.rawOutput))
                    return Usage(a + " needs a file or -");
            } else if (a == "--as") {
                if (!value(a, v) || !ParseRawKind(v) || *ParseRawKind(v) == RawKind::Pal8)
                    return Usage("--as is yuy2, uyvy, rgb24 or rgb32");
                o.as = *ParseRawKind(v);
            } else if (a == "--ppm") {
                if (!value(a, o.stills))
                    return Usage("--ppm needs a file name");
            } else if (a == "--first") {
                if (!value(a, v) || !ParseCount(v, o.first))
                    return Usage("--first needs a frame number");
            } else if (a == "--count") {
                if (!value(a, v) || !ParseCount(v, o.count))
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
        }
        if (o.input.empty())
            return Usage("play needs an AVI file");
        return RunPlay(o);
    }
    if (command == "info" || command == "verify") {
        std::string avi;
        bool frames = false;
        for (; i < args.size(); ++i) {
            if (args[i] == "--frames")
                frames = true;
            else if (avi.empty() && args[i][0] != '-')
                avi = args[i];
            else
                return Usage("unknown " + command + " option \"" + args[i] + "\"");
        }
        if (avi.empty())
            return Usage(command + " needs an AVI file");
        return RunInspect(avi, command == "verify", frames);
    }
    if (command == "export") {
        ExportOptions o;
        for (; i < args.size(); ++i) {
            if (args[i] == "-q" || args[i] == "--quiet")
                o.quiet = true;
            else if (o.input.empty() && !args[i].empty() && args[i][0] != '-')
                o.input = args[i];
            else if (!o.input.empty() && o.output.empty())
                o.output = args[i];
            else
                return Usage("unknown export option \"" + args[i] + "\"");
        }
        if (o.input.empty() || o.output.empty())
            return Usage("export needs IN.avi and - (standard output)");
        return RunExport(o);
    }
    if (command == "check")
        return i < args.size() ? Usage("check takes no options") : RunCheck();
    if (command == "relink") {
        RelinkOptions o;
        for (; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a == "--data") {
                if (!value(a, o.dataDir) || o.dataDir.empty())
                    return Usage("--data needs the folder that holds the pieces");
            } else if (a == "--to") {
                if (!value(a, o.newBase) || o.newBase.empty())
                    return Usage("--to needs the new Windows base path, e.g. e:\\archive\\take1");
            } else if (a == "-o" || a == "--output") {
                if (!value(a, o.output) || o.output.empty())
                    return Usage(a + " needs a file");
            } else if (o.input.empty() && !a.empty() && a[0] != '-') {
                o.input = a;
            } else {
                return Usage("unknown relink option \"" + a + "\"");
            }
        }
        if (o.input.empty() || o.dataDir.empty() || o.newBase.empty())
            return Usage("relink needs IN.avi, --data DIR and --to BASE");
        return RunRelink(o);
    }
    if (command == "baseline") {
        std::string path, v;
        int64_t bytes = 0, frames = 0;
        for (; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a == "--path" && value(a, path)) {
            } else if (a == "--bytes" && value(a, v) && ParseCount(v, bytes)) {
            } else if (a == "--frames" && value(a, v) && ParseCount(v, frames)) {
            } else {
                return Usage("baseline takes --path FILE --bytes N --frames N");
            }
        }
        if (path.empty() || bytes <= 0 || frames <= 0)
            return Usage("baseline takes --path FILE --bytes N --frames N");
        return RunBaseline(path, uint64_t(bytes), uint64_t(frames), false);
    }
    if (command == "install" || command == "uninstall")
        return RunInstallCommand(command, {args.begin() + long(i), args.end()});
    return Usage("unknown command \"" + command + "\"");
}
