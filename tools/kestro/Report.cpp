// report: a capture's take as its AVI and the frame journal beside its pieces tell it, as text
// and, with --html, as a page of its own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Commands.h"
#include "Files.h"
#include "Kestro.h"
#include "Messages.h"
#include "Pieces.h"
#include "TakeBeside.h"
#include "TakeReport.h"

namespace kestro::tool {

namespace {

// What lies where a journal belongs: nothing (`found` false), its bytes, or why it is not read.
struct JournalFile {
    bool found = false;
    std::string path; // as it was found (its name may differ in case)
    std::vector<uint8_t> bytes;
    std::string refusal;
};

// Reads the regular file `path` whose lstat gave `seen`, never more than a journal may hold.
void ReadRegular(JournalFile& j, const struct stat& seen) {
    const int fd = open(j.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        j.refusal = "cannot be opened: " + Reason(errno);
        return;
    }
    struct stat st;
    const bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == seen.st_dev &&
                      st.st_ino == seen.st_ino;
    // One byte more than a journal may hold: a file that grew meanwhile reads as too large.
    j.bytes.resize(same ? size_t(std::min<uint64_t>(uint64_t(st.st_size), kMaxJournalBytes)) + 1
                        : 0);
    size_t got = 0;
    int error = 0;
    while (got < j.bytes.size()) {
        const ssize_t n = read(fd, j.bytes.data() + got, j.bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        got += size_t(n);
    }
    close(fd);
    j.bytes.resize(got);
    if (!same)
        j.refusal = "was replaced while it was read";
    else if (error)
        j.refusal = "cannot be read: " + Reason(error);
}

// The journal at the local `path`, matched without regard to case where the exact name is
// absent; anything but a regular file is refused, and a link is never followed.
JournalFile ReadJournalFile(const std::string& path) {
    JournalFile j;
    j.path = path;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            j.found = true;
            j.refusal = "cannot be looked at: " + Reason(errno);
            return j;
        }
        auto other = JoinCaseless(DirOf(path), {LeafOf(path)});
        if (!other || *other == path || lstat(other->c_str(), &st) != 0)
            return j;
        j.path = *other;
    }
    j.found = true;
    if (S_ISLNK(st.st_mode))
        j.refusal = "is a symbolic link, which is not followed";
    else if (S_ISDIR(st.st_mode))
        j.refusal = "is a folder";
    else if (!S_ISREG(st.st_mode))
        j.refusal = "is no regular file (a FIFO, a device or a socket)";
    else if (uint64_t(st.st_size) > kMaxJournalBytes)
        j.refusal = "is " + std::to_string(st.st_size) + " bytes, larger than a journal may be (" +
                    std::to_string(kMaxJournalBytes >> 20) + " MiB)";
    else
        ReadRegular(j, st);
    return j;
}

bool WritePage(const std::string& path, const std::string& page) {
    OutputFile out;
    std::string error;
    if (!out.Create(path, UsualMode(), error)) {
        Error(error);
        return false;
    }
    SayRemoved(out);
    if (!WriteAll(out.fd(), page.data(), page.size())) {
        Error("cannot write " + out.temp() + ": " + Reason(errno));
        return false;
    }
    if (!out.Finish(true, false, error)) {
        Error(error);
        return false;
    }
    return true;
}

int Print(const Options& options, const avi::TakeFacts& facts, const std::string& journalPath,
          const JournalRead* read, const avi::JournalFindings* findings,
          const std::string& noJournal) {
    const std::string& path = options.args[0];
    const std::string text = avi::ReportText(path, facts, journalPath, read, findings, noJournal);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    if (!options.html.empty() && !WritePage(options.html, avi::ReportPage(path, text, findings)))
        return kExitOutput;
    return kExitOk;
}

} // namespace

int RunReport(const Options& options) {
    if (options.args.size() != 1) {
        Error("usage: kestro report IN.avi [--html FILE]");
        return kExitUsage;
    }
    const std::string& path = options.args[0];
    PosixFile file(path, O_RDONLY);
    if (!file.ok()) {
        Error(CannotOpen(path, file));
        return kExitUsage;
    }
    std::string error;
    auto facts = avi::ReadTakeFacts(file, error);
    if (!facts) {
        Error(path + ": " + error);
        return kExitUsage;
    }
    if (facts->pieces.empty())
        return Print(options, *facts, "", nullptr, nullptr, "none: the AVI holds no frame record");
    // The journal lies beside the first piece the records name, looked for as the piece is; a
    // striped take's beside its first data file, as the take file beside that piece says.
    PieceFinder finder(options.rules);
    const std::string& piece = facts->pieces.front();
    if (auto refusal = finder.Refusal(piece)) {
        Error(path + ": record 0 names " + Shown(piece) + ", which is not looked for: " + *refusal);
        return kExitBroken;
    }
    std::string why;
    const Piece* found = finder.Find(piece, why);
    auto journalPath = found ? avi::JournalOfPiece(found->path) : std::nullopt;
    const auto takeFile = found ? TakeFileBeside(found->path) : std::nullopt;
    if (auto first = takeFile ? avi::NoteStripes(ReadTakeFile(*takeFile), *facts) : std::nullopt) {
        if (auto refusal = finder.Refusal(*first)) {
            Error(path + ": the take file " + *takeFile + " names the first data file's piece " +
                  Shown(*first) + ", which is not looked for: " + *refusal);
            return kExitBroken;
        }
        const std::string windowsJournal = *avi::JournalOfPiece(*first);
        std::string other;
        journalPath = finder.Locate(windowsJournal, &other);
        if (!journalPath && !other.empty())
            journalPath = other; // refused below, by what it is
        if (!journalPath)
            return Print(options, *facts, "", nullptr, nullptr,
                         "none beside the take's first data file (" + Shown(windowsJournal) + ")");
    }
    if (!journalPath)
        return Print(options, *facts, "", nullptr, nullptr,
                     "not looked for: the first piece, " + Shown(piece) + ", is not here (" + why +
                         ")");
    const JournalFile journal = ReadJournalFile(*journalPath);
    if (!journal.found)
        return Print(options, *facts, "", nullptr, nullptr,
                     "none beside the pieces (" + *journalPath + ")");
    if (!journal.refusal.empty()) {
        Error("the journal " + journal.path + " " + journal.refusal);
        return kExitBroken;
    }
    std::string refusal;
    const JournalRead read = avi::ReadJournalFor(journal.bytes, *facts, journal.path, refusal);
    if (!refusal.empty()) {
        Error(refusal);
        return kExitBroken;
    }
    const avi::JournalFindings findings = avi::AnalyseJournal(read, *facts);
    return Print(options, *facts, journal.path, &read, &findings, "");
}

} // namespace kestro::tool
