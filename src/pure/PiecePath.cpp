#include "pure/PiecePath.h"

#include <string>

#include "pure/FrameRecord.h"
#include "pure/SettingsText.h"

namespace kestro {

namespace {

bool IsSlash(char c) {
    return c == '\\' || c == '/';
}

bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

// Windows 10 counts the superscript digits one to three as digits in COMn and LPTn. Which byte
// the player's code page turns into one is not known here: every byte that is one somewhere.
constexpr std::string_view kSuperscriptDigits[] = {"\xB9",     "\xB2",     "\xB3",
                                                   "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};

// The system maps these names to devices in any folder and with any extension.
bool IsDeviceName(std::string_view component) {
    std::string_view base = component.substr(0, component.find('.'));
    // Trailing dots and spaces are dropped before the name is looked up.
    while (!base.empty() && (base.back() == ' ' || base.back() == '.'))
        base.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"})
        if (SameLetters(base, device))
            return true;
    if (base.size() < 4 ||
        !(SameLetters(base.substr(0, 3), "COM") || SameLetters(base.substr(0, 3), "LPT")))
        return false;
    std::string_view digit = base.substr(3);
    if (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9')
        return true;
    for (std::string_view superscript : kSuperscriptDigits)
        if (digit == superscript)
            return true;
    return false;
}

// \\.\, \\?\ and \??\ reach pipes, volumes and devices by their object names.
bool InDeviceNamespace(std::string_view path) {
    return path.size() >= 4 && IsSlash(path[3]) &&
           ((IsSlash(path[0]) && IsSlash(path[1]) && (path[2] == '.' || path[2] == '?')) ||
            (IsSlash(path[0]) && path[1] == '?' && path[2] == '?'));
}

bool HasPieceSuffix(std::string_view path) {
    if (path.size() < 5)
        return false;
    std::string_view suffix = path.substr(path.size() - 4);
    return suffix[0] == '.' && suffix[1] >= '0' && suffix[1] <= '4' && suffix[2] >= '0' &&
           suffix[2] <= '9' && suffix[3] >= '0' && suffix[3] <= '9';
}

// Takes the next component off `rest`, skipping the separators before it; "" at the end.
std::string_view NextComponent(std::string_view& rest) {
    size_t start = 0;
    while (start < rest.size() && IsSlash(rest[start]))
        ++start;
    size_t end = start;
    while (end < rest.size() && !IsSlash(rest[end]))
        ++end;
    std::string_view component = rest.substr(start, end - start);
    rest.remove_prefix(end);
    return component;
}

bool OnlyDotsAndSpaces(std::string_view component) {
    return component.find_first_not_of(". ") == std::string_view::npos;
}

// The first refusal that a component of `rest` gives. The host and the share of a network path
// (its first two components) are no file names, so no device names either; `devices` false
// leaves device names out altogether.
PathRefusal CheckComponents(std::string_view rest, bool network, bool devices = true) {
    for (int index = 0;; ++index) {
        std::string_view component = NextComponent(rest);
        if (component.empty())
            return PathRefusal::None;
        if (component.find(':') != std::string_view::npos)
            return PathRefusal::Colon;
        if (OnlyDotsAndSpaces(component))
            return PathRefusal::DotComponent;
        if (devices && !(network && index < 2) && IsDeviceName(component))
            return PathRefusal::DeviceName;
    }
}

// \\host\share with one separator between them: what else the system makes of doubled
// separators there is not worth guessing.
bool HasHostAndShare(std::string_view path) {
    if (path.size() < 5 || !IsSlash(path[0]) || !IsSlash(path[1]) || IsSlash(path[2]))
        return false;
    size_t slash = 2;
    while (slash < path.size() && !IsSlash(path[slash]))
        ++slash;
    return slash + 1 < path.size() && !IsSlash(path[slash + 1]);
}

size_t ComponentCount(std::string_view rest) {
    size_t count = 0;
    while (!NextComponent(rest).empty())
        ++count;
    return count;
}

// ASCII letters without regard to case; a byte after one of 0x80 or more may be the second half
// of a double-byte character, whose case the system does not fold that way, so it must be equal.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        bool exact = i > 0 && uint8_t(a[i - 1]) >= 0x80;
        if (exact ? a[i] != b[i] : Upper(a[i]) != Upper(b[i]))
            return false;
    }
    return true;
}

PathClass Refuse(PathRefusal refusal) {
    return PathClass{PathKind::Refused, refusal};
}

} // namespace

bool IsPiecePath(std::string_view path) {
    if (InDeviceNamespace(path) || !HasPieceSuffix(path))
        return false;
    size_t slash = path.find_last_of("\\/:");
    return !IsDeviceName(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

PathClass ClassifyPiecePath(std::string_view path) {
    if (path.empty() || path.size() > kMaxRecordPath)
        return Refuse(PathRefusal::NotAPieceName);
    if (InDeviceNamespace(path))
        return Refuse(PathRefusal::DeviceNamespace);
    const bool network = path.size() >= 2 && IsSlash(path[0]) && IsSlash(path[1]);
    const bool drive = !network && path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == ':';
    std::string_view rest = network ? path.substr(2) : drive ? path.substr(2) : path;
    PathRefusal refusal = CheckComponents(rest, network);
    if (refusal != PathRefusal::None)
        return Refuse(refusal);
    if (!network && !drive)
        return Refuse(PathRefusal::Relative);
    if (drive && (path.size() < 3 || !IsSlash(path[2])))
        return Refuse(PathRefusal::DriveRelative);
    // Host, share and at least a file name below them.
    if (network && (!HasHostAndShare(path) || ComponentCount(rest) < 3))
        return Refuse(PathRefusal::BadNetworkName);
    if (!HasPieceSuffix(path))
        return Refuse(PathRefusal::NotAPieceName);
    return PathClass{network ? PathKind::Network : PathKind::LocalAbsolute, PathRefusal::None};
}

const char* RefusalText(PathRefusal refusal) {
    switch (refusal) {
    case PathRefusal::None:
        return "";
    case PathRefusal::NotAPieceName:
        return "not the name of a piece (.000 to .499)";
    case PathRefusal::DeviceNamespace:
        return "a device or pipe name (\\\\.\\, \\\\?\\ or \\??\\)";
    case PathRefusal::DeviceName:
        return "a reserved device name (CON, NUL, COM1...)";
    case PathRefusal::Relative:
        return "a relative name";
    case PathRefusal::DriveRelative:
        return "a name relative to a drive's current folder";
    case PathRefusal::DotComponent:
        return "a . or .. component";
    case PathRefusal::Colon:
        return "a colon past the drive letter (a stream or device name)";
    case PathRefusal::BadNetworkName:
        return "a network name without host, share and file";
    }
    return "";
}

std::string_view FolderOf(std::string_view path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

bool NetworkPathUnder(std::string_view path, std::string_view folder) {
    if (!HasHostAndShare(path) || !HasHostAndShare(folder))
        return false;
    std::string_view p = path.substr(2), f = folder.substr(2);
    // A device name below the share says nothing of where the path lies; a colon or a dot
    // component may say something else to the system than to this comparison.
    if (CheckComponents(p, true, false) != PathRefusal::None ||
        CheckComponents(f, true, false) != PathRefusal::None)
        return false;
    for (;;) {
        std::string_view inFolder = NextComponent(f);
        if (inFolder.empty())
            break;
        if (!SameName(inFolder, NextComponent(p)))
            return false;
    }
    return !NextComponent(p).empty();
}

bool MayOpenPiecePath(std::string_view path, std::string_view dataFile) {
    PathClass c = ClassifyPiecePath(path);
    if (c.kind == PathKind::LocalAbsolute)
        return true;
    return c.kind == PathKind::Network && NetworkPathUnder(path, FolderOf(dataFile));
}

bool DataFileNameUsable(std::string_view dataFile) {
    // Every piece differs from the first only in its digits, which the rule does not weigh.
    return MayOpenPiecePath(FormatPieceName(dataFile, 0), dataFile);
}

} // namespace kestro
