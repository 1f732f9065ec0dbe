// The data file a capture is about to write into: which name the next take goes to, what its
// pieces already hold, and why the codec would refuse to start a capture into it.
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
#include "edge/TakePlace.h"
#include "settings/CodecSettings.h"

namespace host {

namespace {

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
                           "into this data file (with overwrite=1 a second one is refused until "
                           "it ends); capture without --overwrite to go beside it, or into "
                           "another data file (--datafile NAME)";
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

// The data file the next take goes to: the configured one with overwrite=1, else the one the
// codec's begin would choose; empty when it would find none.
std::string PlaceOf(const CCodecSettings& s) {
    return s.overwrite ? s.dataFileName : kestro::TakePlace::Next(s.dataFileName);
}

// The report, line by line in the order the codec meets each thing; the first obstacle found is
// the one named.
class StartCheck {
public:
    StartCheck(uint64_t frameBytes, int64_t largestFrame)
        : frameBytes_(frameBytes), largestFrame_(largestFrame), module_(LoadedCodecPath()),
          s_(SettingsBeside(module_)), place_(PlaceOf(s_)),
          piece_(kestro::FormatPieceName(place_.empty() ? s_.dataFileName : place_, 0)),
          folder_(DirectoryOf(piece_)), pageSize_(kestro::SystemPageSize()) {}

    StartReport Run() {
        Add("codec", module_ + " (vidc.KEST = \"" + RegisteredDriver() + "\")");
        Settings();
        // A name the piece rule refuses is not looked up at all: it may name a share or a device.
        if (!Named())
            return std::move(report_);
        Place();
        Folder();
        PieceZero();
        Open();
        Room();
        Requests();
        Stripes();
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

    void Place() {
        if (place_.empty()) {
            Add("take", "no free name beside " + s_.dataFileName);
            Obstacle("every data file name beside " + s_.dataFileName + " up to the " +
                     std::to_string(kestro::kTakeNameTries) +
                     "th holds a take (or is too long for a frame record): remove takes you no "
                     "longer need (kestro-host takes), or name another data file with "
                     "--datafile NAME");
            return;
        }
        report_.nextTake = piece_;
        Add("take",
            "the next take goes to " + piece_ +
                (place_ == s_.dataFileName
                     ? std::string()
                     : " (" + s_.piecenames[0] + " holds an earlier take, which keeps its place)"));
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
        switch (kestro::ClassifyPiece(0, bytes_, pageSize_, false)) {
        case kestro::PieceHolds::Nothing:
        case kestro::PieceHolds::HeaderOnly:
            return ", no frames";
        case kestro::PieceHolds::Zeros:
        case kestro::PieceHolds::Frames:
            break;
        }
        return kestro::PieceHoldsFrames(piece_, 0, bytes_) ? ", holds an earlier take"
                                                           : ", space reserved in advance (zeros)";
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
    // The further data files of a striped take, each by the codec's rules for the data file: a
    // name the piece rule refuses is not looked up, each claims a free name of its own, and its
    // folder must be there. Frames go to them in turn, the data file's first.
    void Stripes() {
        const std::vector<std::string> files = s_.StripeFiles();
        const std::string* keys[] = {&s_.stripeFile1, &s_.stripeFile2, &s_.stripeFile3};
        int key = 0;
        for (size_t k = 1; k < files.size(); ++k) {
            while (keys[key]->empty())
                ++key;
            Stripe(files, k, "stripe" + std::to_string(++key));
        }
    }

    void Stripe(const std::vector<std::string>& files, size_t k, const std::string& key) {
        const std::string& name = files[k];
        const std::string what = "stripe " + std::to_string(k);
        const std::string first = kestro::FormatPieceName(name, 0);
        const std::string why = PathGate(files).Refusal(first, "");
        if (!why.empty() || !kestro::DataFileNameUsable(name, kestro::FileCallName)) {
            Add(what, first + ": not looked up");
            Obstacle("the stripe data file " + name + " (" + key + ") is refused: " +
                     (why.empty() ? std::string("its piece names are no absolute paths") : why) +
                     "; set another with --ini " + key + "=NAME, or clear it");
            return;
        }
        for (size_t j = 0; j < k; ++j)
            if (lstrcmpiA(files[j].c_str(), name.c_str()) == 0) {
                Add(what, name + ": the same data file as " + files[j]);
                Obstacle(key + " names " + name +
                         ", which the take already writes: each stripe "
                         "needs a data file of its own, on a disk of its own");
                return;
            }
        const std::string place = s_.overwrite ? name : kestro::TakePlace::Next(name);
        if (place.empty()) {
            Add(what, "no free name beside " + name);
            Obstacle("every data file name beside the stripe " + name + " up to the " +
                     std::to_string(kestro::kTakeNameTries) +
                     "th holds a take: remove takes you no longer need (kestro-host takes)");
            return;
        }
        const std::string piece = kestro::FormatPieceName(place, 0), folder = DirectoryOf(piece);
        if (piece.size() > longestPiece_.size())
            longestPiece_ = piece;
        report_.nextTake += ", then " + piece;
        std::string line = "frames " + std::to_string(k + 1) + " of every " +
                           std::to_string(files.size()) + " go to " + piece;
        for (size_t j = 0; j < k; ++j)
            if (lstrcmpiA(DirectoryOf(kestro::FormatPieceName(files[j], 0)).c_str(),
                          folder.c_str()) == 0)
                line += " (in the folder of " + files[j] + ": one disk writes both, no faster)";
        const DWORD attributes = GetFileAttributesA(folder.c_str());
        const GatedPath gated = PathGate(files).Piece(piece, "");
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            Add(what, line + "; its folder " + folder + " does not exist");
            Obstacle("the folder " + folder + " of the stripe data file " + piece +
                     " does not exist (the codec creates no folders): create it, or set another "
                     "with --ini " +
                     key + "=NAME");
            return;
        }
        if (gated.found == GatedPath::Found::NotRegular) {
            Add(what, line + ": no regular file");
            Obstacle(gated.why + ": set another stripe with --ini " + key + "=NAME");
            return;
        }
        Add(what, line);
        if (const uint64_t room = FreeBytesAt(piece); room != UINT64_MAX)
            Add("free", Megabytes(room) + " on " + folder);
    }

    void Records() {
        // A striped take's records name the pieces of every stripe: the longest name decides.
        const std::string& longest = longestPiece_.size() > piece_.size() ? longestPiece_ : piece_;
        const uint32_t record = kestro::FrameRecordBytes(longest.size());
        if (largestFrame_ <= 0 || uint64_t(largestFrame_) >= record)
            return;
        Add("frames", "records of " + std::to_string(record) +
                          " bytes, in frames the host keeps in " + std::to_string(largestFrame_) +
                          " bytes");
        Obstacle("a frame record of " + std::to_string(record) + " bytes (16 and the name " +
                 longest + ") does not fit the " + std::to_string(largestFrame_) +
                 " bytes a host keeps for a compressed frame of so small a picture: capture "
                 "larger pictures, or name a data file of a shorter name (--datafile NAME)");
    }

    const uint64_t frameBytes_;
    const int64_t largestFrame_;
    const std::string module_;
    const CCodecSettings s_;
    const std::string place_, piece_, folder_;
    const uint32_t pageSize_;
    bool exists_ = false;
    uint64_t bytes_ = 0;
    std::string longestPiece_; // the longest of the stripes' piece 0
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
    std::printf("check: a capture can start; the next take goes to %s\n", report.nextTake.c_str());
    return kExitOk;
}

} // namespace host
