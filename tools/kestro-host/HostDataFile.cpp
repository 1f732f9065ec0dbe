// The data file a capture is about to write into: what its pieces already hold, a fresh name
// beside it, and why the codec would refuse to start a capture into it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "PathGate.h"
#include "TakeRefusal.h"
#include "pure/CaptureRules.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"
#include "pure/SettingsText.h"
#include "pure/StreamFormat.h"
#include "pure/TakeNames.h"
#include "settings/CodecSettings.h"

namespace host {

namespace {

// Enough to find a take that starts (or ends) with black frames, few enough to cost nothing.
constexpr uint32_t kSampledPages = 16;

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The pieces of the data file `base` that exist, by index, with their sizes. Nothing is looked
// for under a name the piece rule refuses; a piece that is no regular file (a FIFO, a device)
// is never read.
std::map<int, uint64_t> ExistingPieces(const std::string& base) {
    std::map<int, uint64_t> pieces;
    const PathGate gate;
    if (!gate.Refusal(kestro::FormatPieceName(base, 0), "").empty())
        return pieces;
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((base + ".*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return pieces;
    const std::string name = FileNameOf(base);
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ||
            !kestro::IsPieceOf(found.cFileName, name))
            continue;
        const int index = std::atoi(found.cFileName + name.size() + 1);
        if (index >= kestro::kPieceCount)
            continue;
        const GatedPath piece = gate.Piece(kestro::FormatPieceName(base, index), "");
        if (piece.Regular())
            pieces[index] = piece.bytes;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return pieces;
}

// Whether any sampled page of the piece holds a byte other than zero (a first page that holds
// only a capture's header aside); a piece that cannot be read is taken to hold frames (it is not
// this program's to write over).
bool SampledNonZero(const std::string& path, uint64_t bytes, uint32_t pageSize) {
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return true;
    std::vector<uint8_t> page(pageSize);
    for (uint64_t offset : kestro::SampledPages(bytes, pageSize, kSampledPages)) {
        OVERLAPPED at{};
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        const DWORD want = DWORD(std::min<uint64_t>(pageSize, bytes - offset));
        DWORD got = 0;
        if (!ReadFile(file.get(), page.data(), want, &got, &at) || got != want)
            return true;
        if (offset == 0 && kestro::IsHeaderPage(page.data(), got))
            continue;
        for (DWORD i = 0; i < got; ++i)
            if (page[i])
                return true;
    }
    return false;
}

// Whether another program holds the piece open for writing, as a running capture does.
bool HeldByWriter(const std::string& piece) {
    UniqueFile file(CreateFileA(piece.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !file && GetLastError() == ERROR_SHARING_VIOLATION;
}

kestro::PieceHolds Examine(const std::string& path, int index, uint64_t bytes, uint32_t pageSize) {
    // Only a piece that may hold frames is read.
    const kestro::PieceHolds unread = kestro::ClassifyPiece(index, bytes, pageSize, false);
    if (unread == kestro::PieceHolds::Nothing || unread == kestro::PieceHolds::HeaderOnly)
        return unread;
    return kestro::ClassifyPiece(index, bytes, pageSize, SampledNonZero(path, bytes, pageSize));
}

// The INI's path as the codec forms it may hold a doubled separator; it is shown without.
std::string Shown(std::string path) {
    for (size_t at; (at = path.find("\\\\", 1)) != std::string::npos;)
        path.erase(at, 1);
    return path;
}

std::string SizeText(uint64_t bytes) {
    return Megabytes(bytes) + ", " + std::to_string(bytes) + " bytes";
}

std::string OnOff(bool on) {
    return on ? "1" : "0";
}

// Every key as the codec holds it, in the file's order; a number outside what the sheet offers
// says so (the codec keeps it, and a run works with at least 1).
std::string ValuesText(const CCodecSettings& s) {
    std::string text;
    for (const SettingKey& row : SettingKeys()) {
        if (!text.empty())
            text += ' ';
        text.append(row.key).append(1, '=');
        if (row.text) {
            text += s.*row.text;
        } else if (row.flag) {
            text += OnOff(s.*row.flag);
        } else if (row.number == &CCodecSettings::chainedFourcc && s.chainedFourcc != 0) {
            text += FourccText(uint32_t(s.chainedFourcc));
        } else {
            const int32_t value = s.*row.number;
            text += std::to_string(value);
            if (!row.InRange(value))
                text += " (the sheet offers " + std::to_string(row.low) + " to " +
                        std::to_string(row.high) + ")";
        }
    }
    return text;
}

// The settings as the codec reads them from the INI beside `modulePath`.
CCodecSettings SettingsBeside(const std::string& modulePath) {
    CCodecSettings settings;
    settings.LoadSettings(modulePath);
    return settings;
}

std::string FlagsText(uint32_t flags) {
    std::string text;
    if (flags & kestro::kOverlapped)
        text += "FILE_FLAG_OVERLAPPED";
    if (flags & kestro::kNoBuffering)
        text += std::string(text.empty() ? "" : " | ") + "FILE_FLAG_NO_BUFFERING";
    return text.empty() ? "no flags" : text;
}

// Opens piece 0 as the codec does at the start of a run (write access, readers allowed, the
// run's flags) without changing it: an existing piece is opened, not created, and one that had
// to be created for the test is removed again. Empty when it opens, else why not.
std::string OpenLikeTheCodec(const std::string& piece, uint32_t flags, bool exists) {
    UniqueFile file(CreateFileA(piece.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, exists ? OPEN_EXISTING : CREATE_NEW, flags, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        switch (code) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return piece + " is held open for writing by another program: a capture is running "
                           "into this data file (a second one is refused until it ends); capture "
                           "into another data file (--next-datafile, --datafile NAME)";
        case ERROR_ACCESS_DENIED:
            return "this user may not " + std::string(exists ? "write " : "create ") + piece +
                   " (a read-only file, or a folder that users may not write): " +
                   SystemMessage(code) +
                   "; choose a data file in a folder of your own with --datafile NAME";
        case ERROR_PATH_NOT_FOUND:
            return "the folder " + DirectoryOf(piece) + " does not exist";
        default:
            return "cannot " + std::string(exists ? "open " : "create ") + piece + ": " +
                   SystemMessage(code);
        }
    }
    const bool disk = GetFileType(file.get()) == FILE_TYPE_DISK;
    file.reset();
    if (!exists)
        DeleteFileA(piece.c_str());
    if (!disk)
        return piece +
               " is not a file on a disk (a device or a pipe): frames go to disk files only";
    return {};
}

} // namespace

std::vector<HeldTake> EarlierTake(const std::string& base, bool split) {
    std::vector<HeldTake> takes;
    const uint32_t pageSize = kestro::SystemPageSize();
    // The take file says exactly whether the pieces hold a take (one of no frames is space
    // reserved in advance, or a capture that stored nothing); without one, pages are sampled.
    const auto take = TakeBeside(kestro::FormatPieceName(base, 0)).take;
    const bool holdsFrames = take && (!take->frames || *take->frames > 0);
    for (const auto& [index, bytes] : ExistingPieces(base)) {
        // A run that is not split writes piece 0 only.
        if (index != 0 && !split)
            continue;
        const std::string piece = kestro::FormatPieceName(base, index);
        if (take ? holdsFrames && bytes > 0
                 : Examine(piece, index, bytes, pageSize) == kestro::PieceHolds::Frames)
            takes.push_back({piece, bytes});
    }
    return takes;
}

namespace {

enum class Claim { Created, Existed, Refused, Failed };

// Creates piece 0 of `base`, empty, where none exists: of two captures that pick the same name,
// only one creates it, and the other goes on to the next name.
Claim ClaimPieceZero(const std::string& base, const PathGate& gate) {
    const std::string piece = kestro::FormatPieceName(base, 0);
    if (!gate.Refusal(piece, "").empty())
        return Claim::Refused;
    UniqueFile file(CreateFileA(piece.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file)
        return Claim::Created;
    const DWORD code = GetLastError();
    return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS ? Claim::Existed
                                                                     : Claim::Failed;
}

} // namespace

std::string NextDataFile(const std::string& base, bool split, bool claim) {
    const PathGate gate;
    if (!gate.Refusal(kestro::FormatPieceName(base, 0), "").empty())
        return {};
    // A piece 0 that was there before and holds no take (space reserved, a capture of no
    // frames) is used as it is; one that appeared meanwhile belongs to another capture.
    const bool held = !EarlierTake(base, split).empty();
    if (!held &&
        (!claim || !ExistingPieces(base).empty() || ClaimPieceZero(base, gate) != Claim::Existed))
        return base;
    const kestro::NumberedBase numbered = kestro::SplitTakeNumber(base);
    for (uint32_t n = numbered.number + 1; n < numbered.number + 10000; ++n) {
        const std::string name = kestro::TakeName(numbered, n);
        if (!ExistingPieces(name).empty())
            continue;
        if (!claim)
            return name;
        // Where it cannot be created at all, the codec's refusal at the start says why.
        switch (ClaimPieceZero(name, gate)) {
        case Claim::Created:
        case Claim::Failed:
            return name;
        case Claim::Refused:
            return {};
        case Claim::Existed:
            break;
        }
    }
    return {};
}

int PrepareDataFile(bool overwrite, bool next, bool quiet) {
    const CCodecSettings settings = SettingsBeside(CodecLibraryPath());
    const std::string& base = settings.dataFileName;
    if (next) {
        const std::string chosen = NextDataFile(base, settings.splitPieces, true);
        // The codec reads at most MAX_PATH characters of the name.
        if (chosen.empty() || kestro::FormatPieceName(chosen, 0).size() >= MAX_PATH) {
            Error("--next-datafile found no unused name beside " + base +
                  "; name a data file with --datafile NAME");
            return kExitUsage;
        }
        if (chosen != base && !WriteSetting(SettingKeyOf(&CCodecSettings::dataFileName), chosen))
            return kExitUsage;
        Note(chosen == base ? "--next-datafile: " + kestro::FormatPieceName(base, 0) +
                                  " holds no earlier take; capturing into it"
                            : "--next-datafile: " + kestro::FormatPieceName(base, 0) +
                                  " holds an earlier take; capturing into " +
                                  kestro::FormatPieceName(chosen, 0) + " (the settings now name " +
                                  chosen + ")");
        return kExitOk;
    }
    const std::vector<HeldTake> takes = EarlierTake(base, settings.splitPieces);
    if (takes.empty())
        return kExitOk;
    if (overwrite) {
        if (!quiet)
            Note("--overwrite: capturing over the earlier take in " + takes[0].piece + " (" +
                 SizeText(takes[0].bytes) + "); an AVI that names it will show the new pictures");
        return kExitOk;
    }
    std::string others = HeldByWriter(takes[0].piece) ? " (a capture is writing into it now)" : "";
    for (size_t i = 1; i < takes.size(); ++i)
        others +=
            (i == 1 ? "; so do " : ", ") + takes[i].piece + " (" + Megabytes(takes[i].bytes) + ")";
    Error("the data file " + takes[0].piece + " (" + SizeText(takes[0].bytes) +
          ") holds an earlier take" + others +
          ". Every capture starts again at the beginning of the data file named in the settings "
          "(\"filename\" in " +
          Shown(settings.profilepath) + "), so this one would write over it.");
    std::string takeFile;
    if (auto take = TakeBeside(kestro::FormatPieceName(base, 0), &takeFile).take)
        Note("  " + takeFile + ": take " + kestro::avi::TakeSummary(*take));
    const std::string fresh = NextDataFile(base, settings.splitPieces, false);
    Note("To keep it, capture with --next-datafile" +
         (fresh.empty() ? std::string() : " (into " + kestro::FormatPieceName(fresh, 0) + ")") +
         ",\n  or name a data file of your own: kestro-host --datafile NAME capture ... (the "
         "name stays in the settings),\n  or capture over it with --overwrite (an AVI that "
         "names it then shows the new pictures).");
    return kExitUsage;
}

namespace {

// The report, line by line in the order the codec meets each thing; the first obstacle found is
// the one named.
class StartCheck {
public:
    StartCheck(uint64_t frameBytes, int64_t largestFrame)
        : frameBytes_(frameBytes), largestFrame_(largestFrame), module_(LoadedCodecPath()),
          s_(SettingsBeside(module_)), piece_(s_.piecenames[0]), folder_(DirectoryOf(piece_)),
          pageSize_(kestro::SystemPageSize()) {}

    StartReport Run() {
        Add("codec", module_ + " (vidc.KEST = \"" + RegisteredDriver() + "\")");
        Settings();
        // A name the piece rule refuses is not looked up at all: it may name a share or a device.
        if (!Named())
            return std::move(report_);
        Folder();
        PieceZero();
        for (const HeldTake& take : EarlierTake(s_.dataFileName, s_.splitPieces))
            report_.earlierTake.push_back(take);
        Open();
        Room();
        Requests();
        Records();
        return std::move(report_);
    }

private:
    void Add(const std::string& what, const std::string& text) {
        report_.lines.push_back({what, text});
    }
    void Obstacle(const std::string& why) {
        if (report_.obstacle.empty())
            report_.obstacle = why;
    }

    void Settings() {
        const DWORD attributes = GetFileAttributesA(s_.profilepath.c_str());
        std::string ini = Shown(s_.profilepath);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            ini += ": absent, the codec's defaults apply (it writes the file when it unloads)";
        } else if (attributes & FILE_ATTRIBUTE_READONLY) {
            ini += ": read-only: changes on the configuration sheet are not kept";
        } else {
            UniqueFile probe(CreateFileA(s_.profilepath.c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
            ini += probe ? std::string(": writable")
                         : ": this user may not write it (" + SystemMessage(GetLastError()) +
                               "): changes on the configuration sheet are not kept";
        }
        Add("settings", ini);
        Add("values", ValuesText(s_));
    }

    bool Named() {
        const std::string why = PathGate(s_.dataFileName).Refusal(piece_, "");
        if (why.empty())
            return true;
        Add("piece 0", piece_ + ": not looked up");
        Obstacle(
            "the data file " + piece_ + " has " +
            kestro::RefusalText(kestro::ClassifyPiecePath(piece_, kestro::FileCallName).refusal) +
            ": playback opens only pieces named by an absolute path; name another data "
            "file with --datafile NAME");
        return false;
    }

    void Folder() {
        const DWORD attributes = GetFileAttributesA(folder_.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            Add("folder", folder_ + " does not exist");
            Obstacle("the folder " + folder_ + " of the data file " + piece_ +
                     " does not exist (the codec creates no folders): create it, or name another "
                     "data file with --datafile NAME");
        } else {
            Add("folder", folder_ + " exists");
        }
    }

    void PieceZero() {
        const GatedPath gated = PathGate(s_.dataFileName).Piece(piece_, "");
        exists_ = gated.found != GatedPath::Found::Missing;
        bytes_ = gated.bytes;
        if (gated.found == GatedPath::Found::NotRegular) {
            Add("piece 0", piece_ + ": no regular file");
            Obstacle(gated.why + ": name another data file with --datafile NAME");
        } else if (exists_ && gated.attributes & FILE_ATTRIBUTE_READONLY) {
            // Windows opens no read-only file for writing, not even for an administrator.
            Add("piece 0", piece_ + ": " + SizeText(bytes_) + ", read-only");
            Obstacle(piece_ + " is read-only (its read-only attribute is set), so the codec "
                              "cannot write it: clear the attribute (attrib -r) or name another "
                              "data file");
        } else if (!exists_) {
            Add("piece 0", piece_ + (report_.obstacle.empty() ? ": absent, the capture creates it"
                                                              : ": absent"));
        } else {
            Add("piece 0", piece_ + ": " + SizeText(bytes_) + HoldsText());
        }
    }

    std::string HoldsText() const {
        std::string takeFile;
        if (auto take = bytes_ ? TakeBeside(piece_, &takeFile).take : std::nullopt)
            return take->frames && *take->frames == 0
                       ? ", no frames (" + takeFile + ": a take of no frames)"
                       : ", holds an earlier take (" + takeFile + ": take " +
                             kestro::avi::TakeSummary(*take) + ")";
        switch (Examine(piece_, 0, bytes_, pageSize_)) {
        case kestro::PieceHolds::Nothing:
        case kestro::PieceHolds::HeaderOnly:
            return ", no frames";
        case kestro::PieceHolds::Zeros:
            return ", space reserved in advance (zeros)";
        case kestro::PieceHolds::Frames:
            break;
        }
        return ", holds an earlier take";
    }

    void Open() {
        if (!report_.obstacle.empty())
            return;
        const uint32_t flags = kestro::PieceCreateFlags(s_.overlappedWrites, s_.cachedWrites);
        const std::string why = OpenLikeTheCodec(piece_, flags, exists_);
        Add("open", why.empty()
                        ? std::string("piece 0 opens for writing with the codec's flags (") +
                              FlagsText(flags) + ")"
                        : why);
        Obstacle(why);
    }

    void Room() {
        const uint64_t room = FreeBytesAt(piece_);
        if (room != UINT64_MAX) {
            Add("free", Megabytes(room) + " on " + folder_);
            // Before its first frame the codec writes a header page into piece 0.
            if (bytes_ < kestro::HeaderBytes(pageSize_) && room < kestro::HeaderBytes(pageSize_))
                Obstacle("the disk holding " + piece_ + " is full (" + std::to_string(room) +
                         " bytes free)");
        }
        // The codec's own rule; a page size divides 2^32, so the low 32 bits decide.
        if (frameBytes_ && !kestro::ImageSizeAccepted(uint32_t(frameBytes_), pageSize_,
                                                      s_.copyBeforeWrite, s_.chainedFourcc != 0)) {
            Add("frames", std::to_string(frameBytes_) + " bytes, not a whole number of pages (" +
                              std::to_string(pageSize_) + " bytes)");
            Obstacle("a frame of " + std::to_string(frameBytes_) +
                     " bytes is not a whole number of pages, which the codec stores only with "
                     "buffer=1 (--ini buffer=1)");
        }
    }

    // The fast writers make every write's buffer at the start of a run: a count no system can
    // commit fails the start (a count the file keeps beyond the sheet's range is used as it is).
    void Requests() {
        MEMORYSTATUSEX memory{};
        memory.dwLength = sizeof memory;
        if (!s_.overlappedWrites || !GlobalMemoryStatusEx(&memory))
            return;
        const uint64_t count = s_.EffectiveRequestCount();
        const uint64_t buffer =
            std::max<uint64_t>(pageSize_, kestro::RoundUpToPage(frameBytes_, pageSize_));
        const uint64_t room = std::min(memory.ullAvailVirtual, memory.ullAvailPageFile);
        if (count * buffer <= room)
            return;
        Obstacle("request=" + std::to_string(count) + " asks the codec for as many writes in " +
                 "flight, each with a buffer of at least " + std::to_string(buffer) +
                 " bytes: more than this system can give a program (" + Megabytes(room) +
                 " free); set request to 1 to 20, as the configuration sheet offers "
                 "(--ini request=3), or write without overlapping (--ini fastwrite=0)");
    }

    // Each frame's record takes the place of a compressed frame, which the host keeps in as many
    // bytes as the codec's largest frame of this picture.
    void Records() {
        const uint32_t record = kestro::FrameRecordBytes(piece_.size());
        if (largestFrame_ <= 0 || uint64_t(largestFrame_) >= record)
            return;
        Add("frames", "records of " + std::to_string(record) +
                          " bytes, in frames the host keeps in " + std::to_string(largestFrame_) +
                          " bytes");
        Obstacle("a frame record of " + std::to_string(record) + " bytes (16 and the name " +
                 piece_ + ") does not fit the " + std::to_string(largestFrame_) +
                 " bytes a host keeps for a compressed frame of so small a picture: capture "
                 "larger pictures, or name a data file of a shorter name (--datafile NAME)");
    }

    const uint64_t frameBytes_;
    const int64_t largestFrame_;
    const std::string module_;
    const CCodecSettings s_;
    const std::string piece_, folder_;
    const uint32_t pageSize_;
    bool exists_ = false;
    uint64_t bytes_ = 0;
    StartReport report_;
};

} // namespace

StartReport CheckCaptureStart(uint64_t frameBytes, int64_t largestFrame) {
    return StartCheck(frameBytes, largestFrame).Run();
}

void PrintStartReport(const StartReport& report, bool toStdout) {
    for (const auto& [what, text] : report.lines) {
        if (toStdout)
            std::printf("%-9s %s\n", what.c_str(), text.c_str());
        else
            Note("  " + what + ": " + text);
    }
    if (toStdout)
        std::fflush(stdout);
}

int RunCheck() {
    CodecHandle hic(OpenCodec(ICMODE_COMPRESS));
    if (!hic)
        return kExitCodec;
    const StartReport report = CheckCaptureStart(0);
    PrintStartReport(report, true);
    if (!report.obstacle.empty()) {
        std::printf("check: a capture cannot start: %s\n", report.obstacle.c_str());
        return kExitCodec;
    }
    if (!report.earlierTake.empty()) {
        std::printf("check: %s holds an earlier take: kestro-host capture refuses to write over "
                    "it without --overwrite (--next-datafile captures beside it)\n",
                    report.earlierTake[0].piece.c_str());
        return kExitUsage;
    }
    std::printf("check: a capture can start\n");
    return kExitOk;
}

} // namespace host
