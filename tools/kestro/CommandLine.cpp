#include "CommandLine.h"

#include <cstdio>
#include <cstdlib>

#include "CodePages.h"
#include "Containers.h"
#include "Kestro.h"
#include "Messages.h"
#include "pure/PixelFormats.h"

namespace kestro::tool {

namespace {

// The argument after an option: its value, or empty with `code` set after a message.
class Arguments {
public:
    Arguments(int argc, char** argv) : argc_(argc), argv_(argv) {}
    bool More() const { return i_ + 1 < argc_; }
    std::string Next() { return argv_[++i_]; }
    // The value of the option just read; false (after `complaint`) when there is none.
    bool Value(std::string& into, const char* complaint) {
        if (More()) {
            into = Next();
            return true;
        }
        Error(complaint);
        return false;
    }

private:
    int argc_;
    char** argv_;
    int i_ = 0;
};

bool ParseCodePage(const std::string& page, int& into) {
    if (page == "auto") {
        into = kCodePageAuto;
        return true;
    }
    char* end = nullptr;
    const long n = std::strtol(page.c_str(), &end, 10);
    if (page.empty() || *end || n <= 0 || n > 65535 || !KnownCodePage(int(n))) {
        Error("--codepage " + page + ": not a code page this system converts");
        return false;
    }
    into = int(n);
    return true;
}

// recover's description of a stream whose format did not survive; false after a message.
bool ParseStreamOption(const std::string& a, const std::string& value, Options& o) {
    if (a == "--format") {
        const PixelFormat* f = FormatNamed(value);
        if (!f || !f->stored) {
            std::string names;
            for (const PixelFormat& k : kPixelFormats)
                if (k.stored)
                    names += std::string(names.empty() ? "" : ", ") + k.name;
            Error("--format is one of " + names);
            return false;
        }
        o.kind = f->kind;
    } else if (a == "--size") {
        int w = 0, h = 0;
        char x = 0, extra = 0;
        if (std::sscanf(value.c_str(), "%d%c%d%c", &w, &x, &h, &extra) != 3 || x != 'x' || w <= 0 ||
            h <= 0 || w > 16384 || h > 16384) {
            Error("bad --size \"" + value + "\": expected WIDTHxHEIGHT, each 1 to 16384");
            return false;
        }
        o.width = w, o.height = h;
    } else {
        char* end = nullptr;
        o.rate = std::strtod(value.c_str(), &end);
        if (value.empty() || *end || !(o.rate > 0 && o.rate <= 1000)) {
            Error("--rate needs frames a second, above 0 and at most 1000");
            return false;
        }
    }
    return true;
}

// One option with its value, if it takes one; false after a message when it is refused.
bool ParseOption(const std::string& a, Arguments& args, Options& o) {
    if (a == "--format" || a == "--size" || a == "--rate") {
        std::string value;
        return args.Value(value, (a + " wants a value").c_str()) && ParseStreamOption(a, value, o);
    } else if (a == "--keep-zero-frames") {
        o.keepZeroFrames = true;
    } else if (a == "-q" || a == "--quiet") {
        o.quiet = true;
    } else if (a == "--keep-going") {
        o.keepGoing = true;
    } else if (a == "--map") {
        std::string rule;
        if (!args.More() || (rule = args.Next()).find('=') == std::string::npos) {
            Error("--map wants 'WINPREFIX=DIR'");
            return false;
        }
        const auto eq = rule.find('=');
        o.rules.maps.push_back({rule.substr(0, eq), rule.substr(eq + 1)});
    } else if (a == "--wineprefix") {
        return args.Value(o.rules.wineprefix, "--wineprefix wants a folder");
    } else if (a == "--data") {
        return args.Value(o.rules.dataDir, "--data wants a folder");
    } else if (a == "--codepage") {
        std::string page;
        return args.Value(page, "--codepage wants a number (1252, 932...) or auto") &&
               ParseCodePage(page, o.rules.codePage);
    } else if (a == "--to") {
        return args.Value(o.to.emplace_back(), "--to wants a Windows base path");
    } else if (a == "-o") {
        return args.Value(o.output, "-o wants a file name");
    } else if (a == "--html") {
        return args.Value(o.html, "--html wants a file name");
    } else if (a == "--avi-dir") {
        return args.Value(o.avisDir, "--avi-dir wants a folder");
    } else if (a == "--remove") {
        return args.Value(o.removeId, "--remove wants a take's identity, as takes lists it");
    } else if (a == "--yes") {
        o.yes = true;
    } else {
        Error("unknown option " + a);
        return false;
    }
    return true;
}

} // namespace

std::optional<Options> ParseCommandLine(int argc, char** argv, int& code) {
    Options options;
    if (const char* prefix = std::getenv("WINEPREFIX"))
        options.rules.wineprefix = prefix;
    Arguments args(argc, argv);
    while (args.More()) {
        const std::string a = args.Next();
        if (a == "-h" || a == "--help") {
            Usage();
            code = kExitOk;
            return std::nullopt;
        }
        if (a.size() > 1 && a[0] == '-' && a != "-") {
            if (!ParseOption(a, args, options)) {
                code = kExitUsage;
                return std::nullopt;
            }
        } else if (options.command.empty()) {
            options.command = a;
        } else {
            options.args.push_back(a);
        }
    }
    if (!options.args.empty())
        options.rules.aviDir = DirOf(options.args[0]);
    return options;
}

void Usage() {
    const std::string text =
        "usage: kestro COMMAND IN.avi [options]\n"
        "  export IN.avi " +
        ContainerOutputs() +
        "   frames as a standard stream\n"
        "  export IN.avi -                              raw frames to standard output\n"
        "  info IN.avi                                  stream, frames, pieces, pipe parameters\n"
        "  verify IN.avi                                every record inside an existing piece\n"
        "  relink IN.avi --to 'e:\\archive\\take1' [--data DIR] [-o OUT.avi]\n"
        "                                           a striped take: --to once for each data\n"
        "                                           file, in turn order (frame 0's first)\n"
        "  recover IN.avi -o OUT.avi [--format yuy2|uyvy|rgb24 --size WxH] [--rate FPS]\n"
        "          [--keep-zero-frames]             a new AVI from the frame records of one\n"
        "                                           whose writer died (the input is kept)\n"
        "  report IN.avi [--html FILE]              the take's frames, waits and disk rate from\n"
        "                                           the journal beside its pieces, and why a\n"
        "                                           frame was late; --html: also as a page\n"
        "  takes DATAFILE|FOLDER [--avi-dir DIR]    the takes of a data file and its numbered\n"
        "                                           siblings (take-2...), with the AVIs of DIR\n"
        "  takes DATAFILE|FOLDER --remove ID [--yes]  deletes one take's pieces (asks first)\n"
        "options:\n"
        "  --map 'WINPREFIX=DIR'   pieces under WINPREFIX lie in DIR (repeatable, first)\n"
        "  --wineprefix DIR        use that Wine prefix's drive links (default $WINEPREFIX)\n"
        "  --data DIR              look for each piece's file name in DIR\n"
        "                          (last: the piece's file name beside the AVI)\n"
        "  --codepage N|auto       the code page of the records' names (default auto:\n"
        "                          the bytes as stored, then 1252, then 932)\n"
        "  -q                      no progress line\n"
        "  --keep-going            export anyway, repeating the last good frame\n"
        "exit codes: 0 ok, 1 broken record or piece, 2 bad arguments or input, 4 output not "
        "written, 130 interrupted\n";
    std::fputs(text.c_str(), stderr);
}

} // namespace kestro::tool
