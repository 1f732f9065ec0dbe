#include "pure/TakeFile.h"

#include <cstdio>
#include <iterator>

namespace kestro {

namespace {

constexpr std::string_view kSection = "[take]";
constexpr char kHex[] = "0123456789abcdef";

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<uint8_t>> Bytes(std::string_view hex) {
    if (hex.size() % 2 != 0 || hex.size() / 2 > kMaxTakeFormatBytes)
        return std::nullopt;
    std::vector<uint8_t> bytes(hex.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        int high = HexDigit(hex[2 * i]), low = HexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[i] = uint8_t(high << 4 | low);
    }
    return bytes;
}

std::optional<uint64_t> Decimal(std::string_view text) {
    if (text.empty() || text.size() > 20)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        uint64_t digit = uint64_t(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<uint32_t> Identity(std::string_view text) {
    if (text.size() != 8)
        return std::nullopt;
    uint32_t id = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0)
            return std::nullopt;
        id = id << 4 | uint32_t(digit);
    }
    if (id == 0)
        return std::nullopt;
    return id;
}

// A time as TakeTimeText writes it, checked only for its shape: it is shown, never computed with.
bool TimeShaped(std::string_view text) {
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? !(text[i] >= '0' && text[i] <= '9') : text[i] != shape[i])
            return false;
    return true;
}

// "5e6f7a8b" or "5e6f7a8b 2026-12-08T09:00:00Z".
std::optional<EarlierTake> Earlier(std::string_view text) {
    size_t space = text.find(' ');
    auto id = Identity(text.substr(0, space));
    if (!id)
        return std::nullopt;
    EarlierTake earlier{*id, {}};
    if (space != std::string_view::npos) {
        std::string_view time = text.substr(space + 1);
        if (!TimeShaped(time))
            return std::nullopt;
        earlier.started = std::string(time);
    }
    return earlier;
}

void KeepLatest(std::vector<EarlierTake>& takes) {
    if (takes.size() > kMaxEarlierTakes)
        takes.erase(takes.begin(), takes.end() - kMaxEarlierTakes);
}

std::string_view NextLine(std::string_view& rest) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

TakeFileRead Damaged(std::string why) {
    return TakeFileRead{std::nullopt, std::move(why)};
}

// A take file is ASCII text without tabs: a control character (a NUL, binary bytes, a carriage
// return that ends no line) makes it none.
std::optional<std::string> ControlCharacter(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = uint8_t(text[i]);
        const bool lineEnd = c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
        if ((c < 0x20 && !lineEnd) || c == 0x7F)
            return "a control character (0x" + std::string{kHex[c >> 4], kHex[c & 15]} +
                   ") at byte " + std::to_string(i) + ": it is no text";
    }
    return std::nullopt;
}

constexpr std::string_view kKeys[] = {"id",      "started", "ended",     "piecebytes",
                                      "frames",  "input",   "stream",    "replaced",
                                      "removed", "stripe",  "stripefile"};

// Keys that may come more than once.
bool Repeated(std::string_view key) {
    return key == "replaced" || key == "stripefile";
}

// The key's place in kKeys; -1 for a key of a later build.
int KeyIndex(std::string_view key) {
    for (size_t i = 0; i < std::size(kKeys); ++i)
        if (key == kKeys[i])
            return int(i);
    return -1;
}

// Stores the value of a known key into `take`; false when it does not read. Unknown keys read.
bool ReadValue(std::string_view key, std::string_view value, TakeFile& take) {
    if (key == "id") {
        auto id = Identity(value);
        take.id = id.value_or(0);
        return id.has_value();
    }
    if (key == "started" || key == "ended" || key == "removed") {
        (key == "started" ? take.started
         : key == "ended" ? take.ended
                          : take.removed) = std::string(value);
        return TimeShaped(value);
    }
    if (key == "piecebytes" || key == "frames") {
        auto number = Decimal(value);
        if (number && key == "frames")
            take.frames = *number;
        else if (number)
            take.pieceBytes = *number;
        return number.has_value();
    }
    if (key == "input" || key == "stream") {
        auto bytes = Bytes(value);
        if (bytes)
            (key == "input" ? take.inputFormat : take.streamFormat) = std::move(*bytes);
        return bytes.has_value();
    }
    if (key == "stripe") {
        auto number = Decimal(value);
        take.stripe = number && *number < kMaxStripes ? uint32_t(*number) : 0;
        return number && *number < kMaxStripes;
    }
    if (key == "stripefile") {
        if (value.empty() || value.size() > kMaxStripeFileName ||
            take.stripeFiles.size() >= kMaxStripes)
            return false;
        take.stripeFiles.emplace_back(value);
        return true;
    }
    if (key == "replaced") {
        auto earlier = Earlier(value);
        if (earlier) {
            take.replaced.push_back(std::move(*earlier));
            KeepLatest(take.replaced);
        }
        return earlier.has_value();
    }
    return true;
}

std::string WhatItIsNot(std::string_view key) {
    if (key == "id")
        return "is no take identity (eight hex digits, not all zero)";
    if (key == "started" || key == "ended" || key == "removed")
        return "is no time (YYYY-MM-DDThh:mm:ssZ)";
    if (key == "piecebytes" || key == "frames")
        return "is no count";
    if (key == "input" || key == "stream")
        return "is no format (hex bytes, at most " + std::to_string(kMaxTakeFormatBytes) + ")";
    if (key == "stripe")
        return "is no stripe (0 to " + std::to_string(kMaxStripes - 1) + ")";
    if (key == "stripefile")
        return "is no data file of a stripe (a name of 1 to " + std::to_string(kMaxStripeFileName) +
               " characters, at most " + std::to_string(kMaxStripes) + " of them)";
    return "is no earlier take (an identity, then its start)";
}

// A line as a message quotes it: long values cut.
std::string Shown(std::string_view key, std::string_view value) {
    constexpr size_t kShown = 40;
    std::string text = std::string(key) + "=" + std::string(value.substr(0, kShown));
    return value.size() > kShown ? text + "..." : text;
}

} // namespace

std::string TakeFileName(std::string_view dataFile) {
    return std::string(dataFile) + std::string(kTakeFileSuffix);
}

std::optional<std::string> TakeFileOfPiece(std::string_view piecePath) {
    if (piecePath.size() < 5)
        return std::nullopt;
    std::string_view suffix = piecePath.substr(piecePath.size() - 4);
    if (suffix[0] != '.' || !(suffix[1] >= '0' && suffix[1] <= '4') ||
        !(suffix[2] >= '0' && suffix[2] <= '9') || !(suffix[3] >= '0' && suffix[3] <= '9'))
        return std::nullopt;
    return TakeFileName(piecePath.substr(0, piecePath.size() - 4));
}

std::string FormatTakeFile(const TakeFile& take) {
    std::string text = std::string(kSection) + "\r\n";
    auto line = [&](std::string_view key, const std::string& value) {
        text += key;
        text += '=';
        text += value;
        text += "\r\n";
    };
    line("id", TakeIdText(take.id));
    if (TimeShaped(take.started))
        line("started", take.started);
    line("piecebytes", std::to_string(take.pieceBytes));
    if (!take.inputFormat.empty() && take.inputFormat.size() <= kMaxTakeFormatBytes)
        line("input", Hex(take.inputFormat));
    if (!take.streamFormat.empty() && take.streamFormat.size() <= kMaxTakeFormatBytes)
        line("stream", Hex(take.streamFormat));
    if (take.frames)
        line("frames", std::to_string(*take.frames));
    if (TimeShaped(take.ended))
        line("ended", take.ended);
    if (TimeShaped(take.removed))
        line("removed", take.removed);
    if (take.stripeFiles.size() >= 2 && take.stripeFiles.size() <= kMaxStripes) {
        line("stripe", std::to_string(take.stripe));
        for (const std::string& file : take.stripeFiles)
            line("stripefile", file);
    }
    const size_t skipped =
        take.replaced.size() > kMaxEarlierTakes ? take.replaced.size() - kMaxEarlierTakes : 0;
    for (size_t i = skipped; i < take.replaced.size(); ++i) {
        const EarlierTake& earlier = take.replaced[i];
        if (earlier.id != 0)
            line("replaced", TakeIdText(earlier.id) +
                                 (TimeShaped(earlier.started) ? " " + earlier.started : ""));
    }
    return text;
}

TakeFileRead ParseTakeFile(std::string_view text) {
    if (text.size() > kMaxTakeFileBytes)
        return Damaged("longer than " + std::to_string(kMaxTakeFileBytes) + " bytes");
    if (text.empty())
        return Damaged("empty");
    if (auto control = ControlCharacter(text))
        return Damaged(*control);
    if (NextLine(text) != kSection)
        return Damaged("its first line is not " + std::string(kSection));
    TakeFile take;
    unsigned seen = 0; // the keys met, by their place in kKeys
    for (size_t number = 2; !text.empty(); ++number) {
        std::string_view line = NextLine(text);
        size_t equals = line.find('=');
        if (line.empty() || equals == std::string_view::npos)
            continue;
        std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
        const int index = KeyIndex(key);
        const unsigned bit = index < 0 || Repeated(key) ? 0 : 1u << index;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (seen & bit)
            return Damaged(where + "a second " + std::string(key) + "= line");
        if (!ReadValue(key, value, take))
            return Damaged(where + Shown(key, value) + " " + WhatItIsNot(key));
        seen |= bit;
    }
    if (take.id == 0)
        return Damaged("no id= line");
    const bool stripeSaid = (seen & (1u << KeyIndex("stripe"))) != 0;
    if (stripeSaid != !take.stripeFiles.empty() || take.stripeFiles.size() == 1)
        return Damaged("a stripe= line needs two or more stripefile= lines, and they it");
    if (!take.stripeFiles.empty() && take.stripe >= take.stripeFiles.size())
        return Damaged("stripe " + std::to_string(take.stripe) + " of only " +
                       std::to_string(take.stripeFiles.size()) + " stripefile= lines");
    return TakeFileRead{std::move(take), {}};
}

void NoteReplacedTake(TakeFile& next, const TakeFile& earlier) {
    std::vector<EarlierTake> history = earlier.replaced;
    if (earlier.id != next.id)
        history.push_back({earlier.id, earlier.started});
    next.replaced = std::move(history);
    KeepLatest(next.replaced);
}

const EarlierTake* FindEarlierTake(const TakeFile& take, uint32_t id) {
    // The latest first: an identity drawn twice names the take that was replaced last.
    for (auto it = take.replaced.rbegin(); it != take.replaced.rend(); ++it)
        if (it->id == id)
            return &*it;
    return nullptr;
}

std::string TakeIdText(uint32_t id) {
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i, id >>= 4)
        text[size_t(i)] = kHex[id & 15];
    return text;
}

std::string TakeTimeText(unsigned year, unsigned month, unsigned day, unsigned hour,
                         unsigned minute, unsigned second) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", year % 10000, month % 100,
                  day % 100, hour % 100, minute % 100, second % 100);
    return text;
}

} // namespace kestro
