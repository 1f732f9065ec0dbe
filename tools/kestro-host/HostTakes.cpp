// takes: the takes of a data file and its numbered siblings, found in their folder, and the
// removal of one of them, never of a piece that a program holds open.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "Host.h"
#include "HostWin.h"
#include "PathGate.h"
#include "TakeList.h"
#include "edge/TakeFiles.h"
#include "pure/FrameJournal.h"
#include "pure/SettingsText.h"
#include "settings/CodecSettings.h"

namespace host {

namespace {

bool EndsWithCaseless(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() > n && lstrcmpiA(text.c_str() + text.size() - n, suffix) == 0;
}

// The names of `folder` (ending in a separator) as they lie there; a link or a folder is no
// regular file. Empty after a message when it cannot be listed.
std::optional<std::vector<kestro::avi::FolderEntry>> ListFolder(const std::string& folder,
                                                                const char* pattern = "*") {
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((folder + pattern).c_str(), &found);
    std::vector<kestro::avi::FolderEntry> entries;
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES)
            return entries;
        Error("cannot list " + folder + ": " + SystemMessage(error));
        return std::nullopt;
    }
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        const bool regular =
            !(found.dwFileAttributes &
              (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
        entries.push_back(
            {name, uint64_t(found.nFileSizeHigh) << 32 | found.nFileSizeLow, regular});
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return entries;
}

void NoteAvis(std::string aviDir, std::vector<kestro::avi::DataFileTakes>& takes) {
    if (aviDir.back() != '\\' && aviDir.back() != '/')
        aviDir += '\\';
    auto entries = ListFolder(aviDir, "*.avi");
    for (const auto& entry : entries ? *entries : std::vector<kestro::avi::FolderEntry>{}) {
        HandleFile file;
        std::string error;
        if (!entry.regular || !EndsWithCaseless(entry.name, ".avi"))
            continue;
        if (!file.Open(aviDir + entry.name, false, false))
            Warning("cannot open " + aviDir + entry.name + ": " + file.LastError());
        else if (!kestro::avi::NoteAvi(file, entry.name, takes, error))
            Warning(aviDir + entry.name + ": not read as a capture: " + error);
    }
}

// The other data files of each striped take: a name from a take file, looked at only where the
// codec's rule would open its pieces.
void FindStripes(std::vector<kestro::avi::DataFileTakes>& takes, const std::string& folder) {
    for (auto& data : takes) {
        data.stripes = kestro::avi::StripesOf(data);
        for (auto& stripe : data.stripes) {
            const std::string where =
                "stripe " + std::to_string(stripe.stripe) + " named by " + folder + data.takeFile;
            stripe.refusal = PathGate().Refusal(kestro::FormatPieceName(stripe.dataFile, 0), where);
            if (!stripe.refusal.empty())
                continue;
            stripe.folder = DirectoryOf(stripe.dataFile);
            // A folder that is not here (a disk not plugged in) holds none of its files.
            const DWORD attributes = GetFileAttributesA(stripe.folder.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                continue;
            if (auto entries = ListFolder(stripe.folder)) {
                kestro::avi::NoteStripeFiles(stripe, *entries);
                if (!stripe.takeFile.empty())
                    stripe.take = ReadTakeFile(stripe.folder + stripe.takeFile);
            } else {
                stripe.refusal = "its folder " + stripe.folder + " cannot be listed";
            }
        }
    }
}

// Every piece opened for nobody else: a capture or a player that holds one makes it fail. The
// handles stay open until the pieces go; empty after a message when one is held or cannot open.
std::vector<UniqueFile> HoldAlone(const std::vector<std::string>& paths) {
    std::vector<UniqueFile> held;
    for (const auto& path : paths) {
        if (std::string why = PathGate().Refusal(path, ""); !why.empty()) {
            Error("nothing removed: " + why);
            return {};
        }
        UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file) {
            const DWORD error = GetLastError();
            Error("nothing removed: " + path +
                  (error == ERROR_SHARING_VIOLATION
                       ? std::string(" is in use: a program (a capture or a player) holds it open; "
                                     "close it first")
                       : " cannot be opened alone: " + SystemMessage(error)));
            return {};
        }
        held.push_back(std::move(file));
    }
    return held;
}

// Asked on the console; without one, only --yes removes.
bool Confirmed(bool yes) {
    DWORD mode = 0;
    if (yes)
        return true;
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        Error("nothing removed: standard input is no console to ask on (--yes removes without "
              "asking)");
        return false;
    }
    std::fputs("remove it? [y/N] ", stderr);
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin) || (answer[0] != 'y' && answer[0] != 'Y')) {
        Note("nothing removed");
        return false;
    }
    return true;
}

// The journal beside the pieces goes with its take: only when its header names that take (a
// later capture into the name has replaced it otherwise). True when one was removed.
bool RemoveJournal(const std::string& journal, uint32_t take) {
    UniqueFile file(CreateFileA(journal.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK)
        return false;
    uint8_t header[kestro::kJournalHeaderBytes] = {};
    DWORD got = 0;
    if (!ReadFile(file.get(), header, sizeof header, &got, nullptr) || got != sizeof header)
        return false;
    const kestro::JournalRead read = kestro::ParseJournal(header);
    file.reset();
    return read.header && read.header->take == take && DeleteFileA(journal.c_str());
}

// Every take file of the take, as the removal marks it: the one listed first, then each stripe's.
std::vector<std::pair<std::string, const kestro::TakeFile*>>
TakeFilesOf(const kestro::avi::RemovalPlan& plan, const std::string& folder) {
    std::vector<std::pair<std::string, const kestro::TakeFile*>> files = {
        {folder + plan.data->takeFile, &*plan.data->take.take}};
    for (const kestro::avi::StripeFound* stripe : plan.stripes)
        files.push_back({stripe->folder + stripe->takeFile, &*stripe->take.take});
    return files;
}

// The journal lies beside the take's first data file.
std::string JournalOf(const kestro::avi::RemovalPlan& plan, const std::string& folder) {
    for (const kestro::avi::StripeFound* stripe : plan.stripes)
        if (stripe->stripe == 0)
            return stripe->folder + kestro::JournalFileName(stripe->base);
    return folder + kestro::JournalFileName(plan.data->base);
}

int Remove(const TakesOptions& options, const std::string& folder,
           const std::vector<kestro::avi::DataFileTakes>& takes) {
    // Whether a capture still writes the take is told by its pieces held open, not by its end.
    const kestro::avi::RemovalPlan plan = kestro::avi::PlanRemoval(takes, options.remove, false);
    if (!plan.refusal.empty()) {
        Error("nothing removed: " + plan.refusal);
        return kExitUsage;
    }
    std::vector<std::string> paths;
    for (const auto& piece : plan.pieces)
        paths.push_back(folder + piece);
    for (const kestro::avi::StripeFound* stripe : plan.stripes)
        for (const auto& piece : stripe->pieces)
            paths.push_back(stripe->folder + piece.name);
    std::vector<UniqueFile> held = HoldAlone(paths);
    if (held.size() != paths.size())
        return kExitUsage;
    std::fputs(kestro::avi::RemovalText(plan, folder).c_str(), stdout);
    std::fflush(stdout);
    if (!Confirmed(options.yes))
        return options.yes ? kExitOk : kExitUsage;
    // The marks first: a removal cut short leaves a take that says so and can be removed again.
    const std::string now = kestro::TakeTimeNow();
    for (const auto& [takeFile, take] : TakeFilesOf(plan, folder)) {
        if (!kestro::WriteTakeFileAt(takeFile, kestro::avi::RemovedTake(*take, now))) {
            Error("nothing removed: cannot write " + takeFile + ": " +
                  SystemMessage(GetLastError()));
            return kExitPartial;
        }
    }
    held.clear();
    int code = kExitOk;
    for (const auto& path : paths) {
        if (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            Error("cannot remove " + path + ": " + SystemMessage(GetLastError()));
            code = kExitPartial;
        }
    }
    const bool journal = RemoveJournal(JournalOf(plan, folder), plan.data->take.take->id);
    std::printf("removed take %s: %zu piece(s), %llu bytes%s\n",
                kestro::TakeIdText(plan.data->take.take->id).c_str(), paths.size(),
                (unsigned long long)plan.bytes, journal ? ", and its journal" : "");
    return code;
}

} // namespace

int RunTakes(const TakesOptions& options) {
    std::string dataFile = options.dataFile;
    if (dataFile.empty())
        dataFile = ReadSetting(SettingKeyOf(&CCodecSettings::dataFileName));
    const DWORD attributes = GetFileAttributesA(dataFile.c_str());
    const bool wholeFolder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    std::string folder = wholeFolder ? dataFile + "\\" : DirectoryOf(dataFile);
    std::string base = wholeFolder ? std::string() : dataFile.substr(folder.size());
    if (EndsWithCaseless(base, ".take"))
        base.resize(base.size() - 5);
    else if (kestro::TakeFileOfPiece(base))
        base.resize(base.size() - 4);
    // The folder is listed only where the codec would open a piece of it.
    if (std::string why =
            PathGate().Refusal(folder + (base.empty() ? "take" : base) + ".000", "the data file");
        !why.empty()) {
        Error(why);
        return kExitUsage;
    }
    auto entries = ListFolder(folder);
    if (!entries)
        return kExitUsage;
    auto takes = kestro::avi::GroupDataFiles(*entries);
    if (!base.empty())
        takes = kestro::avi::FamilyOf(std::move(takes), base);
    if (takes.empty()) {
        Error(base.empty() ? "no data file in " + folder
                           : "no data file " + base + " (nor a numbered sibling) in " + folder);
        return kExitBroken;
    }
    for (auto& data : takes)
        if (!data.takeFile.empty())
            data.take = ReadTakeFile(folder + data.takeFile);
    FindStripes(takes, folder);
    if (!options.aviDir.empty())
        NoteAvis(options.aviDir, takes);
    if (!options.remove.empty())
        return Remove(options, folder, takes);
    std::fputs(kestro::avi::TakesText(takes, folder, !options.aviDir.empty()).c_str(), stdout);
    return kExitOk;
}

} // namespace host
