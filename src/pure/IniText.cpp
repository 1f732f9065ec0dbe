#include "pure/IniText.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>

namespace kestro {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

struct Line {
    enum Kind { Blank, Section, Entry, Other } kind = Blank;
    std::string_view name;  // section or key
    std::string_view value; // entry only
};

Line Classify(std::string_view raw) {
    const std::string_view s = Trim(raw);
    if (s.empty())
        return {};
    if (s.front() == '[') {
        const size_t close = s.find(']');
        if (close != std::string_view::npos)
            return {Line::Section, Trim(s.substr(1, close - 1)), {}};
        return {Line::Other, s, {}};
    }
    const size_t eq = s.find('=');
    if (s.front() == ';' || eq == std::string_view::npos || eq == 0)
        return {Line::Other, s, {}};
    return {Line::Entry, Trim(s.substr(0, eq)), Trim(s.substr(eq + 1))};
}

// Appended piece by piece: GCC 12 warns (wrongly) on "literal" + std::string at -O3.
std::string Joined(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view part : parts)
        out.append(part);
    return out;
}

template <typename Visit> void ForEachLine(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        visit(Classify(text.substr(0, end)));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
}

} // namespace

std::optional<std::string> IniValue(std::string_view text, std::string_view section,
                                    std::string_view key) {
    const std::string wantedSection = Lower(section), wantedKey = Lower(key);
    std::optional<std::string> found;
    bool inSection = false;
    ForEachLine(text, [&](const Line& line) {
        if (found)
            return;
        if (line.kind == Line::Section)
            inSection = Lower(line.name) == wantedSection;
        else if (line.kind == Line::Entry && inSection && Lower(line.name) == wantedKey)
            found = std::string(line.value);
    });
    return found;
}

std::vector<std::string> SettingsContent(std::string_view text) {
    std::vector<std::string> content;
    std::string section;
    bool seenSection = false;
    ForEachLine(text, [&](const Line& line) {
        switch (line.kind) {
        case Line::Blank:
            break;
        case Line::Section:
            section = Lower(line.name);
            seenSection = true;
            content.push_back(Joined({"[", section, "]"}));
            break;
        case Line::Entry:
            if (seenSection) {
                content.push_back(Joined({section, "\n", Lower(line.name), "=", line.value}));
                break;
            }
            [[fallthrough]];
        case Line::Other:
            content.push_back(Joined({"?", line.name}));
            break;
        }
    });
    std::sort(content.begin(), content.end());
    return content;
}

bool SameSettings(std::string_view a, std::string_view b) {
    return SettingsContent(a) == SettingsContent(b);
}

} // namespace kestro
