#pragma once
// A capture AVI as AVIFile reads it, for play and inspect: its video stream, the stream format
// checked, and whether each record's bytes are on disk.
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "PathGate.h"
#include "pure/FrameRecord.h"
#include "pure/StreamFormat.h"
#include "pure/TakeFile.h"

namespace host {

class AviReader {
public:
    AviReader() = default;
    AviReader(const AviReader&) = delete;
    AviReader& operator=(const AviReader&) = delete;
    ~AviReader();

    bool Open(const std::string& path); // false after a message
    // Reads sample `frame` into `data`; false (after a message) on failure.
    bool Read(LONG frame, std::vector<uint8_t>& data);

    PAVISTREAM stream() const { return stream_; }
    const AVISTREAMINFOA& info() const { return info_; }
    const std::vector<uint8_t>& format() const { return format_; }
    LONG Start() const { return AVIStreamStart(stream_); }
    LONG Length() const { return AVIStreamLength(stream_); }

private:
    PAVIFILE file_ = nullptr;
    PAVISTREAM stream_ = nullptr;
    AVISTREAMINFOA info_{};
    std::vector<uint8_t> format_;
};

// The stream format, checked for what both play and inspect rely on; empty after a message.
std::optional<kestro::StreamFormatHeader> StreamFormatOf(const std::string& path,
                                                         const std::vector<uint8_t>& format);

// "yuy2", "rgb24"... for the kind a stream stores, else its source fourcc.
std::string StoredKindName(const kestro::StreamFormatHeader& h);

// Whether a record's bytes are on disk: its piece exists and holds them. Piece sizes are cached.
class ReferenceChecker {
public:
    // Empty when intact, else why not: a name the piece rule refuses (never looked up), a missing
    // piece or no regular file, bytes beyond its end, or a take the data file no longer holds.
    std::string Problem(const kestro::FrameRecordView& r);
    const std::map<std::string, int64_t>& Pieces() const { return sizes_; }

    struct PieceTake {
        std::string file;
        kestro::TakeFileRead take;
    };
    const std::map<std::string, PieceTake>& Takes() const { return takes_; } // by piece

private:
    PathGate gate_;
    std::map<std::string, int64_t> sizes_; // -1: missing, refused or no regular file
    std::map<std::string, std::string> refused_;
    std::map<std::string, PieceTake> takes_;
};

} // namespace host
