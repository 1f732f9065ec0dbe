#include "SynthAvi.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "pure/FrameRecord.h"

namespace synth {

namespace {

void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}
void PutId(std::vector<uint8_t>& b, const char* id) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(id[i]));
}
void Patch32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

size_t OpenList(std::vector<uint8_t>& b, const char* kind, const char* form) {
    PutId(b, kind);
    size_t at = b.size();
    Put32(b, 0);
    PutId(b, form);
    return at;
}
void CloseList(std::vector<uint8_t>& b, size_t at) {
    Patch32(b, at, uint32_t(b.size() - at - 4));
}

void Chunk(std::vector<uint8_t>& b, const char* id, const std::vector<uint8_t>& data) {
    PutId(b, id);
    Put32(b, uint32_t(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    if (data.size() & 1)
        b.push_back(0);
}

std::vector<uint8_t> StreamHeader(const char* type, const char* handler, uint32_t scale,
                                  uint32_t rate, uint32_t start, uint32_t length,
                                  uint32_t bufferSize, uint32_t sampleSize) {
    std::vector<uint8_t> h;
    PutId(h, type);
    if (handler)
        PutId(h, handler);
    else
        Put32(h, 0);
    Put32(h, 0); // flags
    Put32(h, 0); // priority, language
    Put32(h, 0); // initial frames
    Put32(h, scale);
    Put32(h, rate);
    Put32(h, start);
    Put32(h, length);
    Put32(h, bufferSize);
    Put32(h, 0xffffffffu); // quality
    Put32(h, sampleSize);
    for (int i = 0; i < 4; ++i)
        Put16(h, 0); // frame rectangle
    return h;
}

} // namespace

std::vector<uint8_t> StreamFormat(int32_t width, int32_t height, uint32_t sourceCompression,
                                  uint16_t bitCount, uint32_t chainHandler,
                                  const std::vector<uint8_t>& chainFormat) {
    std::vector<uint8_t> f;
    Put32(f, uint32_t(52 + chainFormat.size()));
    Put32(f, uint32_t(width));
    Put32(f, uint32_t(height));
    Put16(f, 1);
    Put16(f, bitCount);
    PutId(f, "KEST");
    Put32(f, 30); // the record size, as the last frame left it
    Put32(f, 0);
    Put32(f, 0);
    Put32(f, 0);
    Put32(f, 0);
    Put32(f, sourceCompression);
    Put32(f, chainHandler);
    Put32(f, uint32_t(chainFormat.size()));
    f.insert(f.end(), chainFormat.begin(), chainFormat.end());
    return f;
}

std::vector<uint8_t> Record(uint64_t offset, uint32_t size, const std::string& path) {
    // The reserved word as builds before takes left it: whatever the host's buffer held.
    std::vector<uint8_t> r(kestro::FrameRecordBytes(path.size()));
    if (!kestro::WriteFrameRecord(r.data(), r.size(), offset, size, 0xCDCDCDCDu, path))
        throw std::runtime_error("record does not fit");
    return r;
}

namespace {

struct Entry {
    const char* id;
    uint32_t offset, size;
};

// The stream's indx, pointing at its one chunk index (patched when that is written); 0 without
// OpenDML.
size_t SuperIndex(const AviPlan& plan, std::vector<uint8_t>& b, const char* id, uint32_t count) {
    if (!plan.odml)
        return 0;
    std::vector<uint8_t> indx;
    Put16(indx, 4); // longs per entry
    indx.push_back(0);
    indx.push_back(0); // an index of indexes
    Put32(indx, 1);
    PutId(indx, id);
    for (int i = 0; i < 3 + 4; ++i) // reserved, then the one entry (patched)
        Put32(indx, 0);
    Patch32(indx, 24 + 12, count);
    Chunk(b, "indx", indx);
    return b.size() - 16;
}

void MainHeader(const AviPlan& plan, std::vector<uint8_t>& b, uint32_t frames, uint32_t streams) {
    std::vector<uint8_t> avih;
    Put32(avih, plan.rate ? uint32_t(1000000ull * plan.scale / plan.rate) : 0);
    Put32(avih, 0);
    Put32(avih, 0);
    Put32(avih, 0x10); // has index
    Put32(avih, frames);
    Put32(avih, 0);
    Put32(avih, streams);
    Put32(avih, 0);
    int32_t w, h;
    std::memcpy(&w, plan.format.data() + 4, 4);
    std::memcpy(&h, plan.format.data() + 8, 4);
    Put32(avih, uint32_t(w));
    Put32(avih, h < 0 ? 0u - uint32_t(h) : uint32_t(h)); // -2^31 stays 2^31
    for (int i = 0; i < 4; ++i)
        Put32(avih, 0);
    Chunk(b, "avih", avih);
}

// The audio stream's strl; where its indx lies.
size_t AudioStream(const AviPlan& plan, std::vector<uint8_t>& b) {
    const uint32_t blockAlign = uint32_t(plan.audio.channels) * plan.audio.bitsPerSample / 8;
    uint32_t bytes = 0;
    for (auto& c : plan.audio.chunks)
        bytes += uint32_t(c.size());
    const size_t strl = OpenList(b, "LIST", "strl");
    Chunk(b, "strh",
          StreamHeader("auds", nullptr, blockAlign, plan.audio.sampleRate * blockAlign, 0,
                       bytes / blockAlign, 0, blockAlign));
    std::vector<uint8_t> wf;
    Put16(wf, 1); // PCM
    Put16(wf, plan.audio.channels);
    Put32(wf, plan.audio.sampleRate);
    Put32(wf, plan.audio.sampleRate * blockAlign);
    Put16(wf, uint16_t(blockAlign));
    Put16(wf, plan.audio.bitsPerSample);
    Put16(wf, 0);
    Chunk(b, "strf", wf);
    const size_t indx = SuperIndex(plan, b, "01wb", uint32_t(plan.audio.chunks.size()));
    CloseList(b, strl);
    return indx;
}

// Each stream's chunk index after the movi data, patched into its indx.
void ChunkIndexes(std::vector<uint8_t>& b, const std::vector<size_t>& superIndex,
                  const std::vector<Entry>& index, size_t moviType) {
    const char* ids[2] = {"00dc", "01wb"};
    const char* ix[2] = {"ix00", "ix01"};
    for (size_t stream = 0; stream < superIndex.size(); ++stream) {
        std::vector<uint8_t> chunk;
        Put16(chunk, 2);
        chunk.push_back(0);
        chunk.push_back(1); // an index of chunks
        uint32_t n = 0;
        for (auto& e : index)
            n += std::strncmp(e.id, ids[stream], 4) == 0;
        Put32(chunk, n);
        PutId(chunk, ids[stream]);
        Put32(chunk, uint32_t(moviType)); // base offset, 64-bit
        Put32(chunk, 0);
        Put32(chunk, 0);
        for (auto& e : index) {
            if (std::strncmp(e.id, ids[stream], 4) != 0)
                continue;
            Put32(chunk, e.offset + 8); // to the data, from the base
            Put32(chunk, e.size);
        }
        const size_t at = b.size();
        Chunk(b, ix[stream], chunk);
        Patch32(b, superIndex[stream], uint32_t(at));
        Patch32(b, superIndex[stream] + 4, 0);
        Patch32(b, superIndex[stream] + 8, uint32_t(b.size() - at));
    }
}

} // namespace

std::vector<uint8_t> BuildAvi(const AviPlan& plan) {
    std::vector<uint8_t> b;
    std::vector<size_t> superIndex; // where each stream's indx entry lies, 0 when none
    const size_t riff = OpenList(b, "RIFF", "AVI ");
    const size_t hdrl = OpenList(b, "LIST", "hdrl");
    const uint32_t frames = uint32_t(plan.records.size());
    const uint32_t streams = plan.withAudio ? 2 : 1;
    MainHeader(plan, b, frames, streams);
    {
        const size_t strl = OpenList(b, "LIST", "strl");
        Chunk(b, "strh",
              StreamHeader("vids", "KEST", plan.scale, plan.rate, plan.start, frames, 30, 0));
        Chunk(b, "strf", plan.format);
        superIndex.push_back(SuperIndex(plan, b, "00dc", frames));
        CloseList(b, strl);
    }
    if (plan.withAudio)
        superIndex.push_back(AudioStream(plan, b));
    CloseList(b, hdrl);

    std::vector<Entry> index;
    const size_t movi = OpenList(b, "LIST", "movi");
    const size_t moviType = movi + 4;
    for (size_t i = 0; i < plan.records.size() || (plan.withAudio && i < plan.audio.chunks.size());
         ++i) {
        size_t rec = 0;
        if (plan.recLists)
            rec = OpenList(b, "LIST", "rec ");
        if (i < plan.records.size()) {
            index.push_back(
                {"00dc", uint32_t(b.size() - moviType), uint32_t(plan.records[i].size())});
            Chunk(b, "00dc", plan.records[i]);
        }
        if (plan.withAudio && i < plan.audio.chunks.size()) {
            index.push_back(
                {"01wb", uint32_t(b.size() - moviType), uint32_t(plan.audio.chunks[i].size())});
            Chunk(b, "01wb", plan.audio.chunks[i]);
        }
        if (plan.recLists)
            CloseList(b, rec);
    }
    if (plan.odml)
        ChunkIndexes(b, superIndex, index, moviType);
    CloseList(b, movi);
    if (plan.idx1) {
        std::vector<uint8_t> idx;
        for (auto& e : index) {
            PutId(idx, e.id);
            Put32(idx, 0x10);
            Put32(idx, e.offset);
            Put32(idx, e.size);
        }
        Chunk(b, "idx1", idx);
    }
    CloseList(b, riff);
    return b;
}

void PatchStreamHeader(std::vector<uint8_t>& avi, int stream, size_t field, uint32_t value) {
    int seen = -1;
    for (size_t i = 0; i + 8 + field + 4 <= avi.size(); ++i) {
        if (std::memcmp(&avi[i], "strh", 4) == 0 && ++seen == stream) {
            Patch32(avi, i + 8 + field, value);
            return;
        }
    }
    throw std::runtime_error("no header of stream " + std::to_string(stream));
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

} // namespace synth
