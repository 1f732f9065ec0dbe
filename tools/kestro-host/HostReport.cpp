// report: a capture's take as its AVI and the frame journal beside its pieces tell it, as text
// and, with --html, as a page of its own. The same words as the native tool's: both print what
// the shared report makes of the same bytes.
#include <windows.h>

#include <cstdio>

#include "Host.h"
#include "HostWin.h"
#include "PathGate.h"
#include "TakeReport.h"

namespace host {

namespace {

namespace avi = kestro::avi;

// What lies where a journal belongs: nothing (`found` false), its bytes, or why it is not read.
struct JournalFile {
    bool found = false;
    std::vector<uint8_t> bytes;
    std::string refusal;
};

// The journal at `path`, read whole; anything but a regular file on a disk is refused, and a
// link or junction is not followed.
JournalFile ReadJournalAt(const std::string& path) {
    JournalFile j;
    UniqueFile file(CreateFileA(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        j.found = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
        j.refusal = "cannot be opened: " + SystemMessage(error);
        return j;
    }
    j.found = true;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info))
        j.refusal = "is no file on a disk (a pipe, a device or a port)";
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        j.refusal = "is a link (a reparse point), which is not followed";
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        j.refusal = "is a folder";
    if (!j.refusal.empty())
        return j;
    const uint64_t size = uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    if (size > kestro::kMaxJournalBytes) {
        j.refusal = "is " + std::to_string(size) + " bytes, larger than a journal may be (" +
                    std::to_string(kestro::kMaxJournalBytes >> 20) + " MiB)";
        return j;
    }
    // One byte more than it holds: a journal that grew meanwhile is read as far as it went.
    j.bytes.resize(size_t(size) + 1);
    size_t got = 0;
    DWORD n = 0;
    while (got < j.bytes.size() &&
           ReadFile(file.get(), j.bytes.data() + got, DWORD(j.bytes.size() - got), &n, nullptr) &&
           n > 0)
        got += n;
    j.bytes.resize(got);
    return j;
}

bool WritePage(const std::string& final, const std::string& page) {
    RemoveLeftovers(final, "report");
    HandleFile out;
    std::string temporary;
    if (!CreateTemporary(final, out, temporary)) {
        Error("cannot create " + temporary + ": " + out.LastError());
        return false;
    }
    if (!out.WriteAt(0, page.data(), page.size()) || !out.Flush() || !out.Close()) {
        Error("cannot write " + temporary + ": " + out.LastError());
        out.Close();
        DeleteFileA(temporary.c_str());
        return false;
    }
    if (!MoveFileExA(temporary.c_str(), final.c_str(),
                     MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING)) {
        Error("cannot rename " + temporary + " to " + final + ": " + SystemMessage(GetLastError()));
        DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

int Print(const std::string& path, const std::string& html, const avi::TakeFacts& facts,
          const std::string& journalPath, const kestro::JournalRead* read,
          const avi::JournalFindings* findings, const std::string& noJournal) {
    const std::string text = avi::ReportText(path, facts, journalPath, read, findings, noJournal);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    if (!html.empty() && !WritePage(html, avi::ReportPage(path, text, findings)))
        return kExitPartial;
    return kExitOk;
}

} // namespace

int RunReport(const std::string& path, const std::string& html) {
    HandleFile file;
    if (!file.Open(path, false, false, true)) {
        Error("cannot open " + path + ": " + file.LastError());
        return kExitUsage;
    }
    std::string error;
    auto facts = avi::ReadTakeFacts(file, error);
    if (!facts) {
        Error(path + ": " + error);
        return kExitUsage;
    }
    if (facts->pieces.empty())
        return Print(path, html, *facts, "", nullptr, nullptr,
                     "none: the AVI holds no frame record");
    // The journal lies beside the first piece the records name, where the piece rule lets this
    // program look; a striped take's beside its first data file, as the take file there says.
    std::string piece = facts->pieces.front();
    if (const std::string why = PathGate().Refusal(piece, "record 0 of " + path); !why.empty()) {
        Error(why);
        return kExitBroken;
    }
    std::string takeFile;
    if (auto first = avi::NoteStripes(TakeBeside(piece, &takeFile), *facts)) {
        if (const std::string why = PathGate().Refusal(*first, "the take file " + takeFile);
            !why.empty()) {
            Error(why);
            return kExitBroken;
        }
        piece = *first;
    }
    const std::string journalPath = avi::JournalOfPiece(piece).value_or(piece + ".journal");
    const JournalFile journal = ReadJournalAt(journalPath);
    if (!journal.found)
        return Print(path, html, *facts, "", nullptr, nullptr,
                     "none beside the pieces (" + journalPath + ")");
    if (!journal.refusal.empty()) {
        Error("the journal " + journalPath + " " + journal.refusal);
        return kExitBroken;
    }
    std::string refusal;
    const kestro::JournalRead read =
        avi::ReadJournalFor(journal.bytes, *facts, journalPath, refusal);
    if (!refusal.empty()) {
        Error(refusal);
        return kExitBroken;
    }
    const avi::JournalFindings findings = avi::AnalyseJournal(read, *facts);
    return Print(path, html, *facts, journalPath, &read, &findings, "");
}

} // namespace host
