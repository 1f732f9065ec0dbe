#include "pure/SettingsText.h"

#include <cctype>
#include <cstdio>

namespace kestro {

std::string ProfilePathForModule(std::string_view modulePath) {
    size_t cut = modulePath.find_last_of("\\/");
    std::string dir = cut == std::string_view::npos ? std::string(DriveOf(modulePath))
                                                    : std::string(modulePath.substr(0, cut + 1));
    return dir + "\\kestdisk.ini";
}

std::string FormatPieceName(std::string_view base, int index) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%03d", index);
    return std::string(base) + suffix;
}

std::string DriveOf(std::string_view path) {
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
        return std::string(path.substr(0, 2));
    return {};
}

} // namespace kestro
