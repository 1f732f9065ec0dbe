#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "pure/PiecePath.h"

namespace kestro {

// The record handed to the host in place of a compressed frame (little-endian):
//   0  u64  offset of the frame's data in the piece named below
//   8  u32  frame data size S (not rounded)
//  12  u32  the take's identity (0 in records of builds that had no takes, which left
//            whatever the host's buffer held there)
//  16  char piece name, ANSI, zero-terminated
constexpr uint32_t kFrameRecordFixedBytes = 16;
constexpr uint32_t kMaxRecordPath = 260;
// The longest record there can be: the fixed part, 260 characters and the terminator.
constexpr uint32_t kMaxFrameRecordBytes = kFrameRecordFixedBytes + kMaxRecordPath + 1;

constexpr uint32_t FrameRecordBytes(size_t nameLength) {
    return uint32_t(nameLength) + kFrameRecordFixedBytes + 1;
}

// Writes the record into `out` (capacity bytes); returns false when it does not fit.
bool WriteFrameRecord(uint8_t* out, size_t capacity, uint64_t offset, uint32_t size, uint32_t take,
                      std::string_view name);

struct FrameRecordView {
    uint64_t offset;
    uint32_t size;
    uint32_t take;         // see TakeFile.h; meaningful only where a take file lies beside
    std::string_view path; // without the terminating zero
};

// Reads a record of at most `available` bytes and never looks past them. Refuses records that
// are shorter than the fixed part, whose path is empty, not terminated inside the record or
// longer than 260 characters.
std::optional<FrameRecordView> ParseFrameRecord(const uint8_t* record, size_t available);

} // namespace kestro
