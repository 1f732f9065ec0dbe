#pragma once
// Take files as a hostile user or a broken disk leaves them beside the pieces: every reader must
// refuse the frames of a record beside any of them (the take the pieces hold is another one, or
// cannot be told). Plain C++: the native tool's tests, the host program's and the codec's read the
// same table; the kinds other than Text are made on disk by each test (or, under Wine, by the
// fixture script hostile_takes.sh, since a Windows program makes no FIFO or symbolic link).
#include <cstdint>
#include <string>
#include <vector>

namespace hostile {

enum class Entry { Text, Folder, Fifo, LinkToDevZero, DanglingLink };

struct TakeFileRow {
    const char* name;
    Entry entry;
    std::string (*text)(const std::string& real); // from the take file that names another take
    bool valid;         // a whole take file (of another take): the frames are gone, not untold
    const char* damage; // part of what a reader says is wrong; empty where it differs by system
};

// `real` with the line of `key` replaced by `line` (removed when `line` is empty).
inline std::string WithLine(const std::string& real, const std::string& key,
                            const std::string& line) {
    const size_t at = real.find("\r\n" + key + "=");
    if (at == std::string::npos)
        return real + line;
    const size_t end = real.find("\r\n", at + 2);
    return real.substr(0, at + 2) + line + real.substr(end + 2);
}

inline std::string Repeated(const std::string& line, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i)
        text += line;
    return text;
}

inline const std::vector<TakeFileRow>& TakeFileRows() {
    using E = Entry;
    static const std::vector<TakeFileRow> rows = {
        {"binary bytes", E::Text,
         [](const std::string&) {
             std::string bytes;
             for (int i = 0; i < 1024; ++i)
                 bytes += char(i * 37 + 11);
             return bytes;
         },
         false, "control character"},
        {"empty", E::Text, [](const std::string&) { return std::string(); }, false, "empty"},
        {"[take] alone", E::Text, [](const std::string&) { return std::string("[take]\r\n"); },
         false, "no id= line"},
        {"a UTF-8 byte-order mark", E::Text,
         [](const std::string& real) { return "\xEF\xBB\xBF" + real; }, false,
         "first line is not [take]"},
        {"\\r\\r\\n line ends", E::Text,
         [](const std::string& real) {
             std::string text;
             for (char c : real)
                 text += c == '\r' ? std::string("\r\r") : std::string(1, c);
             return text;
         },
         false, "control character"},
        {"id=00000000", E::Text,
         [](const std::string& real) { return WithLine(real, "id", "id=00000000\r\n"); }, false,
         "is no take identity"},
        {"an id of 16 hex digits", E::Text,
         [](const std::string& real) { return WithLine(real, "id", "id=0badcafe0badcafe\r\n"); },
         false, "is no take identity"},
        {"id=-1", E::Text,
         [](const std::string& real) { return WithLine(real, "id", "id=-1\r\n"); }, false,
         "is no take identity"},
        {"id= x", E::Text,
         [](const std::string& real) { return WithLine(real, "id", "id= x\r\n"); }, false,
         "is no take identity"},
        {"a NUL in a value", E::Text,
         [](const std::string& real) {
             return WithLine(real, "started",
                             "started=2026-01-02T03:04" + std::string(1, '\0') + ":05Z\r\n");
         },
         false, "control character (0x00)"},
        {"a stream format that is not hex", E::Text,
         [](const std::string& real) {
             return WithLine(real, "stream", "stream=" + std::string(104, 'z') + "\r\n");
         },
         false, "is no format"},
        {"a stream format of odd length", E::Text,
         [](const std::string& real) { return WithLine(real, "stream", "stream=abc\r\n"); }, false,
         "is no format"},
        {"negative frames=", E::Text,
         [](const std::string& real) { return WithLine(real, "frames", "frames=-3\r\n"); }, false,
         "is no count"},
        {"frames= over 2^64", E::Text,
         [](const std::string& real) {
             return WithLine(real, "frames", "frames=18446744073709551616\r\n");
         },
         false, "is no count"},
        {"[Take] in another case", E::Text,
         [](const std::string& real) { return "[Take]" + real.substr(6); }, false,
         "first line is not [take]"},
        {"a file over 64 KiB", E::Text,
         [](const std::string& real) { return real + "note=" + std::string(70000, 'x') + "\r\n"; },
         false, "longer than 65536"},
        {"a 1 MB line", E::Text,
         [](const std::string& real) { return real + std::string(1 << 20, 'x') + "\r\n"; }, false,
         "longer than 65536"},
        {"10,000 replaced= lines", E::Text,
         [](const std::string& real) {
             return real + Repeated("replaced=0badcafe 2026-01-02T03:04:05Z\r\n", 10000);
         },
         false, "longer than 65536"},
        {"a folder", E::Folder, nullptr, false, "is a folder"},
        {"a FIFO", E::Fifo, nullptr, false, ""},
        {"a symbolic link to /dev/zero", E::LinkToDevZero, nullptr, false, ""},
        {"a dangling symbolic link", E::DanglingLink, nullptr, false, ""},
        {"no id= line", E::Text, [](const std::string& real) { return WithLine(real, "id", ""); },
         false, "no id= line"},
        {"a second id= line", E::Text,
         [](const std::string& real) { return real + "id=0badcafe\r\n"; }, false,
         "a second id= line"},
        {"cut inside the identity", E::Text,
         [](const std::string& real) { return real.substr(0, real.find("\r\nid=") + 7); }, false,
         "is no take identity"},
        {"spaces around the = of id", E::Text,
         [](const std::string& real) {
             return WithLine(real, "id",
                             "id = " + real.substr(real.find("\r\nid=") + 5, 8) + "\r\n");
         },
         false, "no id= line"},
        {"a carriage return alone ending a line", E::Text,
         [](const std::string& real) { return "[take]\r" + real.substr(8); }, false,
         "control character (0x0d)"},
        {"started= that is no time", E::Text,
         [](const std::string& real) { return WithLine(real, "started", "started=yesterday\r\n"); },
         false, "is no time"},
        {"replaced= naming no take", E::Text,
         [](const std::string& real) { return real + "replaced=someone else\r\n"; }, false,
         "is no earlier take"},
        {"piecebytes= that is no number", E::Text,
         [](const std::string& real) { return WithLine(real, "piecebytes", "piecebytes=2G\r\n"); },
         false, "is no count"},
        {"removed= that is no time", E::Text,
         [](const std::string& real) { return real + "removed=today\r\n"; }, false, "is no time"},
        {"another take's file, whole and valid", E::Text,
         [](const std::string& real) { return real; }, true, ""},
        // Its pieces were removed on request: still another take, whose frames are not these.
        {"another take's file, marked removed", E::Text,
         [](const std::string& real) { return real + "removed=2026-12-10T08:00:00Z\r\n"; }, true,
         ""},
    };
    return rows;
}

} // namespace hostile
