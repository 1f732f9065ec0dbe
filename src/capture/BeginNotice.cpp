#include "capture/BeginNotice.h"

#include <cstring>

#include "edge/Win32Edge.h"
#include "pure/PiecePath.h"

namespace kestro {

namespace {

bool IsFolder(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder as a file call sees it: "C:" alone is the drive's current folder, "C:\" its root.
std::string FolderPath(const std::string& piece0) {
    std::string folder(FolderOf(piece0));
    if (folder.size() == 2 && folder[1] == ':')
        folder += '\\';
    return folder;
}

std::string SystemErrorText(DWORD error) {
    char text[256] = {};
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == ' ' || text[length - 1] == '.'))
        text[--length] = 0;
    std::string said = "system error " + std::to_string(error);
    return length ? said + ": " + text : said;
}

} // namespace

BeginRefusal OpenRefusal(const std::string& piece0, DWORD error) {
    if (!IsFolder(FolderPath(piece0)))
        return BeginRefusal::FolderMissing;
    bool pieceThere = GetFileAttributesA(piece0.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!pieceThere && (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT))
        return BeginRefusal::FolderNotWritable;
    return BeginRefusal::PieceNotOpened;
}

std::string BeginRefusalText(BeginRefusal refusal, const std::string& dataFile,
                             const std::string& piece0, DWORD error, const std::string& place) {
    std::string reason;
    switch (refusal) {
    case BeginRefusal::NameRefused: {
        const char* why = RefusalText(ClassifyPiecePath(piece0, FileCallName).refusal);
        reason = std::string("the data file name is refused: ") +
                 (*why ? why : "it is not a full path on a local or network drive");
        break;
    }
    case BeginRefusal::FolderMissing:
        reason = "the folder " + FolderPath(piece0) + " of the data file does not exist";
        break;
    case BeginRefusal::FolderNotWritable:
        reason = "the folder " + FolderPath(piece0) + " of the data file is not writable (" +
                 SystemErrorText(error) + ")";
        break;
    case BeginRefusal::PieceNotOpened:
        reason = "the first piece " + piece0 + " cannot be created or opened for writing (" +
                 (error == ERROR_SHARING_VIOLATION ? "another capture or a reservation uses it"
                  : error == ERROR_BAD_FILE_TYPE   ? "it is no disk file"
                                                   : SystemErrorText(error)) +
                 ")";
        break;
    case BeginRefusal::NoSpace:
        reason = "the disk of " + piece0 + " has too little free space for the first frames";
        break;
    case BeginRefusal::NameTooLong:
        reason = "the next free name beside it, " + piece0 +
                 ", is longer than a frame record holds for this picture";
        break;
    case BeginRefusal::AllNamesTaken:
        reason = "every name beside it up to " + piece0 +
                 " holds a take; remove takes you no longer need, or choose another data file";
        break;
    case BeginRefusal::StripeRepeated:
        reason = "a stripe names it again; each stripe needs a data file of its own, best on a "
                 "disk of its own";
        break;
    }
    return "Kestro32 cannot start the capture: " + reason + " (data file " + dataFile +
           (place.empty() ? "" : "; " + place) + ")";
}

bool InteractiveDesktop() {
    HWINSTA station = GetProcessWindowStation();
    if (!station)
        return false;
    char name[64] = {};
    DWORD needed = 0;
    if (!GetUserObjectInformationA(station, UOI_NAME, name, sizeof name - 1, &needed) ||
        _stricmp(name, "WinSta0") != 0)
        return false;
    USEROBJECTFLAGS flags{};
    if (!GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed))
        return false;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

bool SayBeginRefusal(const std::string& text, bool quiet) {
    OutputDebugStringA((text + "\n").c_str());
    if (quiet || !InteractiveDesktop())
        return false;
    // No owner: the codec does not know the host's window. Task-modal and in front, so that
    // the box is not lost behind the capture program's preview.
    MessageBoxA(nullptr, (text + ".").c_str(), "Kestro32",
                MB_OK | MB_ICONWARNING | MB_TASKMODAL | MB_SETFOREGROUND | MB_TOPMOST);
    return true;
}

} // namespace kestro
