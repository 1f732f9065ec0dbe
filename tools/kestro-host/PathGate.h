#pragma once
// Every path this program takes from a file (a frame record, the data file of the settings, a
// piece looked for under a record's file name) passes the codec's rule here before any call
// touches the file system: the name as the ANSI file calls will read it, by MayOpenPiecePath with
// the data files of this machine's settings (the data file and its stripes), then the
// regular-file check. An AVI that names a
// share would otherwise hand the user's logon to its author's server as soon as it is listed.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "edge/Win32Edge.h"

namespace host {

// What the gate found for one name.
struct GatedPath {
    enum class Found {
        Refused,    // the rule refuses the name: nothing was asked of the file system
        Missing,    // nothing of that name is there
        NotRegular, // a folder, a device, a pipe or a FIFO: no piece
        Regular,
    };
    std::string path; // as given
    Found found = Found::Refused;
    uint64_t bytes = 0;   // of a regular file
    DWORD attributes = 0; // of a regular file
    std::string why; // Refused and NotRegular: the whole message, naming where the name came from

    bool Regular() const { return found == Found::Regular; }
};

class PathGate {
public:
    // The rule as the codec applies it with the settings beside it (a data file or a stripe on a
    // share lets pieces inside that share's folder be opened).
    PathGate();
    explicit PathGate(std::string dataFile) : dataFiles_{std::move(dataFile)} {}
    explicit PathGate(std::vector<std::string> dataFiles) : dataFiles_(std::move(dataFiles)) {}

    // Judges `name` by its text; only when the rule accepts it is the file system asked what
    // lies there. `where` names the source in messages: "frame 3 (record at byte 4096 of x.avi)",
    // or "" when the caller names it.
    GatedPath Piece(const std::string& name, const std::string& where) const;
    // The text alone: empty when the rule lets `name` be opened, else the message.
    std::string Refusal(const std::string& name, const std::string& where) const;

private:
    std::vector<std::string> dataFiles_; // the settings' data file first
};

// Opens what the gate found a regular file for reading, readers and writers allowed; invalid,
// with `error`, when it cannot be opened or the handle is no regular file on a disk (what lies
// there may have changed since it was looked at).
kestro::UniqueFile OpenGated(const GatedPath& gated, DWORD flags, std::string& error);

} // namespace host
