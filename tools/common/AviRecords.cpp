#include "AviRecords.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pure/StreamFormat.h"

namespace kestro::avi {

namespace {

constexpr uint32_t kRiff = Fourcc("RIFF");
constexpr uint32_t kList = Fourcc("LIST");
constexpr uint32_t kAvi = Fourcc("AVI ");
constexpr uint32_t kAvix = Fourcc("AVIX");
constexpr uint32_t kHdrl = Fourcc("hdrl");
constexpr uint32_t kStrl = Fourcc("strl");
constexpr uint32_t kMovi = Fourcc("movi");
constexpr uint32_t kRec = Fourcc("rec ");
constexpr uint32_t kAvih = Fourcc("avih");
constexpr uint32_t kStrh = Fourcc("strh");
constexpr uint32_t kStrf = Fourcc("strf");
constexpr uint32_t kIdx1 = Fourcc("idx1");
constexpr uint32_t kIndx = Fourcc("indx");
constexpr uint32_t kMaxFormatBytes = 1u << 20;
constexpr size_t kMaxStreams = 100;
constexpr size_t kMaxRecordRead = kFrameRecordFixedBytes + kMaxRecordPath + 1;

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) {
    return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32;
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    Put32(p, uint32_t(v));
    Put32(p + 4, uint32_t(v >> 32));
}

std::string Hex(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

std::string FourccText(uint32_t id) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = char(id >> (8 * i));
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

struct Chunk {
    uint64_t offset; // of the header
    uint32_t id;
    uint32_t size;
    uint32_t form; // list type for RIFF and LIST, else 0
    uint64_t dataStart() const { return offset + 8; }
    uint64_t dataEnd() const { return offset + 8 + size; }
};

// Children of the span [start, end), one after another; each must lie inside the span.
class ChildWalk {
public:
    ChildWalk(ByteFile& file, uint64_t start, uint64_t end, bool acceptCut = false)
        : file_(file), pos_(start), end_(end), acceptCut_(acceptCut) {}
    bool cut() const { return cut_; }
    // false at the end of the span or on a malformed child (error then set)
    bool Next(Chunk& chunk, std::string& error) {
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
            error = "chunk '" + FourccText(chunk.id) + "' at offset " + Hex(pos_) + " claims " +
                    std::to_string(chunk.size) + " bytes, beyond the end of its list at " +
                    Hex(end_) + " (file cut short or damaged)";
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

private:
    ByteFile& file_;
    uint64_t pos_;
    uint64_t end_;
    bool acceptCut_;
    bool cut_ = false;
};

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

bool IsKestFormat(const std::vector<uint8_t>& format) {
    if (format.size() < kStreamHeaderBytes || Le32(format.data() + 16) != Fourcc("KEST"))
        return false;
    if (Le32(format.data()) > format.size())
        return false;
    return ReadStreamFormat(format.data()).has_value();
}

} // namespace

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
                ChildWalk hdrl(file, c.dataStart() + 4, c.dataEnd());
                Chunk h;
                while (hdrl.Next(h, error)) {
                    if (h.id == kAvih) {
                        uint8_t a[20];
                        if (h.size < 20 || !file.ReadAt(h.dataStart(), a, 20)) {
                            error = "main AVI header at offset " + Hex(h.offset) + " too short";
                            return std::nullopt;
                        }
                        layout.totalFrames = Le32(a + 16);
                    } else if (h.id == kList && h.form == kStrl) {
                        if (layout.streams.size() >= kMaxStreams) {
                            error = "more than 100 streams";
                            return std::nullopt;
                        }
                        StreamInfo info;
                        if (!ReadStreamList(file, h, info, error))
                            return std::nullopt;
                        layout.streams.push_back(std::move(info));
                    }
                }
                if (!error.empty())
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
    for (size_t i = 0; i < layout.streams.size(); ++i) {
        if (layout.streams[i].fccType == Fourcc("vids") && IsKestFormat(layout.streams[i].format)) {
            layout.kestStream = int(i);
            break;
        }
    }
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

std::optional<std::string> RelinkedPieceName(std::string_view oldName, std::string_view newBase) {
    if (oldName.size() < 4 || newBase.empty())
        return std::nullopt;
    std::string_view suffix = oldName.substr(oldName.size() - 4);
    if (suffix[0] != '.')
        return std::nullopt;
    for (int i = 1; i < 4; ++i)
        if (suffix[i] < '0' || suffix[i] > '9')
            return std::nullopt;
    std::string name(newBase);
    name += suffix;
    if (name.size() > kMaxRecordPath || name.find('\0') != std::string::npos)
        return std::nullopt;
    return name;
}

bool RewriteRecord(const uint8_t* oldRecord, size_t chunkSize, std::string_view newName,
                   std::vector<uint8_t>& out) {
    if (chunkSize < FrameRecordBytes(newName.size()))
        return false;
    out.assign(chunkSize, 0);
    std::memcpy(out.data(), oldRecord, kFrameRecordFixedBytes);
    std::memcpy(out.data() + kFrameRecordFixedBytes, newName.data(), newName.size());
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

namespace {

// Checks every record's new name (and, when asked, that it fits its chunk); counts the records.
bool PlanRelink(ByteFile& file, const AviLayout& layout, std::string_view newBase, bool needFit,
                uint64_t& records, std::string& error) {
    records = 0;
    return ForEachRecord(
        file, layout,
        [&](const RecordChunk& chunk, const FrameRecordView& record) -> std::optional<std::string> {
            auto name = RelinkedPieceName(record.path, newBase);
            if (!name)
                return "record " + std::to_string(chunk.index) + ": piece name '" +
                       std::string(record.path) +
                       "' has no .NNN suffix to carry over, or the new name is too long";
            if (needFit && FrameRecordBytes(name->size()) > chunk.chunkSize)
                return "record " + std::to_string(chunk.index) + ": the new name '" + *name +
                       "' does not fit its " + std::to_string(chunk.chunkSize) + "-byte chunk";
            ++records;
            return std::nullopt;
        },
        error);
}

} // namespace

bool RelinkFitsInPlace(ByteFile& file, const AviLayout& layout, std::string_view newBase,
                       std::string& error) {
    uint64_t records;
    return PlanRelink(file, layout, newBase, true, records, error);
}

std::optional<uint64_t> RelinkInPlace(ByteFile& file, const AviLayout& layout,
                                      std::string_view newBase, std::string& error) {
    uint64_t records;
    if (!PlanRelink(file, layout, newBase, true, records, error))
        return std::nullopt;
    std::vector<uint8_t> rewritten;
    std::vector<uint8_t> old;
    bool ok = ForEachRecord(
        file, layout,
        [&](const RecordChunk& chunk, const FrameRecordView& record) -> std::optional<std::string> {
            auto name = RelinkedPieceName(record.path, newBase);
            old.resize(kFrameRecordFixedBytes);
            if (!name || !file.ReadAt(chunk.chunkOffset + 8, old.data(), old.size()) ||
                !RewriteRecord(old.data(), chunk.chunkSize, *name, rewritten))
                return "record " + std::to_string(chunk.index) + " changed while relinking";
            if (!file.WriteAt(chunk.chunkOffset + 8, rewritten.data(), rewritten.size()))
                return "record " + std::to_string(chunk.index) + " (chunk at offset " +
                       Hex(chunk.chunkOffset) + "): cannot be written";
            return std::nullopt;
        },
        error);
    if (!ok)
        return std::nullopt;
    return records;
}

// ---- relink into a new file ----------------------------------------------------------------

namespace {

class NewFileWriter {
public:
    NewFileWriter(ByteFile& in, const AviLayout& layout, ByteFile& out, uint32_t newRecordBytes,
                  std::string_view newBase)
        : in_(in), layout_(layout), out_(out), newRecordBytes_(newRecordBytes), newBase_(newBase) {}

    bool Plan(std::string& error) {
        int64_t growth = 0;
        return ForEachStreamChunk(
            in_, layout_, layout_.kestStream,
            [&](const RecordChunk& c) {
                uint32_t grown = NewChunkSize(c.chunkSize);
                if (grown != c.chunkSize) {
                    growth += int64_t(Padded(grown)) - int64_t(Padded(c.chunkSize));
                    shifts_.push_back({c.chunkOffset + 8 + Padded(c.chunkSize), growth});
                }
                return true;
            },
            error);
    }

    bool Write(std::string& error) {
        // The RIFFs the layout came from; whatever follows them is kept as it was, however
        // damaged, as the layout's reader leaves it.
        ChildWalk top(in_, 0, in_.Size());
        Chunk riff;
        uint64_t next = 0;
        while (top.Next(riff, error)) {
            if (riff.id != kRiff || riff.form != (next == 0 ? kAvi : kAvix))
                break;
            if (!CopyList(riff, 0, error))
                return false;
            next = std::min(in_.Size(), riff.dataEnd() + (riff.size & 1));
        }
        if (!error.empty() && (next == 0 || riff.id == kRiff))
            return false;
        error.clear();
        return CopyBytes(next, in_.Size() - next, error);
    }

private:
    struct Shift {
        uint64_t oldEnd; // positions at or after this moved by `total`
        int64_t total;
    };

    static uint64_t Padded(uint32_t size) { return uint64_t(size) + (size & 1); }
    uint32_t NewChunkSize(uint32_t size) const { return std::max(size, newRecordBytes_); }

    uint64_t Moved(uint64_t oldOffset) const {
        auto it = std::upper_bound(shifts_.begin(), shifts_.end(), oldOffset,
                                   [](uint64_t v, const Shift& s) { return v < s.oldEnd; });
        if (it == shifts_.begin())
            return oldOffset;
        return oldOffset + uint64_t(std::prev(it)->total);
    }

    bool Put(const void* data, size_t n, std::string& error) {
        if (!out_.WriteAt(pos_, data, n)) {
            error = "cannot write the new AVI at offset " + Hex(pos_) + " (disk full?)";
            return false;
        }
        pos_ += n;
        return true;
    }

    bool CopyBytes(uint64_t from, uint64_t n, std::string& error) {
        std::vector<uint8_t> block(size_t(std::min<uint64_t>(n, 1u << 20)));
        while (n > 0) {
            size_t step = size_t(std::min<uint64_t>(n, block.size()));
            if (!in_.ReadAt(from, block.data(), step)) {
                error = "cannot read the AVI at offset " + Hex(from);
                return false;
            }
            if (!Put(block.data(), step, error))
                return false;
            from += step;
            n -= step;
        }
        return true;
    }

    bool ReadChunkData(const Chunk& c, std::vector<uint8_t>& data, std::string& error) {
        data.resize(c.size);
        if (c.size && !in_.ReadAt(c.dataStart(), data.data(), c.size)) {
            error = "cannot read chunk '" + FourccText(c.id) + "' at offset " + Hex(c.offset);
            return false;
        }
        return true;
    }

    bool PutChunk(uint32_t id, const std::vector<uint8_t>& data, std::string& error) {
        uint8_t head[8];
        Put32(head, id);
        Put32(head + 4, uint32_t(data.size()));
        if (!Put(head, 8, error) || (!data.empty() && !Put(data.data(), data.size(), error)))
            return false;
        const uint8_t zero = 0;
        return (data.size() & 1) == 0 || Put(&zero, 1, error);
    }

    // The lists the layout and the record walk look into; any other list, and whatever looks
    // like a record or an index inside it, is not the file's and is copied as it is.
    static bool Walked(uint32_t parent, uint32_t child) {
        return ((parent == kAvi || parent == kAvix) && (child == kHdrl || child == kMovi)) ||
               (parent == kHdrl && child == kStrl) || (parent == kMovi && child == kRec);
    }

    bool CopyList(const Chunk& list, int depth, std::string& error) {
        if (depth > 8) {
            error = "lists nested too deeply at offset " + Hex(list.offset);
            return false;
        }
        const uint64_t head = pos_;
        uint8_t header[12];
        Put32(header, list.id);
        Put32(header + 4, 0);
        Put32(header + 8, list.form);
        if (!Put(header, 12, error))
            return false;
        const bool inMovi = list.form == kMovi || list.form == kRec;
        ChildWalk walk(in_, list.dataStart() + 4, list.dataEnd());
        Chunk c;
        uint64_t copied = list.dataStart() + 4; // the end of the last child
        while (walk.Next(c, error)) {
            // A last chunk may lack its pad byte: never copy past the end of the list.
            const uint64_t stored = std::min(8 + Padded(c.size), list.dataEnd() - c.offset);
            copied = c.offset + stored;
            if (c.id == kList && !Walked(list.form, c.form)) {
                if (!CopyBytes(c.offset, stored, error))
                    return false;
            } else if (c.id == kList) {
                if (!CopyList(c, depth + 1, error))
                    return false;
            } else if (inMovi && StreamOfChunkId(c.id) == layout_.kestStream && c.id != kIndx) {
                if (!CopyRecordChunk(c, error))
                    return false;
            } else if (c.id == kIdx1) {
                if (!CopyIdx1(c, error))
                    return false;
            } else if ((c.id & 0xffff) == (Fourcc("ix00") & 0xffff) || c.id == kIndx) {
                if (!CopyIndex(c, error))
                    return false;
            } else if (c.id == kStrh && c.dataStart() == KestHeaderOffset()) {
                std::vector<uint8_t> data;
                if (!ReadChunkData(c, data, error))
                    return false;
                if (data.size() >= 40)
                    Put32(data.data() + 36, std::max(Le32(data.data() + 36), newRecordBytes_));
                if (!PutChunk(c.id, data, error))
                    return false;
            } else if (!CopyBytes(c.offset, stored, error)) {
                return false;
            }
        }
        if (!error.empty())
            return false;
        // Stray bytes too few to start a chunk end some lists; every offset after them counts
        // them.
        if (copied < list.dataEnd() && !CopyBytes(copied, list.dataEnd() - copied, error))
            return false;
        const uint64_t size = pos_ - head - 8;
        if (size > UINT32_MAX) {
            error = "the relinked list at offset " + Hex(list.offset) + " would exceed 4 GiB";
            return false;
        }
        uint8_t patch[4];
        Put32(patch, uint32_t(size));
        if (!out_.WriteAt(head + 4, patch, 4)) {
            error = "cannot write the new AVI at offset " + Hex(head + 4);
            return false;
        }
        // A list whose old size was odd ends with a pad byte in the old file, counted by its
        // parent: keep the new one even as well.
        if (size & 1) {
            const uint8_t zero = 0;
            return Put(&zero, 1, error);
        }
        return true;
    }

    uint64_t KestHeaderOffset() const {
        return layout_.kestStream >= 0 ? layout_.streams[size_t(layout_.kestStream)].headerOffset
                                       : UINT64_MAX;
    }

    bool CopyRecordChunk(const Chunk& c, std::string& error) {
        std::vector<uint8_t> data;
        if (!ReadChunkData(c, data, error))
            return false;
        auto record = ParseFrameRecord(data.data(), data.size());
        std::optional<std::string> name;
        if (record)
            name = RelinkedPieceName(record->path, newBase_);
        std::vector<uint8_t> rewritten;
        if (!name || !RewriteRecord(data.data(), NewChunkSize(c.size), *name, rewritten)) {
            error = "record chunk at offset " + Hex(c.offset) + " cannot be relinked";
            return false;
        }
        return PutChunk(c.id, rewritten, error);
    }

    // idx1: 16-byte entries; offsets from the 'movi' type word (usual) or from the file's start.
    bool CopyIdx1(const Chunk& c, std::string& error) {
        std::vector<uint8_t> data;
        if (!ReadChunkData(c, data, error))
            return false;
        const size_t entries = data.size() / 16;
        uint64_t base = 0;
        if (entries > 0 && !layout_.movi.empty()) {
            // The first entry tells which origin the writer used: its id must be found there.
            const uint64_t rel = layout_.movi.front().start - 4 + Le32(data.data() + 8);
            uint8_t id[4] = {};
            if (in_.ReadAt(rel, id, 4) && Le32(id) == Le32(data.data()))
                base = layout_.movi.front().start - 4;
        }
        const uint64_t newBase = Moved(base);
        for (size_t i = 0; i < entries; ++i) {
            uint8_t* e = data.data() + 16 * i;
            const uint64_t at = base + Le32(e + 8);
            Put32(e + 8, uint32_t(Moved(at) - newBase));
            if (StreamOfChunkId(Le32(e)) == layout_.kestStream)
                Put32(e + 12, NewChunkSize(Le32(e + 12)));
        }
        return PutChunk(c.id, data, error);
    }

    // indx (in a stream list) and ix## (in movi): OpenDML indexes of chunks or of indexes.
    bool CopyIndex(const Chunk& c, std::string& error) {
        std::vector<uint8_t> data;
        if (!ReadChunkData(c, data, error))
            return false;
        if (data.size() >= 24) {
            const uint16_t longsPerEntry = uint16_t(data[0] | data[1] << 8);
            const uint8_t type = data[3];
            const uint32_t inUse = Le32(data.data() + 4);
            const uint32_t chunkId = Le32(data.data() + 8);
            const bool kest = StreamOfChunkId(chunkId) == layout_.kestStream;
            if (type == 0 && longsPerEntry == 4) { // index of indexes: where the ix## chunks lie
                for (uint64_t i = 0; i < inUse && 24 + 16 * (i + 1) <= data.size(); ++i) {
                    uint8_t* e = data.data() + 24 + 16 * i;
                    Put64(e, Moved(Le64(e)));
                }
            } else if (type == 1 && longsPerEntry == 2 && data.size() >= 24) { // chunks
                const uint64_t base = Le64(data.data() + 12);
                const uint64_t newBase = Moved(base);
                Put64(data.data() + 12, newBase);
                for (uint64_t i = 0; i < inUse && 24 + 8 * (i + 1) <= data.size(); ++i) {
                    uint8_t* e = data.data() + 24 + 8 * i;
                    const uint64_t at = base + Le32(e);
                    Put32(e, uint32_t(Moved(at) - newBase));
                    if (kest) {
                        const uint32_t sizeWord = Le32(e + 4);
                        const uint32_t flag = sizeWord & 0x80000000u;
                        Put32(e + 4, NewChunkSize(sizeWord & 0x7fffffffu) | flag);
                    }
                }
            }
        }
        return PutChunk(c.id, data, error);
    }

    ByteFile& in_;
    const AviLayout& layout_;
    ByteFile& out_;
    uint32_t newRecordBytes_;
    std::string_view newBase_;
    std::vector<Shift> shifts_;
    uint64_t pos_ = 0;
};

} // namespace

std::optional<uint64_t> RelinkToNewFile(ByteFile& in, const AviLayout& layout, ByteFile& out,
                                        std::string_view newBase, std::string& error) {
    uint64_t records;
    if (!PlanRelink(in, layout, newBase, false, records, error))
        return std::nullopt;
    // Every new name has the same length: the base and a four-character suffix.
    const uint32_t newRecordBytes = FrameRecordBytes(newBase.size() + 4);
    NewFileWriter writer(in, layout, out, newRecordBytes, newBase);
    if (!writer.Plan(error) || !writer.Write(error))
        return std::nullopt;
    return records;
}

} // namespace kestro::avi
