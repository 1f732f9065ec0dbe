#include "RebuiltAvi.h"

#include <algorithm>

#include "RiffChunks.h"

namespace kestro::avi {

using namespace riff;

namespace {

constexpr uint32_t kAvihBytes = 56;
constexpr uint32_t kStrhBytes = 56;
constexpr uint32_t kIndexEntryBytes = 16;
constexpr uint32_t kKeyFrame = 0x10;     // AVIIF_KEYFRAME
constexpr uint32_t kHasIndex = 0x10;     // AVIF_HASINDEX
constexpr uint32_t kInterleaved = 0x100; // AVIF_ISINTERLEAVED

uint64_t Padded(uint64_t n) {
    return n + (n & 1);
}

uint32_t ChunkIdOf(const RebuiltAvi& avi, uint8_t stream) {
    const bool audio = avi.streams[stream].fccType == MakeFourcc("auds");
    return uint32_t('0' + stream / 10) | uint32_t('0' + stream % 10) << 8 |
           uint32_t(audio ? 'w' : 'd') << 16 | uint32_t(audio ? 'b' : 'c') << 24;
}

uint32_t StreamListBytes(const RebuiltStream& s) {
    return 4 + 8 + kStrhBytes + 8 + uint32_t(Padded(s.format.size()));
}

uint32_t HeaderListBytes(const RebuiltAvi& avi) {
    uint32_t n = 4 + 8 + kAvihBytes;
    for (const auto& s : avi.streams)
        n += 8 + StreamListBytes(s);
    return n;
}

uint64_t MoviBytes(const RebuiltAvi& avi) {
    uint64_t n = 4;
    for (const auto& c : avi.chunks)
        n += 8 + Padded(c.size);
    return n;
}

// Sequential output through one buffer.
class Output {
public:
    explicit Output(ByteFile& file) : file_(file) {}
    void Bytes(const void* data, size_t n) {
        auto p = static_cast<const uint8_t*>(data);
        buffer_.insert(buffer_.end(), p, p + n);
        if (buffer_.size() >= kFlushAt)
            Flush();
    }
    void U32(uint32_t v) {
        uint8_t b[4];
        Put32(b, v);
        Bytes(b, 4);
    }
    void U16(uint16_t v) {
        const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
        Bytes(b, 2);
    }
    void Zeros(size_t n) { buffer_.insert(buffer_.end(), n, 0); }
    bool Flush() {
        if (ok_ && !buffer_.empty() && !file_.WriteAt(at_, buffer_.data(), buffer_.size()))
            ok_ = false;
        at_ += buffer_.size();
        buffer_.clear();
        return ok_;
    }
    bool ok() const { return ok_; }

private:
    static constexpr size_t kFlushAt = 1 << 20;
    ByteFile& file_;
    std::vector<uint8_t> buffer_;
    uint64_t at_ = 0;
    bool ok_ = true;
};

uint32_t LengthOf(const RebuiltAvi& avi, uint8_t stream) {
    uint64_t n = 0;
    const uint32_t sample = avi.streams[stream].sampleSize;
    for (const auto& c : avi.chunks)
        if (c.stream == stream)
            n += sample ? c.size / sample : 1;
    return uint32_t(std::min<uint64_t>(n, UINT32_MAX));
}

uint32_t LargestChunk(const RebuiltAvi& avi, int stream) {
    uint32_t n = 0;
    for (const auto& c : avi.chunks)
        if (stream < 0 || c.stream == stream)
            n = std::max(n, c.size);
    return n;
}

void WriteHeaders(Output& o, const RebuiltAvi& avi, uint64_t total) {
    const RebuiltStream& video = avi.streams[0];
    bool audio = false;
    for (const auto& s : avi.streams)
        audio = audio || s.fccType == MakeFourcc("auds");
    o.U32(kRiff), o.U32(uint32_t(total - 8)), o.U32(kAvi);
    o.U32(kList), o.U32(HeaderListBytes(avi)), o.U32(kHdrl);
    o.U32(kAvih), o.U32(kAvihBytes);
    o.U32(uint32_t(std::min<uint64_t>(uint64_t(video.scale) * 1000000 / video.rate, UINT32_MAX)));
    o.U32(0), o.U32(0), o.U32(kHasIndex | (audio ? kInterleaved : 0));
    o.U32(LengthOf(avi, 0)), o.U32(0), o.U32(uint32_t(avi.streams.size()));
    o.U32(LargestChunk(avi, -1)), o.U32(uint32_t(video.width)), o.U32(uint32_t(video.height));
    o.Zeros(16);
    for (uint8_t i = 0; i < avi.streams.size(); ++i) {
        const RebuiltStream& s = avi.streams[i];
        o.U32(kList), o.U32(StreamListBytes(s)), o.U32(kStrl);
        o.U32(kStrh), o.U32(kStrhBytes);
        o.U32(s.fccType), o.U32(s.fccHandler), o.U32(0), o.U32(0), o.U32(0);
        o.U32(s.scale), o.U32(s.rate), o.U32(0), o.U32(LengthOf(avi, i));
        o.U32(LargestChunk(avi, i)), o.U32(UINT32_MAX), o.U32(s.sampleSize);
        o.U16(0), o.U16(0), o.U16(uint16_t(s.width)), o.U16(uint16_t(s.height));
        o.U32(kStrf), o.U32(uint32_t(s.format.size()));
        o.Bytes(s.format.data(), s.format.size());
        o.Zeros(s.format.size() & 1);
    }
}

} // namespace

uint64_t RebuiltAviBytes(const RebuiltAvi& avi) {
    return 12 + 8 + uint64_t(HeaderListBytes(avi)) + 8 + MoviBytes(avi) + 8 +
           uint64_t(kIndexEntryBytes) * avi.chunks.size();
}

bool WriteRebuiltAvi(ByteFile& in, ByteFile& out, const RebuiltAvi& avi, std::string& error) {
    const uint64_t total = RebuiltAviBytes(avi);
    if (avi.streams.empty() || avi.streams[0].rate == 0) {
        error = "no video stream to write";
        return false;
    }
    if (total > kLargestRebuiltAvi) {
        error = "the new AVI would hold " + std::to_string(total) +
                " bytes, more than this tool writes in one AVI (" +
                std::to_string(kLargestRebuiltAvi) + ")";
        return false;
    }
    Output o(out);
    WriteHeaders(o, avi, total);
    o.U32(kList), o.U32(uint32_t(MoviBytes(avi))), o.U32(kMovi);
    std::vector<uint8_t> data;
    for (const auto& c : avi.chunks) {
        data.resize(c.size);
        if (c.size && !in.ReadAt(c.inputOffset + 8, data.data(), c.size)) {
            error = "cannot read the chunk at offset " + Hex(c.inputOffset) + " of the input";
            return false;
        }
        o.U32(ChunkIdOf(avi, c.stream)), o.U32(c.size);
        o.Bytes(data.data(), data.size());
        o.Zeros(c.size & 1);
        if (!o.ok())
            break;
    }
    o.U32(kIdx1), o.U32(uint32_t(kIndexEntryBytes * avi.chunks.size()));
    uint32_t at = 4; // from the movi list's type
    for (const auto& c : avi.chunks) {
        o.U32(ChunkIdOf(avi, c.stream)), o.U32(kKeyFrame), o.U32(at), o.U32(c.size);
        at += 8 + uint32_t(Padded(c.size));
    }
    if (!o.Flush()) {
        error = "cannot write the new AVI";
        return false;
    }
    return true;
}

} // namespace kestro::avi
