#include "pure/PiecePath.h"

#include <algorithm>

#include <optional>
#include <string>

#include "pure/FrameRecord.h"
#include "pure/SettingsText.h"

namespace kestro {

namespace {

// The rule reads the bytes as stored and, where the caller says how its file call converts them,
// the UTF-16 name the system will see; both go through the same steps, on code units C.
template <class C> using Text = std::basic_string_view<C>;

template <class C> bool IsSlash(C c) {
    return c == C('\\') || c == C('/');
}

template <class C> bool IsAsciiLetter(C c) {
    return (c >= C('a') && c <= C('z')) || (c >= C('A') && c <= C('Z'));
}

template <class C> C Upper(C c) {
    return c >= C('a') && c <= C('z') ? C(c - C('a') + C('A')) : c;
}

template <class C> bool SameLetters(Text<C> a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != C(Upper(b[i])))
            return false;
    return true;
}

// Windows 10 counts the superscript digits one to three as digits in COMn and LPTn. In the bytes
// alone, which code page turns a byte into one is not known: every byte that is one in an ANSI
// page or in UTF-8. The wide name says it for every page.
bool IsSuperscriptDigit(std::string_view digit) {
    for (std::string_view superscript :
         {"\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"})
        if (digit == superscript)
            return true;
    return false;
}

bool IsSuperscriptDigit(std::u16string_view digit) {
    return digit.size() == 1 &&
           (digit[0] == u'\u00B9' || digit[0] == u'\u00B2' || digit[0] == u'\u00B3');
}

// The system maps these names to devices in any folder and with any extension.
template <class C> bool IsDeviceName(Text<C> component) {
    Text<C> base = component.substr(0, component.find(C('.')));
    // Trailing dots and spaces are dropped before the name is looked up.
    while (!base.empty() && (base.back() == C(' ') || base.back() == C('.')))
        base.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"})
        if (SameLetters(base, device))
            return true;
    if (base.size() < 4 ||
        !(SameLetters(base.substr(0, 3), "COM") || SameLetters(base.substr(0, 3), "LPT")))
        return false;
    Text<C> digit = base.substr(3);
    if (digit.size() == 1 && digit[0] >= C('0') && digit[0] <= C('9'))
        return true;
    return IsSuperscriptDigit(digit);
}

// \\.\, \\?\ and \??\ reach pipes, volumes and devices by their object names.
template <class C> bool InDeviceNamespace(Text<C> path) {
    return path.size() >= 4 && IsSlash(path[3]) &&
           ((IsSlash(path[0]) && IsSlash(path[1]) && (path[2] == C('.') || path[2] == C('?'))) ||
            (IsSlash(path[0]) && path[1] == C('?') && path[2] == C('?')));
}

template <class C> bool HasPieceSuffix(Text<C> path) {
    if (path.size() < 5)
        return false;
    Text<C> suffix = path.substr(path.size() - 4);
    return suffix[0] == C('.') && suffix[1] >= C('0') && suffix[1] <= C('4') &&
           suffix[2] >= C('0') && suffix[2] <= C('9') && suffix[3] >= C('0') && suffix[3] <= C('9');
}

// Takes the next component off `rest`, skipping the separators before it; "" at the end.
template <class C> Text<C> NextComponent(Text<C>& rest) {
    size_t start = 0;
    while (start < rest.size() && IsSlash(rest[start]))
        ++start;
    size_t end = start;
    while (end < rest.size() && !IsSlash(rest[end]))
        ++end;
    Text<C> component = rest.substr(start, end - start);
    rest.remove_prefix(end);
    return component;
}

template <class C> bool OnlyDotsAndSpaces(Text<C> component) {
    for (C c : component)
        if (c != C('.') && c != C(' '))
            return false;
    return true;
}

// The first refusal that a component of `rest` gives. The host and the share of a network path
// (its first two components) are no file names, so no device names either; `devices` false
// leaves device names out altogether.
template <class C> PathRefusal CheckComponents(Text<C> rest, bool network, bool devices = true) {
    for (int index = 0;; ++index) {
        Text<C> component = NextComponent(rest);
        if (component.empty())
            return PathRefusal::None;
        if (component.find(C(':')) != Text<C>::npos)
            return PathRefusal::Colon;
        if (OnlyDotsAndSpaces(component))
            return PathRefusal::DotComponent;
        if (devices && !(network && index < 2) && IsDeviceName(component))
            return PathRefusal::DeviceName;
    }
}

// \\host\share with one separator between them: what else the system makes of doubled
// separators there is not worth guessing.
template <class C> bool HasHostAndShare(Text<C> path) {
    if (path.size() < 5 || !IsSlash(path[0]) || !IsSlash(path[1]) || IsSlash(path[2]))
        return false;
    size_t slash = 2;
    while (slash < path.size() && !IsSlash(path[slash]))
        ++slash;
    return slash + 1 < path.size() && !IsSlash(path[slash + 1]);
}

template <class C> size_t ComponentCount(Text<C> rest) {
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

template <class C> PathClass ClassifyText(Text<C> path) {
    if (path.empty() || path.size() > kMaxRecordPath)
        return Refuse(PathRefusal::NotAPieceName);
    if (InDeviceNamespace(path))
        return Refuse(PathRefusal::DeviceNamespace);
    const bool network = path.size() >= 2 && IsSlash(path[0]) && IsSlash(path[1]);
    const bool drive = !network && path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == C(':');
    Text<C> rest = network ? path.substr(2) : drive ? path.substr(2) : path;
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

} // namespace

bool IsPiecePath(std::string_view path) {
    if (InDeviceNamespace(path) || !HasPieceSuffix(path))
        return false;
    size_t slash = path.find_last_of("\\/:");
    return !IsDeviceName(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

PathClass ClassifyPiecePath(std::string_view path, const WideName& wide) {
    const PathClass bytes = ClassifyText(path);
    if (bytes.kind == PathKind::Refused || !wide)
        return bytes;
    // What the file call opens is the wide name: a device there is a device whatever the bytes
    // looked like (COM\xA9\xF6 is COM¹ in the Korean page, COM\xFB in OEM 850).
    const std::optional<std::u16string> converted = wide(path);
    if (!converted)
        return Refuse(PathRefusal::NotInCodePage);
    const PathClass seen = ClassifyText(std::u16string_view(*converted));
    return seen.kind == PathKind::Refused ? seen : bytes;
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
    case PathRefusal::NotInCodePage:
        return "bytes that the code page of the file calls does not read";
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

bool MayOpenPiecePath(std::string_view path, std::string_view dataFile, const WideName& wide) {
    PathClass c = ClassifyPiecePath(path, wide);
    if (c.kind == PathKind::LocalAbsolute)
        return true;
    return c.kind == PathKind::Network && NetworkPathUnder(path, FolderOf(dataFile));
}

bool MayOpenPiecePath(std::string_view path, std::span<const std::string> dataFiles,
                      const WideName& wide) {
    PathClass c = ClassifyPiecePath(path, wide);
    if (c.kind == PathKind::LocalAbsolute)
        return true;
    return c.kind == PathKind::Network &&
           std::any_of(dataFiles.begin(), dataFiles.end(), [&](const std::string& dataFile) {
               return NetworkPathUnder(path, FolderOf(dataFile));
           });
}

bool DataFileNameUsable(std::string_view dataFile, const WideName& wide) {
    // Every piece differs from the first only in its digits, which the rule does not weigh.
    return MayOpenPiecePath(FormatPieceName(dataFile, 0), dataFile, wide);
}

} // namespace kestro
