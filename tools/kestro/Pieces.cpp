#include "Pieces.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "CodePages.h"
#include "pure/PiecePath.h"

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

void PieceFinder::PathRules(const WindowsPath& split, const std::string& how, bool folder,
                            std::vector<Try>& tries) {
    // 1. the user's --map rules, in the order given
    for (size_t order = 0; order < rules_.maps.size(); ++order) {
        const auto& [prefix, dir] = rules_.maps[order];
        const std::string rule = "--map " + prefix + "=" + dir;
        auto p = SplitWindowsPath(prefix);
        WindowsPath want = p ? *p : WindowsPath{};
        if (!p) { // a bare drive such as "e:" or "e:\"
            auto bare = SplitWindowsPath(prefix + "\\x");
            if (!bare)
                continue;
            want.drive = bare->drive;
        }
        if (want.drive != split.drive || want.parts.size() > split.parts.size() ||
            (!folder && want.parts.size() == split.parts.size()))
            continue;
        bool same = true;
        for (size_t i = 0; i < want.parts.size() && same; ++i)
            same = strcasecmp(want.parts[i].c_str(), split.parts[i].c_str()) == 0;
        if (!same)
            continue;
        std::vector<std::string> rest(split.parts.begin() + long(want.parts.size()),
                                      split.parts.end());
        auto local = JoinCaseless(dir, rest);
        tries.push_back({order, local ? *local : dir + "/...", rule, how});
    }
    // 2. the drive links of a Wine prefix
    if (!rules_.wineprefix.empty() && !split.drive.empty()) {
        std::string drive = rules_.wineprefix + "/dosdevices/" + split.drive;
        auto local = JoinCaseless(drive, split.parts);
        tries.push_back({rules_.maps.size(), local ? *local : drive + "/...",
                         "wine prefix " + rules_.wineprefix, how});
    }
}

std::optional<std::string> PieceFinder::LocalFolderOf(const std::string& windowsPath,
                                                      std::string* how) {
    auto readings = ReadingsOf(windowsPath, kCodePageAuto);
    if (rules_.codePage != kCodePageAuto)
        for (auto& r : ReadingsOf(windowsPath, rules_.codePage))
            readings.push_back(r);
    for (const auto& reading : readings) {
        auto split = SplitWindowsPath(reading.text);
        if (!split || split->parts.size() < 2)
            continue; // a name in a drive's root: its folder tells nothing
        split->parts.pop_back();
        std::vector<Try> tries;
        PathRules(*split, reading.how, true, tries);
        for (const auto& t : tries) {
            struct stat st;
            if (stat(t.local.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                if (how)
                    *how = t.how;
                return t.local;
            }
        }
    }
    return std::nullopt;
}

std::string PieceFinder::RecordedFolder(const std::string& windowsPath) {
    std::string how;
    const auto folder = LocalFolderOf(windowsPath, &how);
    if (!folder)
        return "";
    return *folder + (how.empty() ? "" : " (reading the name as " + how + ")");
}

std::optional<std::string> PieceFinder::Refusal(const std::string& windowsPath) {
    const PathClass shape = ClassifyPiecePath(windowsPath);
    if (shape.kind == PathKind::Refused)
        return std::string(RefusalText(shape.refusal));
    // The Windows that opens it judges the name in its own code page: COM\xA9\xF6 is COM¹ in
    // the Korean one. Every code page the name is read in here is one it may have been written in.
    for (const auto& reading : ReadingsOf(windowsPath, rules_.codePage)) {
        const auto wide = reading.how.empty() ? std::nullopt : Utf16Of(reading.text);
        if (!wide)
            continue;
        const PathClass seen =
            ClassifyPiecePath(windowsPath, [&](std::string_view) { return wide; });
        if (seen.kind == PathKind::Refused)
            return std::string(RefusalText(seen.refusal)) + " (reading the name as " + reading.how +
                   ")";
    }
    if (shape.kind == PathKind::Network) {
        for (const auto& reading : ReadingsOf(windowsPath, rules_.codePage)) {
            std::vector<Try> tries;
            if (auto split = SplitWindowsPath(reading.text))
                PathRules(*split, reading.how, false, tries);
            if (!tries.empty())
                return std::nullopt;
        }
        return std::string("a network path, read only where --map maps it");
    }
    return std::nullopt;
}

std::vector<std::vector<PieceFinder::Try>> PieceFinder::Tries(const std::string& windowsPath,
                                                              const std::vector<Split>& splits) {
    // A network name is read only where the user mapped it: never by its file name alone.
    const bool network = ClassifyPiecePath(windowsPath).kind == PathKind::Network;
    const size_t byName = rules_.maps.size() + 1;
    std::vector<std::vector<Try>> rules(byName + 2);
    for (const auto& [split, how] : splits) {
        std::vector<Try> tries;
        PathRules(split, how, false, tries);
        for (auto& t : tries)
            rules[t.order].push_back(std::move(t));
    }
    for (const auto& [split, how] : network ? std::vector<Split>{} : splits) {
        const std::vector<std::string> leaf{split.parts.back()};
        if (!rules_.dataDir.empty()) {
            auto local = JoinCaseless(rules_.dataDir, leaf);
            rules[byName].push_back({byName, local ? *local : rules_.dataDir + "/" + leaf[0],
                                     "--data " + rules_.dataDir, how});
        }
        auto local = JoinCaseless(rules_.aviDir, leaf);
        rules[byName + 1].push_back(
            {byName + 1, local ? *local : rules_.aviDir + "/" + leaf[0], "beside the AVI", how});
    }
    return rules;
}

std::vector<std::pair<const PieceFinder::Try*, Piece>>
PieceFinder::Hits(const std::vector<Try>& tries, std::string& why) {
    std::vector<std::pair<const Try*, Piece>> hits;
    std::vector<std::pair<dev_t, ino_t>> seen;
    for (const auto& t : tries) {
        struct stat st;
        Piece piece;
        if (RegularFile(t.local, piece.size) && stat(t.local.c_str(), &st) == 0) {
            if (std::find(seen.begin(), seen.end(), std::pair{st.st_dev, st.st_ino}) ==
                seen.end()) {
                seen.push_back({st.st_dev, st.st_ino});
                hits.push_back({&t, piece});
            }
            continue;
        }
        const std::string tried =
            t.local + (Exists(t.local) ? " (not a regular file)" : " (absent)") + " by " + t.rule;
        if (why.find(tried) == std::string::npos)
            why += (why.empty() ? "" : "; ") + tried;
    }
    return hits;
}

const Piece* PieceFinder::Found(const std::string& windowsPath,
                                const std::vector<Reading>& readings, const Try& hit, Piece piece,
                                bool byNameAlone) {
    piece.path = hit.local;
    for (const auto& reading : readings)
        if (reading.how == hit.how)
            piece.name = reading.text;
    piece.rule = hit.rule + (hit.how.empty() ? "" : ", reading the name as " + hit.how);
    if (byNameAlone) {
        const std::string folder = RecordedFolder(windowsPath);
        if (!folder.empty())
            piece.warning = Shown(windowsPath) + " was found only by its file name, as " +
                            piece.path + " (" + hit.rule + "), while its folder exists here as " +
                            folder + " without it: that file may belong to another capture";
    }
    return &(found_[windowsPath] = piece);
}

std::optional<std::string> PieceFinder::Locate(const std::string& windowsPath, std::string* other) {
    std::vector<Split> splits;
    for (const auto& reading : ReadingsOf(windowsPath, rules_.codePage))
        if (auto split = SplitWindowsPath(reading.text))
            splits.push_back({*split, reading.how});
    std::string why;
    for (const auto& rule : Tries(windowsPath, splits)) {
        if (const auto hits = Hits(rule, why); hits.size() == 1)
            return hits[0].first->local;
        uint64_t size = 0;
        for (const auto& t : rule)
            if (other && other->empty() && Exists(t.local) && !RegularFile(t.local, size))
                *other = t.local;
    }
    return std::nullopt;
}

const Piece* PieceFinder::Find(const std::string& windowsPath, std::string& why) {
    if (auto it = found_.find(windowsPath); it != found_.end())
        return &it->second;
    if (auto it = missing_.find(windowsPath); it != missing_.end()) {
        why = it->second;
        return nullptr;
    }
    why.clear();
    auto fail = [&](const std::string& text) -> const Piece* {
        why = text;
        missing_[windowsPath] = why;
        return nullptr;
    };
    const auto readings = ReadingsOf(windowsPath, rules_.codePage);
    if (readings.empty())
        return fail("the name is not text in code page " + std::to_string(rules_.codePage));
    std::vector<Split> splits; // of every reading
    for (const auto& reading : readings)
        if (auto split = SplitWindowsPath(reading.text))
            splits.push_back({*split, reading.how});
    if (splits.empty())
        return fail("not a usable file path");
    // The rules in order, each with every reading of the name; the last two go by the piece's
    // file name alone.
    const auto rules = Tries(windowsPath, splits);
    for (size_t r = 0; r < rules.size(); ++r) {
        const auto hits = Hits(rules[r], why);
        if (hits.size() > 1) {
            std::string text = "the name reads as different files";
            for (const auto& [t, piece] : hits)
                text += "; as " + t->how + ": " + t->local;
            return fail(text + " (by " + hits[0].first->rule + "; --codepage N chooses)");
        }
        if (hits.size() == 1) {
            why.clear();
            return Found(windowsPath, readings, *hits[0].first, hits[0].second,
                         r >= rules_.maps.size() + 1);
        }
    }
    missing_[windowsPath] = why;
    return nullptr;
}

} // namespace kestro::tool
