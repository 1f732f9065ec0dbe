#include "CodePages.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <map>

namespace kestro::tool {

namespace {

std::string IconvName(int page) {
    return page == kCodePageUtf8 ? "UTF-8" : "CP" + std::to_string(page);
}

// One open conversion per direction and code page, for the life of the process.
struct Converters : std::map<std::pair<int, bool>, iconv_t> {
    ~Converters() {
        for (auto& [key, cd] : *this)
            if (cd != iconv_t(-1))
                iconv_close(cd);
    }
};

iconv_t Converter(int page, bool toUtf8) {
    static Converters open;
    auto it = open.find({page, toUtf8});
    if (it == open.end()) {
        const std::string name = IconvName(page);
        iconv_t cd = toUtf8 ? iconv_open("UTF-8", name.c_str()) : iconv_open(name.c_str(), "UTF-8");
        it = open.emplace(std::pair{page, toUtf8}, cd).first;
    }
    return it->second;
}

std::optional<std::string> Convert(std::string_view in, int page, bool toUtf8) {
    iconv_t cd = Converter(page, toUtf8);
    if (cd == iconv_t(-1))
        return std::nullopt;
    iconv(cd, nullptr, nullptr, nullptr, nullptr); // a fresh shift state
    std::string out(in.size() * 4 + 8, '\0');
    char* from = const_cast<char*>(in.data());
    size_t fromLeft = in.size();
    char* to = out.data();
    size_t toLeft = out.size();
    if (iconv(cd, &from, &fromLeft, &to, &toLeft) == size_t(-1) || fromLeft != 0)
        return std::nullopt;
    if (iconv(cd, nullptr, nullptr, &to, &toLeft) == size_t(-1))
        return std::nullopt;
    out.resize(out.size() - toLeft);
    return out;
}

} // namespace

bool KnownCodePage(int page) {
    return page > 0 && Converter(page, true) != iconv_t(-1) &&
           Converter(page, false) != iconv_t(-1);
}

std::optional<std::string> ToUtf8(std::string_view bytes, int page) {
    return Convert(bytes, page, true);
}

std::optional<std::string> FromUtf8(std::string_view text, int page) {
    return Convert(text, page, false);
}

bool IsAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

bool IsUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > text.size())
            return false;
        uint32_t code = n == 1 ? c : c & (0x7f >> n);
        for (size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t >> 6) != 2)
                return false;
            code = code << 6 | (t & 0x3f);
        }
        // Overlong forms, surrogates and code points beyond Unicode are no UTF-8.
        static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[n] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        i += n;
    }
    return true;
}

std::optional<std::u16string> Utf16Of(std::string_view text) {
    if (!IsUtf8(text))
        return std::nullopt;
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
        uint32_t code = n == 1 ? c : c & (0x7f >> n);
        for (size_t k = 1; k < n; ++k)
            code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3f);
        if (code >= 0x10000) {
            out += char16_t(0xd800 + ((code - 0x10000) >> 10));
            out += char16_t(0xdc00 + ((code - 0x10000) & 0x3ff));
        } else {
            out += char16_t(code);
        }
        i += n;
    }
    return out;
}

std::string Shown(std::string_view bytes) {
    if (IsUtf8(bytes))
        return std::string(bytes);
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::vector<Reading> ReadingsOf(std::string_view bytes, int page) {
    std::vector<Reading> readings;
    if (IsAscii(bytes)) {
        readings.push_back({std::string(bytes), ""});
        return readings;
    }
    auto add = [&](std::string text, std::string how) {
        for (const auto& r : readings)
            if (r.text == text)
                return;
        readings.push_back({std::move(text), std::move(how)});
    };
    if (page != kCodePageAuto) {
        if (auto text = ToUtf8(bytes, page))
            add(*text, "code page " + std::to_string(page));
        return readings;
    }
    add(std::string(bytes), "its stored bytes");
    for (int automatic : AutomaticCodePages())
        if (auto text = ToUtf8(bytes, automatic))
            add(*text, "code page " + std::to_string(automatic));
    return readings;
}

} // namespace kestro::tool
