#pragma once
// Four-character codes spelled as text and shown as text; the first character in the low byte.
#include <cstdint>
#include <string>

#include "pure/PixelKind.h"

namespace kestro {

// A code as it reads: MakeFourcc("RIFF").
constexpr uint32_t MakeFourcc(const char (&code)[5]) {
    return MakeFourcc(code[0], code[1], code[2], code[3]);
}

// Whether all four characters are printable ASCII (space to tilde).
constexpr bool IsPrintableFourcc(uint32_t code) {
    for (int i = 0; i < 4; ++i) {
        const uint32_t c = (code >> (8 * i)) & 0xff;
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

// The four characters for a message, each unprintable one shown as `unprintable`.
inline std::string FourccText(uint32_t code, char unprintable = '.') {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const uint32_t c = (code >> (8 * i)) & 0xff;
        text += (c >= 0x20 && c <= 0x7e) ? char(c) : unprintable;
    }
    return text;
}

} // namespace kestro
