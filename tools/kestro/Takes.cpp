// takes: the takes of a data file and its numbered siblings, found in their folder, and the
// removal of one of them on request.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <set>

#include "Commands.h"
#include "Files.h"
#include "Kestro.h"
#include "Messages.h"
#include "Pieces.h"
#include "TakeBeside.h"
#include "TakeList.h"
#include "pure/FrameJournal.h"
#include "pure/SettingsText.h"

namespace kestro::tool {

namespace {

std::string InFolder(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// The names of `folder` as they lie there: a link is no regular file, whatever it leads to.
std::optional<std::vector<avi::FolderEntry>> ListFolder(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return std::nullopt;
    std::vector<avi::FolderEntry> entries;
    while (dirent* e = readdir(dir)) {
        struct stat st;
        const std::string name = e->d_name;
        if (name == "." || name == ".." || lstat(InFolder(folder, name).c_str(), &st) != 0)
            continue;
        entries.push_back({name, uint64_t(st.st_size), S_ISREG(st.st_mode)});
    }
    closedir(dir);
    return entries;
}

// The data file an argument names: a folder lists all of them; a piece or a take file stands
// for its data file.
void SplitArgument(const std::string& arg, std::string& folder, std::string& base) {
    struct stat st;
    if (stat(arg.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        folder = arg;
        base.clear();
        return;
    }
    folder = DirOf(arg);
    base = LeafOf(arg);
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0 &&
        (strcasecmp(base.c_str() + dot, ".take") == 0 || TakeFileOfPiece(base)))
        base.resize(dot);
}

void NoteAvis(const std::string& aviDir, std::vector<avi::DataFileTakes>& takes) {
    auto entries = ListFolder(aviDir);
    if (!entries) {
        Warning("cannot list " + aviDir + ": " + Reason(errno));
        return;
    }
    for (const auto& entry : *entries) {
        if (!entry.regular || entry.name.size() < 5 ||
            strcasecmp(entry.name.c_str() + entry.name.size() - 4, ".avi") != 0)
            continue;
        PosixFile file(InFolder(aviDir, entry.name), O_RDONLY);
        std::string error;
        if (!file.ok())
            Warning(CannotOpen(InFolder(aviDir, entry.name), file));
        else if (!avi::NoteAvi(file, entry.name, takes, error))
            Warning(InFolder(aviDir, entry.name) + ": not read as a capture: " + error);
    }
}

// The other data files of each striped take: a name from a take file, looked for only where the
// piece rule accepts its pieces and the path rules (--map, the Wine prefix) lead.
void FindStripes(const Options& options, std::vector<avi::DataFileTakes>& takes) {
    PieceFinder finder(options.rules);
    for (auto& data : takes) {
        data.stripes = avi::StripesOf(data);
        for (auto& stripe : data.stripes) {
            if (auto refused = finder.Refusal(FormatPieceName(stripe.dataFile, 0))) {
                stripe.refusal = *refused;
                continue;
            }
            const auto folder = finder.LocalFolderOf(stripe.dataFile);
            auto entries = folder ? ListFolder(*folder) : std::nullopt;
            if (!folder) {
                stripe.refusal = "no folder of it is here (--map maps its Windows folder to one)";
            } else if (!entries) {
                stripe.refusal = "cannot list " + *folder + ": " + Reason(errno);
            } else {
                stripe.folder = InFolder(*folder, "");
                avi::NoteStripeFiles(stripe, *entries);
                if (!stripe.takeFile.empty())
                    stripe.take = ReadTakeFile(stripe.folder + stripe.takeFile);
            }
        }
    }
}

// Which of `paths` a process holds open, by what /proc shows of every process; empty when none
// does (or /proc cannot be read: only what it shows is known).
std::string HeldOpen(const std::vector<std::string>& paths) {
    std::set<std::pair<dev_t, ino_t>> files;
    for (const auto& path : paths) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0)
            files.insert({st.st_dev, st.st_ino});
    }
    DIR* proc = opendir("/proc");
    std::string held;
    while (dirent* p = proc && held.empty() ? readdir(proc) : nullptr) {
        const std::string pid = p->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            pid == std::to_string(getpid()))
            continue;
        DIR* fds = opendir(("/proc/" + pid + "/fd").c_str());
        while (dirent* f = fds && held.empty() ? readdir(fds) : nullptr) {
            struct stat st;
            const std::string link = "/proc/" + pid + "/fd/" + f->d_name;
            if (stat(link.c_str(), &st) == 0 && files.count({st.st_dev, st.st_ino}))
                held = "process " + pid + " holds one of its pieces open";
        }
        if (fds)
            closedir(fds);
    }
    if (proc)
        closedir(proc);
    return held;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    return TakeTimeText(unsigned(utc.tm_year + 1900), unsigned(utc.tm_mon + 1),
                        unsigned(utc.tm_mday), unsigned(utc.tm_hour), unsigned(utc.tm_min),
                        unsigned(utc.tm_sec));
}

// Asked on the terminal; without one, only --yes removes.
bool Confirmed(const Options& options) {
    if (options.yes)
        return true;
    if (!isatty(STDIN_FILENO)) {
        Error("nothing removed: standard input is no terminal to ask on (--yes removes without "
              "asking)");
        return false;
    }
    std::fputs("remove it? [y/N] ", stderr);
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin) || (answer[0] != 'y' && answer[0] != 'Y')) {
        std::fputs("nothing removed\n", stderr);
        return false;
    }
    return true;
}

// The journal beside the pieces goes with its take: only when its header names that take (a
// later capture into the name has replaced it otherwise). True when one was removed.
bool RemoveJournal(const std::string& journal, uint32_t take) {
    const int fd = open(journal.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    uint8_t header[kJournalHeaderBytes] = {};
    const bool read = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                      ::read(fd, header, sizeof header) == ssize_t(sizeof header);
    close(fd);
    if (!read)
        return false;
    const JournalRead journalRead = ParseJournal(header);
    return journalRead.header && journalRead.header->take == take && unlink(journal.c_str()) == 0;
}

// Every take file of the take, as the removal marks it: the one listed first, then each stripe's.
std::vector<std::pair<std::string, const TakeFile*>> TakeFilesOf(const avi::RemovalPlan& plan,
                                                                 const std::string& folder) {
    std::vector<std::pair<std::string, const TakeFile*>> files = {
        {InFolder(folder, plan.data->takeFile), &*plan.data->take.take}};
    for (const avi::StripeFound* stripe : plan.stripes)
        files.push_back({stripe->folder + stripe->takeFile, &*stripe->take.take});
    return files;
}

// The journal lies beside the take's first data file.
std::string JournalOf(const avi::RemovalPlan& plan, const std::string& folder) {
    for (const avi::StripeFound* stripe : plan.stripes)
        if (stripe->stripe == 0)
            return stripe->folder + JournalFileName(stripe->base);
    return InFolder(folder, JournalFileName(plan.data->base));
}

int Remove(const Options& options, const std::string& folder,
           const std::vector<avi::DataFileTakes>& takes) {
    const avi::RemovalPlan plan = avi::PlanRemoval(takes, options.removeId, true);
    if (!plan.refusal.empty()) {
        Error("nothing removed: " + plan.refusal);
        return kExitUsage;
    }
    std::vector<std::string> paths;
    for (const auto& piece : plan.pieces)
        paths.push_back(InFolder(folder, piece));
    for (const avi::StripeFound* stripe : plan.stripes)
        for (const auto& piece : stripe->pieces)
            paths.push_back(stripe->folder + piece.name);
    if (std::string held = HeldOpen(paths); !held.empty()) {
        Error("nothing removed: " + held + " (a capture or a player): close it first");
        return kExitUsage;
    }
    std::fputs(avi::RemovalText(plan, folder + "/").c_str(), stdout);
    std::fflush(stdout);
    if (!Confirmed(options))
        return options.yes || isatty(STDIN_FILENO) ? kExitOk : kExitUsage;
    // The marks first: a removal cut short leaves a take that says so and can be removed again.
    const std::string now = UtcNow();
    for (const auto& [takeFile, take] : TakeFilesOf(plan, folder)) {
        const std::string text = FormatTakeFile(avi::RemovedTake(*take, now));
        std::string error;
        OutputFile out;
        if (!out.Create(takeFile, UsualMode(), error) ||
            !WriteAll(out.fd(), text.data(), text.size()) || !out.Finish(true, true, error)) {
            Error("nothing removed: " + (error.empty() ? "cannot write " + takeFile : error));
            return kExitOutput;
        }
    }
    int code = kExitOk;
    for (const auto& path : paths) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            Error("cannot remove " + path + ": " + Reason(errno));
            code = kExitOutput;
        }
    }
    const bool journal = RemoveJournal(JournalOf(plan, folder), plan.data->take.take->id);
    for (const auto& [takeFile, take] : TakeFilesOf(plan, folder))
        SyncFolderOf(takeFile);
    std::printf("removed take %s: %zu piece(s), %llu bytes%s\n",
                TakeIdText(plan.data->take.take->id).c_str(), paths.size(),
                (unsigned long long)plan.bytes, journal ? ", and its journal" : "");
    return code;
}

} // namespace

int RunTakes(const Options& options) {
    if (options.args.size() != 1) {
        Error("usage: kestro takes DATAFILE|FOLDER [--avi-dir DIR] [--remove ID [--yes]]");
        return kExitUsage;
    }
    std::string folder, base;
    SplitArgument(options.args[0], folder, base);
    auto entries = ListFolder(folder);
    if (!entries) {
        Error("cannot list " + folder + ": " + Reason(errno));
        return kExitUsage;
    }
    auto takes = avi::GroupDataFiles(*entries);
    if (!base.empty())
        takes = avi::FamilyOf(std::move(takes), base);
    if (takes.empty()) {
        Error(base.empty() ? "no data file in " + folder
                           : "no data file " + base + " (nor a numbered sibling) in " + folder);
        return kExitBroken;
    }
    for (auto& data : takes)
        if (!data.takeFile.empty())
            data.take = ReadTakeFile(InFolder(folder, data.takeFile));
    FindStripes(options, takes);
    if (!options.avisDir.empty())
        NoteAvis(options.avisDir, takes);
    if (!options.removeId.empty())
        return Remove(options, folder, takes);
    std::fputs(avi::TakesText(takes, folder + "/", !options.avisDir.empty()).c_str(), stdout);
    return kExitOk;
}

} // namespace kestro::tool
