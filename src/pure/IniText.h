#pragma once
// Settings files read as text, for the installer: which values a file holds, and whether it
// still holds exactly what was installed.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// The value of `key` in `section`, found as the profile functions find it: names without regard
// to case, spaces around them and around the value dropped, the first such line taken.
std::optional<std::string> IniValue(std::string_view text, std::string_view section,
                                    std::string_view key);

// Every line that carries meaning, in a form that ignores what the profile functions ignore
// (line ends, blank lines, the order of lines, the case of names, spaces around them); a line
// that is not a section or a key (a comment, text outside any section) is kept as it is written.
std::vector<std::string> SettingsContent(std::string_view text);

// True when the two files hold the same settings and nothing else: a file the codec rewrote with
// unchanged values still counts as the one installed, one with any edit does not.
bool SameSettings(std::string_view a, std::string_view b);

} // namespace kestro
