#pragma once
// Where the pieces named by frame records (Windows paths) lie on this machine.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestro::tool {

struct PieceRules {
    std::vector<std::pair<std::string, std::string>> maps; // Windows prefix -> local folder
    std::string wineprefix;                                // "" when none
    std::string dataDir;                                   // "" when none
    std::string aviDir;                                    // the folder of the AVI
};

struct Piece {
    std::string path; // local path of a regular file
    std::string rule; // which rule found it, for info
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
    // The piece a record names, by the first rule that yields a regular file. On failure `why`
    // lists what was tried.
    const Piece* Find(const std::string& windowsPath, std::string& why);
    const std::map<std::string, Piece>& Found() const { return found_; }

private:
    PieceRules rules_;
    std::map<std::string, Piece> found_;
    std::map<std::string, std::string> missing_;
};

} // namespace kestro::tool
