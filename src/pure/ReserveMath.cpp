#include "pure/ReserveMath.h"

namespace kestro {

uint64_t ReserveBytes(int32_t minutes, double frameRate, uint32_t frameBytes) {
    double frames = double(minutes) * frameRate * 60.0;
    if (!(frames >= 1.0))
        return 0;
    if (frames >= 9.2e18)
        frames = 9.2e18;
    return uint64_t(int64_t(frames)) * frameBytes;
}

int32_t MegabyteFigure(uint64_t reserveBytes) {
    return int32_t(uint32_t(reserveBytes >> 20));
}

std::vector<uint64_t> PieceSizes(uint64_t reserveBytes, bool divide, int32_t dividesize,
                                 int maxPieces) {
    std::vector<uint64_t> sizes;
    if (!divide) {
        sizes.push_back(reserveBytes);
        return sizes;
    }
    const uint64_t piece = uint64_t(dividesize < 1 ? 1 : dividesize) << 30;
    const uint64_t full = reserveBytes / piece;
    const uint64_t rest = reserveBytes % piece;
    for (uint64_t i = 0; i < full && sizes.size() < size_t(maxPieces); ++i)
        sizes.push_back(piece);
    if (rest && sizes.size() < size_t(maxPieces))
        sizes.push_back(rest);
    return sizes;
}

WritePlan PlanWrites(uint64_t totalBytes, uint64_t unit) {
    return WritePlan{totalBytes / unit, totalBytes % unit};
}

} // namespace kestro
