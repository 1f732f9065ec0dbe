#pragma once
// Which paths a frame record may name, decided from the text alone, before anything could touch
// a file system or the network: the codec applies it before it opens a record's piece, and the
// tools that look for pieces apply the same rule.
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestro {

enum class PathKind {
    LocalAbsolute, // a drive letter, a colon and a separator: X:\... or X:/...
    Network,       // \\host\share\...: opening it connects to that host with the user's logon
    Refused,
};

enum class PathRefusal {
    None,
    NotAPieceName,   // empty, longer than a record holds, or no piece suffix .000 to .499
    DeviceNamespace, // \\.\, \\?\ or \??\ (either slash): pipes, volumes and devices by name
    DeviceName,      // a component named CON, NUL, COM1, LPT3, COM¹...
    Relative,        // x.000, dir\x.000, \x.000: resolved against the player's current folder
    DriveRelative,   // T:data.000: resolved against that drive's current folder
    DotComponent,    // a component of only dots and spaces (., .., ...)
    Colon,           // a colon anywhere but after the drive letter: a stream name or a device
    BadNetworkName,  // a network path without host, share and file name
    NotInCodePage,   // bytes that the file call's code page cannot turn into a name
};

struct PathClass {
    PathKind kind;
    PathRefusal refusal; // None unless kind is Refused
};

// The shape of a piece's name alone: it ends in a piece suffix (".000" to ".499"), is not in a
// device namespace (\\.\, \\?\, \??\ with either slash) and its last component is not a reserved
// device name (CON, NUL, COM1, COM¹...). Anything else may be a pipe or a device whose reads
// never end, or a file that is no picture at all. ClassifyPiecePath includes this rule.
bool IsPiecePath(std::string_view path);

// The number of a piece from its name's suffix (".000" to ".499"); empty for any other name.
constexpr std::optional<int> PieceIndexOf(std::string_view name) {
    if (name.size() < 5 || name[name.size() - 4] != '.')
        return std::nullopt;
    int index = 0;
    for (char c : name.substr(name.size() - 3)) {
        if (c < '0' || c > '9')
            return std::nullopt;
        index = index * 10 + (c - '0');
    }
    return index < 500 ? std::optional<int>(index) : std::nullopt;
}

// How the file call that opens a path reads its bytes: the UTF-16 name the system will see,
// converted with the code page that call uses (the ANSI page, or the OEM page when the process
// chose OEM file APIs); empty when the bytes are not valid there. A null function: not known,
// only the bytes are judged.
using WideName = std::function<std::optional<std::u16string>(std::string_view bytes)>;

// Classifies a record's path: the ANSI bytes as stored, without the terminator. Names are read
// as Windows reads them (either slash, letter case of ASCII only); bytes of any code page are
// taken conservatively (a byte 0xB9, 0xB2 or 0xB3 after COM or LPT is a device in the pages where
// it is a superscript digit, and in UTF-8 as C2 B9...). Of several faults the first found is
// named: device namespace, then per component a colon, dots or a device name, then relative,
// drive-relative, a network name without its parts, no piece suffix. A Network result is not
// yet a path that may be opened: see NetworkPathUnder. With `wide`, the name as the file call
// will see it is judged by the same rule too (a device in the wide name is a device), and the
// first of its faults is named when the bytes have none.
PathClass ClassifyPiecePath(std::string_view path, const WideName& wide = {});

// A short English reason for a refusal, for messages ("a relative name"...); "" for None.
const char* RefusalText(PathRefusal refusal);

// The folder part of a file path: everything before its last separator; "" when it has none.
std::string_view FolderOf(std::string_view path);

// Whether the network path `path` lies inside `folder` or a folder below it. Both must be network
// paths naming at least a host and a share, with no colon and no component of only dots; their
// components are compared as Windows compares names: ASCII letters without regard to case, either
// slash, runs of separators as one. A byte that follows a byte of 0x80 or more (which may be the
// second byte of a double-byte character) is compared exactly.
bool NetworkPathUnder(std::string_view path, std::string_view folder);

// The codec's rule for a record's path, `dataFile` being the data file configured on this
// machine (the settings' base name): a local absolute piece path, or a network piece path inside
// the data file's folder (the share the user chose).
bool MayOpenPiecePath(std::string_view path, std::string_view dataFile, const WideName& wide = {});
// The same rule where a take may be striped over several data files (the settings' data file and
// its stripes): a network piece path inside the folder of any of them.
bool MayOpenPiecePath(std::string_view path, std::span<const std::string> dataFiles,
                      const WideName& wide = {});

// Whether a capture into `dataFile` writes records that MayOpenPiecePath accepts with the same
// setting; a capture into any other name would store frames that can never play.
bool DataFileNameUsable(std::string_view dataFile, const WideName& wide = {});

} // namespace kestro
