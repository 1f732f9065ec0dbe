// The rewrite of a KEST stream's piece names: in place when every new record fits its chunk, or
// into a new file whose sizes and indexes follow the grown chunks.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "AviRecords.h"
#include "RiffChunks.h"

namespace kestro::avi {

using namespace riff;

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

namespace {

bool SameCaseless(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view DataFileOf(std::string_view pieceName) {
    return pieceName.size() < 4 ? std::string_view() : pieceName.substr(0, pieceName.size() - 4);
}

} // namespace

std::string_view RelinkBases::For(std::string_view oldName) const {
    if (oldBases.empty())
        return newBases.empty() ? std::string_view() : std::string_view(newBases[0]);
    for (size_t i = 0; i < oldBases.size() && i < newBases.size(); ++i)
        if (SameCaseless(oldBases[i], DataFileOf(oldName)))
            return newBases[i];
    return {};
}

size_t RelinkBases::Longest() const {
    size_t longest = 0;
    for (const std::string& base : newBases)
        longest = std::max(longest, base.size());
    return longest;
}

bool RecordedDataFiles(ByteFile& file, const AviLayout& layout, std::vector<std::string>& bases,
                       std::string& error) {
    bases.clear();
    return ForEachRecord(
        file, layout,
        [&](const RecordChunk&, const FrameRecordView& record) -> std::optional<std::string> {
            const std::string_view base = DataFileOf(record.path);
            if (std::none_of(bases.begin(), bases.end(),
                             [&](const std::string& known) { return SameCaseless(known, base); }))
                bases.emplace_back(base);
            return std::nullopt;
        },
        error);
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

namespace {

// Checks every record's new name (and, when asked, that it fits its chunk); counts the records.
bool PlanRelink(ByteFile& file, const AviLayout& layout, const RelinkBases& bases, bool needFit,
                uint64_t& records, std::string& error) {
    records = 0;
    return ForEachRecord(
        file, layout,
        [&](const RecordChunk& chunk, const FrameRecordView& record) -> std::optional<std::string> {
            auto name = RelinkedPieceName(record.path, bases.For(record.path));
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

bool RelinkFitsInPlace(ByteFile& file, const AviLayout& layout, const RelinkBases& bases,
                       std::string& error) {
    uint64_t records;
    return PlanRelink(file, layout, bases, true, records, error);
}

std::optional<uint64_t> RelinkInPlace(ByteFile& file, const AviLayout& layout,
                                      const RelinkBases& bases, std::string& error) {
    uint64_t records;
    if (!PlanRelink(file, layout, bases, true, records, error))
        return std::nullopt;
    std::vector<uint8_t> rewritten;
    std::vector<uint8_t> old;
    bool ok = ForEachRecord(
        file, layout,
        [&](const RecordChunk& chunk, const FrameRecordView& record) -> std::optional<std::string> {
            auto name = RelinkedPieceName(record.path, bases.For(record.path));
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

namespace {

// Copies the AVI into a new file with every record rewritten; a chunk that grows moves the rest.
class NewFileWriter {
public:
    NewFileWriter(ByteFile& in, const AviLayout& layout, ByteFile& out, uint32_t newRecordBytes,
                  const RelinkBases& bases)
        : in_(in), layout_(layout), out_(out), newRecordBytes_(newRecordBytes), bases_(bases) {}

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
            error = "cannot read chunk '" + FourccText(c.id, '?') + "' at offset " + Hex(c.offset);
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
            if (!CopyChild(list, c, stored, inMovi, depth, error))
                return false;
        }
        if (!error.empty())
            return false;
        // Stray bytes too few to start a chunk end some lists; every offset after them counts
        // them.
        if (copied < list.dataEnd() && !CopyBytes(copied, list.dataEnd() - copied, error))
            return false;
        return CloseList(list, head, error);
    }

    // One child of a list: walked into, rewritten (records, indexes, the KEST stream's header)
    // or copied as it is.
    bool CopyChild(const Chunk& list, const Chunk& c, uint64_t stored, bool inMovi, int depth,
                   std::string& error) {
        if (c.id == kList && !Walked(list.form, c.form))
            return CopyBytes(c.offset, stored, error);
        if (c.id == kList)
            return CopyList(c, depth + 1, error);
        if (inMovi && StreamOfChunkId(c.id) == layout_.kestStream && c.id != kIndx)
            return CopyRecordChunk(c, error);
        if (c.id == kIdx1)
            return CopyIdx1(c, error);
        if ((c.id & 0xffff) == (MakeFourcc("ix00") & 0xffff) || c.id == kIndx)
            return CopyIndex(c, error);
        if (c.id == kStrh && c.dataStart() == KestHeaderOffset()) {
            std::vector<uint8_t> data;
            if (!ReadChunkData(c, data, error))
                return false;
            if (data.size() >= 40)
                Put32(data.data() + 36, std::max(Le32(data.data() + 36), newRecordBytes_));
            return PutChunk(c.id, data, error);
        }
        return CopyBytes(c.offset, stored, error);
    }

    // The size of the list written from `head` on, patched into its header.
    bool CloseList(const Chunk& list, uint64_t head, std::string& error) {
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
            name = RelinkedPieceName(record->path, bases_.For(record->path));
        std::vector<uint8_t> rewritten;
        if (!name || !RewriteRecord(data.data(), NewChunkSize(c.size), *name, rewritten)) {
            error = "record chunk at offset " + Hex(c.offset) + " cannot be relinked";
            return false;
        }
        return PutChunk(c.id, rewritten, error);
    }

    // Whether the chunk header at `at` of the input lies inside a movi list and holds `id`: only
    // then does an index entry name a chunk that the relink may move.
    bool NamesChunk(uint64_t at, uint32_t id) const {
        const bool inMovi = std::any_of(layout_.movi.begin(), layout_.movi.end(), [&](auto& m) {
            return at >= m.start && at < m.end && m.end - at >= 8;
        });
        uint8_t found[4] = {};
        return inMovi && in_.ReadAt(at, found, 4) && Le32(found) == id;
    }

    // idx1: 16-byte entries; offsets from the 'movi' type word (usual) or from the file's start,
    // as the first entry that names a chunk from either tells. An entry that names no chunk (its
    // offset beyond the file, into the index itself, or onto other bytes) is kept exactly as it
    // was: shifting it would make it name something, or wrap at 4 GiB.
    bool CopyIdx1(const Chunk& c, std::string& error) {
        std::vector<uint8_t> data;
        if (!ReadChunkData(c, data, error))
            return false;
        const size_t entries = data.size() / 16;
        uint64_t base = 0;
        if (!layout_.movi.empty()) {
            const uint64_t moviType = layout_.movi.front().start - 4;
            for (size_t i = 0; i < entries; ++i) {
                const uint8_t* e = data.data() + 16 * i;
                if (NamesChunk(moviType + Le32(e + 8), Le32(e))) {
                    base = moviType;
                    break;
                }
                if (NamesChunk(Le32(e + 8), Le32(e)))
                    break;
            }
        }
        const uint64_t newBase = Moved(base);
        for (size_t i = 0; i < entries; ++i) {
            uint8_t* e = data.data() + 16 * i;
            const uint64_t at = base + Le32(e + 8);
            if (!NamesChunk(at, Le32(e)))
                continue;
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
    const RelinkBases& bases_;
    std::vector<Shift> shifts_;
    uint64_t pos_ = 0;
};

} // namespace

std::optional<uint64_t> RelinkToNewFile(ByteFile& in, const AviLayout& layout, ByteFile& out,
                                        const RelinkBases& bases, std::string& error) {
    uint64_t records;
    if (!PlanRelink(in, layout, bases, false, records, error))
        return std::nullopt;
    // Every new name has the same length: the base and a four-character suffix.
    const uint32_t newRecordBytes = FrameRecordBytes(bases.Longest() + 4);
    NewFileWriter writer(in, layout, out, newRecordBytes, bases);
    if (!writer.Plan(error) || !writer.Write(error))
        return std::nullopt;
    return records;
}

} // namespace kestro::avi
