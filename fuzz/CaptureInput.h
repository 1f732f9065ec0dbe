#pragma once
// A synthesized capture as the export target reads it from its input, and as the seed writer
// writes it: the command and container, the stream header's numbers, the stream format, the
// pieces' sizes, the audio and every record chunk, all taken as given.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"

namespace fuzz {

enum Command : uint8_t { kAvi, kMkv, kNut, kMov, kPipe, kInfo, kVerify, kCommands };

struct CaptureInput {
    enum Flag : uint8_t {
        kKeepGoing = 1,
        kRecLists = 2,
        kIdx1 = 4,
        kOdml = 8,
        kAudio = 16,
        kWinePrefix = 32, // pieces found through a prefix's drive c:, else through --data
        kCut = 64,        // the AVI ends at cutAt
        kLength = 128,    // the stream header's length is `length`, else the record count
    };
    uint8_t command = kAvi;
    uint8_t flags = kIdx1;
    uint32_t scale = 1, rate = 30, start = 0, length = 0;
    std::vector<uint8_t> format;
    uint32_t pieceBytes[2] = {0, 0};
    uint8_t pattern = 0;
    uint16_t channels = 2, bitsPerSample = 16;
    uint32_t sampleRate = 48000;
    std::vector<uint16_t> audioChunks;         // sizes
    std::vector<std::vector<uint8_t>> records; // chunk payloads
    uint32_t cutAt = 0;

    static constexpr size_t kMaxRecords = 48;

    static CaptureInput Read(Reader& in) {
        CaptureInput c;
        c.command = uint8_t(in.U8() % kCommands);
        c.flags = in.U8();
        c.scale = in.U32();
        c.rate = in.U32();
        c.start = in.U32();
        c.length = in.U32();
        c.format = in.Block(4096);
        c.pieceBytes[0] = in.U32();
        c.pieceBytes[1] = in.U32();
        c.pattern = in.U8();
        c.channels = in.U16();
        c.bitsPerSample = in.U16();
        c.sampleRate = in.U32();
        for (size_t n = in.U8() % (kMaxRecords + 1); n > 0; --n)
            c.audioChunks.push_back(in.U16());
        c.cutAt = in.U32();
        for (size_t n = in.U8() % (kMaxRecords + 1); n > 0 && in.left() > 0; --n)
            c.records.push_back(in.Block(600));
        return c;
    }

    void Write(Writer& out) const {
        out.U8(command).U8(flags).U32(scale).U32(rate).U32(start).U32(length).Block(format);
        out.U32(pieceBytes[0]).U32(pieceBytes[1]).U8(pattern);
        out.U16(channels).U16(bitsPerSample).U32(sampleRate);
        out.U8(uint8_t(audioChunks.size()));
        for (uint16_t n : audioChunks)
            out.U16(n);
        out.U32(cutAt);
        out.U8(uint8_t(records.size()));
        for (const auto& r : records)
            out.Block(r);
    }
};

} // namespace fuzz
