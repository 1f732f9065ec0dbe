#include "AviRecords.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "RiffChunks.h"
#include "pure/StreamFormat.h"

namespace kestro::avi {

using namespace riff;

bool ChildWalk::Next(Chunk& chunk, std::string& error) {
    if (pos_ >= end_)
        return false;
    if (end_ - pos_ < 8) {
        // A list may end with a pad byte or a few stray bytes; nothing can start there.
        pos_ = end_;
        return false;
    }
    uint8_t head[12];
    if (!file_.ReadAt(pos_, head, 8)) {
        error = "cannot read the chunk at offset " + Hex(pos_);
        return false;
    }
    chunk.offset = pos_;
    chunk.id = Le32(head);
    chunk.size = Le32(head + 4);
    chunk.form = 0;
    if (chunk.dataEnd() > end_ && acceptCut_) {
        // A file cut short: the last chunk ends where the file does.
        cut_ = true;
        if (chunk.id == kList || chunk.id == kRiff) {
            if (end_ - pos_ < 12 || !file_.ReadAt(pos_ + 8, head + 8, 4))
                return false;
            chunk.form = Le32(head + 8);
        }
        chunk.size = uint32_t(end_ - chunk.dataStart());
        pos_ = end_;
        return true;
    }
    if (chunk.dataEnd() > end_) {
        error = "chunk '" + FourccText(chunk.id, '?') + "' at offset " + Hex(pos_) + " claims " +
                std::to_string(chunk.size) + " bytes, beyond the end of its list at " + Hex(end_) +
                " (file cut short or damaged)";
        return false;
    }
    if (chunk.id == kList || chunk.id == kRiff) {
        if (chunk.size < 4 || !file_.ReadAt(pos_ + 8, head + 8, 4)) {
            error = "list at offset " + Hex(pos_) + " has no type";
            return false;
        }
        chunk.form = Le32(head + 8);
    }
    pos_ = std::min(end_, chunk.dataEnd() + (chunk.size & 1));
    return true;
}

namespace {

constexpr uint32_t kMaxFormatBytes = 1u << 20;
constexpr size_t kMaxStreams = 100;
constexpr size_t kMaxRecordRead = kFrameRecordFixedBytes + kMaxRecordPath + 1;

bool ReadStreamList(ByteFile& file, const Chunk& strl, StreamInfo& info, std::string& error) {
    ChildWalk walk(file, strl.dataStart() + 4, strl.dataEnd());
    Chunk c;
    bool haveHeader = false;
    while (walk.Next(c, error)) {
        if (c.id == kStrh) {
            uint8_t h[40];
            if (c.size < 40 || !file.ReadAt(c.dataStart(), h, 40)) {
                error = "stream header at offset " + Hex(c.offset) + " is too short";
                return false;
            }
            info.fccType = Le32(h);
            info.fccHandler = Le32(h + 4);
            info.scale = Le32(h + 20);
            info.rate = Le32(h + 24);
            info.start = Le32(h + 28);
            info.length = Le32(h + 32);
            info.suggestedBufferSize = Le32(h + 36);
            info.headerOffset = c.dataStart();
            haveHeader = true;
        } else if (c.id == kStrf) {
            if (c.size > kMaxFormatBytes) {
                error = "stream format at offset " + Hex(c.offset) + " is implausibly large";
                return false;
            }
            info.format.resize(c.size);
            if (c.size && !file.ReadAt(c.dataStart(), info.format.data(), c.size)) {
                error = "cannot read the stream format at offset " + Hex(c.offset);
                return false;
            }
        }
    }
    if (!error.empty())
        return false;
    if (!haveHeader) {
        error = "stream list at offset " + Hex(strl.offset) + " has no stream header";
        return false;
    }
    return true;
}

// The main header's frame count and every stream list of the hdrl list.
bool ReadHeaderList(ByteFile& file, const Chunk& list, AviLayout& layout, std::string& error) {
    ChildWalk hdrl(file, list.dataStart() + 4, list.dataEnd());
    Chunk h;
    while (hdrl.Next(h, error)) {
        if (h.id == kAvih) {
            uint8_t a[20];
            if (h.size < 20 || !file.ReadAt(h.dataStart(), a, 20)) {
                error = "main AVI header at offset " + Hex(h.offset) + " too short";
                return false;
            }
            layout.totalFrames = Le32(a + 16);
        } else if (h.id == kList && h.form == kStrl) {
            if (layout.streams.size() >= kMaxStreams) {
                error = "more than 100 streams";
                return false;
            }
            StreamInfo info;
            if (!ReadStreamList(file, h, info, error))
                return false;
            layout.streams.push_back(std::move(info));
        }
    }
    return error.empty();
}

bool IsKestFormat(const std::vector<uint8_t>& format) {
    if (format.size() < kStreamHeaderBytes || Le32(format.data() + 16) != kFourccKest)
        return false;
    if (Le32(format.data()) > format.size())
        return false;
    return ReadStreamFormat(format.data()).has_value();
}

void FindKestStream(AviLayout& layout) {
    for (size_t i = 0; i < layout.streams.size(); ++i) {
        if (layout.streams[i].fccType == MakeFourcc("vids") &&
            IsKestFormat(layout.streams[i].format)) {
            layout.kestStream = int(i);
            break;
        }
    }
}

} // namespace

std::optional<AviLayout> ReadHeaderListAt(ByteFile& file, uint64_t listOffset, uint64_t end,
                                          std::string& error) {
    error.clear();
    uint8_t head[12];
    if (end < listOffset + 12 || !file.ReadAt(listOffset, head, 12) || Le32(head) != kList ||
        Le32(head + 8) != kHdrl) {
        error = "no header list at offset " + Hex(listOffset);
        return std::nullopt;
    }
    Chunk list{listOffset, kList,
               uint32_t(std::min<uint64_t>(Le32(head + 4), end - listOffset - 8)), kHdrl};
    if (list.size < 4) {
        error = "list at offset " + Hex(listOffset) + " has no type";
        return std::nullopt;
    }
    AviLayout layout;
    if (!ReadHeaderList(file, list, layout, error))
        return std::nullopt;
    FindKestStream(layout);
    return layout;
}

int StreamOfChunkId(uint32_t id) {
    char a = char(id), b = char(id >> 8);
    if (a < '0' || a > '9' || b < '0' || b > '9')
        return -1;
    return (a - '0') * 10 + (b - '0');
}

std::optional<AviLayout> ReadAviLayout(ByteFile& file, bool needKest, std::string& error,
                                       bool acceptCut) {
    error.clear();
    const uint64_t size = file.Size();
    AviLayout layout;
    ChildWalk top(file, 0, size, acceptCut);
    Chunk riff;
    bool first = true;
    while (true) {
        if (!top.Next(riff, error)) {
            if (!error.empty() && !first && riff.id != kRiff)
                error.clear(); // stray bytes after the last RIFF are not ours to judge
            break;
        }
        if (riff.id != kRiff || riff.form != (first ? kAvi : kAvix)) {
            if (first) {
                error = "not an AVI file (no RIFF 'AVI ' header)";
                return std::nullopt;
            }
            break;
        }
        ChildWalk walk(file, riff.dataStart() + 4, riff.dataEnd(), acceptCut);
        Chunk c;
        while (walk.Next(c, error)) {
            if (c.id == kList && c.form == kMovi) {
                layout.movi.push_back({c.dataStart() + 4, c.dataEnd()});
            } else if (first && c.id == kList && c.form == kHdrl) {
                if (!ReadHeaderList(file, c, layout, error))
                    return std::nullopt;
            }
        }
        if (!error.empty())
            return std::nullopt;
        layout.cut = layout.cut || walk.cut() || top.cut();
        first = false;
    }
    if (!error.empty())
        return std::nullopt;
    if (first) {
        error = "not an AVI file (no RIFF 'AVI ' header)";
        return std::nullopt;
    }
    if (layout.movi.empty()) {
        error = "the AVI has no 'movi' list";
        return std::nullopt;
    }
    FindKestStream(layout);
    if (needKest && layout.kestStream < 0) {
        error = "the AVI has no KEST stream (its video was not captured through the codec)";
        return std::nullopt;
    }
    return layout;
}

bool ForEachStreamChunk(ByteFile& file, const AviLayout& layout, int stream,
                        const std::function<bool(const RecordChunk&)>& visit, std::string& error) {
    error.clear();
    uint64_t index = 0;
    for (const auto& movi : layout.movi) {
        ChildWalk walk(file, movi.start, movi.end);
        Chunk c;
        while (walk.Next(c, error)) {
            if (c.id == kList && c.form == kRec) {
                ChildWalk rec(file, c.dataStart() + 4, c.dataEnd());
                Chunk r;
                while (rec.Next(r, error)) {
                    if (r.id != kList && StreamOfChunkId(r.id) == stream &&
                        !visit({index++, r.offset, r.size}))
                        return true;
                }
                if (!error.empty())
                    return false;
            } else if (c.id != kList && StreamOfChunkId(c.id) == stream) {
                if (!visit({index++, c.offset, c.size}))
                    return true;
            }
        }
        if (!error.empty())
            return false;
    }
    return true;
}

bool ForEachRecord(ByteFile& file, const AviLayout& layout,
                   const std::function<std::optional<std::string>(const RecordChunk&,
                                                                  const FrameRecordView&)>& check,
                   std::string& error) {
    if (layout.kestStream < 0) {
        error = "the AVI has no KEST stream";
        return false;
    }
    uint8_t buffer[kMaxRecordRead];
    std::string problem;
    bool walked = ForEachStreamChunk(
        file, layout, layout.kestStream,
        [&](const RecordChunk& chunk) {
            size_t n = std::min<size_t>(chunk.chunkSize, sizeof buffer);
            if (!file.ReadAt(chunk.chunkOffset + 8, buffer, n)) {
                problem = "record " + std::to_string(chunk.index) + " (chunk at offset " +
                          Hex(chunk.chunkOffset) + "): cannot be read";
                return false;
            }
            auto record = ParseFrameRecord(buffer, n);
            if (!record) {
                problem = "record " + std::to_string(chunk.index) + " (chunk at offset " +
                          Hex(chunk.chunkOffset) + ", " + std::to_string(chunk.chunkSize) +
                          " bytes): not a frame record (no terminated piece name)";
                return false;
            }
            if (auto refusal = check(chunk, *record)) {
                problem = *refusal;
                return false;
            }
            return true;
        },
        error);
    if (!walked)
        return false;
    if (!problem.empty()) {
        error = problem;
        return false;
    }
    return true;
}

} // namespace kestro::avi
