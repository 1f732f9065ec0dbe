#include "pure/FrameJournal.h"

#include <algorithm>
#include <cstring>

namespace kestro {

namespace {

void Put(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[i] = uint8_t(value >> (8 * i));
}

uint64_t Get(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= uint64_t(in[i]) << (8 * i);
    return value;
}

bool RowUnused(const uint8_t* row) {
    return row[14] == 0;
}

// Words around a number, appended rather than added to a literal: GCC 12 warns of a bogus
// overlap in that operator.
std::string Said(const char* before, uint64_t number, const char* after) {
    return std::string(before).append(std::to_string(number)).append(after);
}

} // namespace

std::string JournalFileName(std::string_view dataFile) {
    return std::string(dataFile).append(kJournalSuffix);
}

uint32_t JournalTicks(uint64_t ticks) {
    return uint32_t(std::min<uint64_t>(ticks, kJournalUnknown - 1));
}

void EncodeJournalHeader(const JournalHeader& h, uint8_t out[kJournalHeaderBytes]) {
    std::memset(out, 0, kJournalHeaderBytes);
    std::memcpy(out, kJournalMagic, 4);
    Put(out + 4, kJournalVersion, 4);
    Put(out + 8, kJournalHeaderBytes, 4);
    Put(out + 12, kJournalRowBytes, 4);
    Put(out + 16, h.ticksPerSecond, 8);
    Put(out + 24, h.take, 4);
    Put(out + 28, h.requests, 4);
    Put(out + 32, h.width, 4);
    Put(out + 36, h.height, 4);
    Put(out + 40, h.compression, 4);
    Put(out + 44, h.imageBytes, 4);
    Put(out + 48, h.rate, 4);
    Put(out + 52, h.scale, 4);
    Put(out + 56, h.beganFileTime, 8);
}

void EncodeJournalRow(const JournalRow& r, uint8_t out[kJournalRowBytes]) {
    Put(out, r.frame, 4);
    Put(out + 4, r.bytes, 4);
    Put(out + 8, std::min(r.arrived, kJournalMaxArrival), 5);
    out[13] = r.stripe;
    out[14] = uint8_t(std::min<unsigned>(r.piece, 254) + 1);
    out[15] = r.inFlight;
    Put(out + 16, r.returned, 4);
    Put(out + 20, r.waited, 4);
    Put(out + 24, r.issued, 4);
    Put(out + 28, r.completed, 4);
}

JournalRead ParseJournal(std::span<const uint8_t> bytes) {
    JournalRead read;
    const auto refuse = [&read](std::string why) {
        read.header.reset();
        read.rows.clear();
        read.cutBytes = 0;
        read.damage = std::move(why);
        return read;
    };
    if (bytes.size() > kMaxJournalBytes)
        return refuse(Said("larger than ", kMaxJournalBytes >> 20, " MiB"));
    if (bytes.size() < kJournalHeaderBytes)
        return refuse(Said("shorter than its ", kJournalHeaderBytes, "-byte header"));
    const uint8_t* p = bytes.data();
    if (std::memcmp(p, kJournalMagic, 4) != 0)
        return refuse("no \"KJRN\" at its start");
    const uint64_t version = Get(p + 4, 4);
    if (version != kJournalVersion && version != kJournalVersionUnstriped)
        return refuse(Said("version ", version, ", this build reads ")
                          .append(std::to_string(kJournalVersionUnstriped))
                          .append(" and ")
                          .append(std::to_string(kJournalVersion)));
    if (Get(p + 8, 4) != kJournalHeaderBytes || Get(p + 12, 4) != kJournalRowBytes)
        return refuse("a header or row size this version never wrote");
    JournalHeader h;
    h.ticksPerSecond = Get(p + 16, 8);
    if (h.ticksPerSecond == 0)
        return refuse("no clock frequency");
    h.take = uint32_t(Get(p + 24, 4));
    h.requests = uint32_t(Get(p + 28, 4));
    h.width = uint32_t(Get(p + 32, 4));
    h.height = uint32_t(Get(p + 36, 4));
    h.compression = uint32_t(Get(p + 40, 4));
    h.imageBytes = uint32_t(Get(p + 44, 4));
    h.rate = uint32_t(Get(p + 48, 4));
    h.scale = uint32_t(Get(p + 52, 4));
    h.beganFileTime = Get(p + 56, 8);

    size_t at = kJournalHeaderBytes;
    bool unusedSeen = false;
    for (; at + kJournalRowBytes <= bytes.size(); at += kJournalRowBytes) {
        const uint8_t* row = p + at;
        if (RowUnused(row)) {
            unusedSeen = true;
            continue;
        }
        if (unusedSeen)
            return refuse(Said("a used row at byte ", at, " after an unused one"));
        JournalRow r;
        r.frame = uint32_t(Get(row, 4));
        r.bytes = uint32_t(Get(row + 4, 4));
        r.arrived = Get(row + 8, version == kJournalVersionUnstriped ? 6 : 5);
        r.stripe = version == kJournalVersionUnstriped ? 0 : row[13];
        r.piece = uint8_t(row[14] - 1);
        r.inFlight = row[15];
        r.returned = uint32_t(Get(row + 16, 4));
        r.waited = uint32_t(Get(row + 20, 4));
        r.issued = uint32_t(Get(row + 24, 4));
        r.completed = uint32_t(Get(row + 28, 4));
        if (r.stripe >= kJournalStripes)
            return refuse(Said("row ", read.rows.size(), " names data file ")
                              .append(std::to_string(r.stripe))
                              .append(" of a take striped over at most four"));
        if (!read.rows.empty() && r.arrived < read.rows.back().arrived)
            return refuse(Said("row ", read.rows.size(), " arrived before the row ahead of it"));
        read.rows.push_back(r);
    }
    const size_t rest = bytes.size() - at;
    if (rest && !unusedSeen &&
        std::any_of(p + at, p + bytes.size(), [](uint8_t b) { return b != 0; }))
        read.cutBytes = rest;
    read.header = h;
    return read;
}

} // namespace kestro
