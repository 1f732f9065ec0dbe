#pragma once
// Where the pieces named by frame records (Windows paths) lie on this machine.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CodePages.h"

namespace kestro::tool {

struct PieceRules {
    std::vector<std::pair<std::string, std::string>> maps; // Windows prefix -> local folder
    std::string wineprefix;                                // "" when none
    std::string dataDir;                                   // "" when none
    std::string aviDir;                                    // the folder of the AVI
    int codePage = 0;                                      // of record names; 0: automatic
};

struct Piece {
    std::string name;    // the record's name as it was read (UTF-8 where a code page applied)
    std::string path;    // local path of a regular file
    std::string rule;    // which rule found it, and how the name was read, for info
    std::string warning; // why the file found may not be the piece; "" when none
    uint64_t size = 0;
};

// The parts of a Windows path: drive ("c:") or empty, then the components.
struct WindowsPath {
    std::string drive;
    std::vector<std::string> parts;
};
std::optional<WindowsPath> SplitWindowsPath(const std::string& path);

// A local path below `dir` for the given components, matching each component without regard to
// case when the exact name is absent (as Wine does).
std::optional<std::string> JoinCaseless(const std::string& dir,
                                        const std::vector<std::string>& parts);

class PieceFinder {
public:
    explicit PieceFinder(PieceRules rules) : rules_(std::move(rules)) {}
    // The piece a record names (bytes in the capture's code page), by the first rule that yields
    // a regular file, each rule trying every reading of the name. On failure `why` lists what was
    // tried, or the readings that lead to different files under one rule.
    const Piece* Find(const std::string& windowsPath, std::string& why);
    // Why the codec's rule for piece names refuses the name, so that no rule looks for it: not a
    // piece name (.000 to .499), a device, relative, drive-relative or stream name, or a network
    // path that no --map rule maps. Empty when the name may be looked for.
    std::optional<std::string> Refusal(const std::string& windowsPath);
    const std::map<std::string, Piece>& Found() const { return found_; }
    // A regular file of the Windows name `windowsPath` by the same rules in the same order, for a
    // file that lies beside the pieces (a take file); nothing is kept of it. Where there is none,
    // `other` gets the first place a rule found something else at (a folder, a FIFO, a link to
    // nothing), so that the caller can refuse it by name instead of calling it absent.
    std::optional<std::string> Locate(const std::string& windowsPath, std::string* other = nullptr);
    // The folder here that the path rules (--map, the Wine prefix) put the folder of the Windows
    // name `windowsPath` in, never by a file name alone; nothing when no such folder is here.
    // `how` gets the reading of the name that led there ("" for the name as it is).
    std::optional<std::string> LocalFolderOf(const std::string& windowsPath,
                                             std::string* how = nullptr);

private:
    struct Try {
        size_t order; // of the rule
        std::string local;
        std::string rule;
        std::string how; // the reading of the name
    };
    // Where the path rules (--map, the Wine prefix) put a reading of a record's name; with
    // `folder`, a --map prefix may name the whole of it.
    void PathRules(const WindowsPath& split, const std::string& how, bool folder,
                   std::vector<Try>& tries);
    // A folder the record names that exists here, by any reading and path rule; "" when none.
    std::string RecordedFolder(const std::string& windowsPath);
    // A reading of a record's name split into its parts, and how it was read.
    using Split = std::pair<WindowsPath, std::string>;
    // Where each rule, in order, looks for the readings of a name; the last two go by the
    // piece's file name alone (a network name never does).
    std::vector<std::vector<Try>> Tries(const std::string& windowsPath,
                                        const std::vector<Split>& splits);
    // The regular files that one rule's tries lead to, one per file; what it tried in vain is
    // added to `why`.
    static std::vector<std::pair<const Try*, Piece>> Hits(const std::vector<Try>& tries,
                                                          std::string& why);
    // The piece a single hit found, kept; `byNameAlone` checks whether its folder exists here.
    const Piece* Found(const std::string& windowsPath, const std::vector<Reading>& readings,
                       const Try& hit, Piece piece, bool byNameAlone);

    PieceRules rules_;
    std::map<std::string, Piece> found_;
    std::map<std::string, std::string> missing_;
};

} // namespace kestro::tool
