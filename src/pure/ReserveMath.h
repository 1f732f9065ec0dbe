#pragma once
// Size arithmetic of the space reservation; no platform calls.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestro {

// The frame sizes offered, in the order of the list.
constexpr uint32_t kFrameSizes[12] = {1036800, 691200, 345600, 921600, 614400, 307200,
                                      253440,  168960, 84480,  230400, 153600, 76800};
constexpr int kDefaultFrameSizeIndex = 4;

// minutes × rate × 60 frames (truncated toward zero, none when negative) of `frameBytes` each.
uint64_t ReserveBytes(int32_t minutes, double frameRate, uint32_t frameBytes);

// The MByte figure: whole mebibytes, from the low 32 bits, as a signed decimal.
int32_t MegabyteFigure(uint64_t reserveBytes);

// The bytes of each piece of a reservation: pieces of `dividesize` GiB and a shorter last one
// when splitting (a piece size below 1 counts as 1), else one piece. At most `maxPieces` pieces:
// the names exist only for those.
std::vector<uint64_t> PieceSizes(uint64_t reserveBytes, bool divide, int32_t dividesize,
                                 int maxPieces);

// How one piece is written: `fullWrites` writes of `unit` bytes and then `tailBytes` (0: none).
struct WritePlan {
    uint64_t fullWrites;
    uint64_t tailBytes;
    uint64_t Count() const { return fullWrites + (tailBytes ? 1 : 0); }
};
WritePlan PlanWrites(uint64_t totalBytes, uint64_t unit);

// A disk keeps a stream only with room to spare: capture-card makers tell users to plan on 50 to
// 80 % of a drive's tested speed. Both the reservation and kestro-host's check ask for a fifth
// more than the stream's own rate.
constexpr double kRateMargin = 1.2;
constexpr bool KeepsUp(double bytesPerSecond, double needBytesPerSecond) {
    return bytesPerSecond >= needBytesPerSecond * kRateMargin;
}

// Bytes a second of a capture at `frameRate` of `frameBytes` each.
constexpr double StreamBytesPerSecond(uint64_t frameBytes, double frameRate) {
    return double(frameBytes) * frameRate;
}

} // namespace kestro
