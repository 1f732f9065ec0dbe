#pragma once
// Record names are bytes in the ANSI code page of the Windows (or Wine) that wrote them; names on
// Linux are UTF-8. Conversions through glibc's iconv.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::tool {

constexpr int kCodePageAuto = 0;
constexpr int kCodePageUtf8 = 65001;

// The code pages tried, in order, when none is given: Western Windows (Wine's default), then
// Japanese. The bytes as stored are tried before them.
inline const std::vector<int>& AutomaticCodePages() {
    static const std::vector<int> pages{1252, 932};
    return pages;
}

// Whether this system's iconv converts code page `page` (65001 is UTF-8).
bool KnownCodePage(int page);

// The bytes of `page` as UTF-8; empty when they are not valid in that code page.
std::optional<std::string> ToUtf8(std::string_view bytes, int page);
// UTF-8 text as bytes of `page`; empty when a character has no byte there.
std::optional<std::string> FromUtf8(std::string_view text, int page);

bool IsAscii(std::string_view text);
bool IsUtf8(std::string_view text);
// UTF-8 text as UTF-16, the form in which Windows judges a name; empty when it is no UTF-8.
std::optional<std::u16string> Utf16Of(std::string_view text);

// A record name for a message: as it is when it is UTF-8, else with \xNN for every byte beyond
// ASCII.
std::string Shown(std::string_view bytes);

// One way of reading a record name: its text (UTF-8, or the bytes as stored) and how it was read
// ("" for ASCII names, which read the same in every code page).
struct Reading {
    std::string text;
    std::string how;
};

// The readings of a record name: with `page` kCodePageAuto the bytes as stored, then every
// automatic code page that takes them (duplicates dropped); else that one code page only.
std::vector<Reading> ReadingsOf(std::string_view bytes, int page);

} // namespace kestro::tool
