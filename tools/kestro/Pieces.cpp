#include "Pieces.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cctype>

namespace kestro::tool {

namespace {

std::string Lower(std::string s) {
    for (auto& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool RegularFile(const std::string& path, uint64_t& size) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    size = uint64_t(st.st_size);
    return true;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

std::optional<WindowsPath> SplitWindowsPath(const std::string& path) {
    WindowsPath out;
    size_t pos = 0;
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
        out.drive = Lower(path.substr(0, 2));
        pos = 2;
    }
    std::string part;
    for (; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '\\' || path[pos] == '/') {
            if (part == "..")
                return std::nullopt; // a record never climbs out of its folder
            if (!part.empty() && part != ".")
                out.parts.push_back(part);
            part.clear();
        } else {
            part += path[pos];
        }
    }
    if (out.parts.empty())
        return std::nullopt;
    return out;
}

std::optional<std::string> JoinCaseless(const std::string& dir,
                                        const std::vector<std::string>& parts) {
    std::string path = dir.empty() ? "." : dir;
    for (const auto& part : parts) {
        std::string exact = path + "/" + part;
        if (Exists(exact)) {
            path = exact;
            continue;
        }
        DIR* d = opendir(path.c_str());
        if (!d)
            return std::nullopt;
        std::string match;
        while (dirent* e = readdir(d)) {
            if (strcasecmp(e->d_name, part.c_str()) == 0) {
                match = e->d_name;
                break;
            }
        }
        closedir(d);
        if (match.empty())
            return std::nullopt;
        path += "/" + match;
    }
    return path;
}

const Piece* PieceFinder::Find(const std::string& windowsPath, std::string& why) {
    if (auto it = found_.find(windowsPath); it != found_.end())
        return &it->second;
    if (auto it = missing_.find(windowsPath); it != missing_.end()) {
        why = it->second;
        return nullptr;
    }
    why.clear();
    auto split = SplitWindowsPath(windowsPath);
    if (!split) {
        why = "not a usable file path";
        missing_[windowsPath] = why;
        return nullptr;
    }
    std::vector<std::pair<std::string, std::string>> tries; // local path, rule
    // 1. the user's --map rules, in the order given
    for (const auto& [prefix, dir] : rules_.maps) {
        auto p = SplitWindowsPath(prefix);
        WindowsPath want = p ? *p : WindowsPath{};
        if (!p) { // a bare drive such as "e:" or "e:\"
            auto bare = SplitWindowsPath(prefix + "\\x");
            if (!bare)
                continue;
            want.drive = bare->drive;
        }
        if (want.drive != split->drive || want.parts.size() >= split->parts.size())
            continue;
        bool same = true;
        for (size_t i = 0; i < want.parts.size() && same; ++i)
            same = strcasecmp(want.parts[i].c_str(), split->parts[i].c_str()) == 0;
        if (!same)
            continue;
        std::vector<std::string> rest(split->parts.begin() + long(want.parts.size()),
                                      split->parts.end());
        if (auto local = JoinCaseless(dir, rest))
            tries.push_back({*local, "--map " + prefix + "=" + dir});
        else
            tries.push_back({dir + "/...", "--map " + prefix + "=" + dir});
    }
    // 2. the drive links of a Wine prefix
    if (!rules_.wineprefix.empty() && !split->drive.empty()) {
        std::string drive = rules_.wineprefix + "/dosdevices/" + split->drive;
        if (auto local = JoinCaseless(drive, split->parts))
            tries.push_back({*local, "wine prefix " + rules_.wineprefix});
        else
            tries.push_back({drive + "/...", "wine prefix " + rules_.wineprefix});
    }
    // 3. the piece's own name in --data, 4. beside the AVI
    const std::vector<std::string> leaf{split->parts.back()};
    if (!rules_.dataDir.empty()) {
        auto local = JoinCaseless(rules_.dataDir, leaf);
        tries.push_back(
            {local ? *local : rules_.dataDir + "/" + leaf[0], "--data " + rules_.dataDir});
    }
    {
        auto local = JoinCaseless(rules_.aviDir, leaf);
        tries.push_back({local ? *local : rules_.aviDir + "/" + leaf[0], "beside the AVI"});
    }
    for (const auto& [local, rule] : tries) {
        Piece piece;
        if (RegularFile(local, piece.size)) {
            piece.path = local;
            piece.rule = rule;
            return &(found_[windowsPath] = piece);
        }
        if (!why.empty())
            why += "; ";
        why += local + (Exists(local) ? " (not a regular file)" : " (absent)") + " by " + rule;
    }
    missing_[windowsPath] = why;
    return nullptr;
}

} // namespace kestro::tool
