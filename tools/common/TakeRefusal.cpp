#include "TakeRefusal.h"

namespace kestro::avi {

namespace {

std::string Started(const std::string& started) {
    return started.empty() ? std::string("start not known") : "started " + started;
}

// Why a record of `take`, which was removed on request, gets no frame.
std::string RemovedTakeText(const TakeFile& take, std::string_view takeFile) {
    return "the AVI's take " + TakeIdText(take.id) + " (" + Started(take.started) +
           ") was removed on " + take.removed + ", as " + std::string(takeFile) +
           " says: its pieces were deleted on request, and its frames with them";
}

} // namespace

std::optional<std::string> TakeRefusalText(const TakeFileRead& beside, uint32_t recordTake,
                                           std::string_view takeFile) {
    const TakeMatch match = MatchTake(beside, recordTake);
    if (match == TakeMatch::Untold)
        return "the take file " + std::string(takeFile) + " is damaged: " + beside.damage +
               "; which take the data file holds cannot be told, so its frames are refused (if "
               "the pieces hold this AVI's take, remove the take file)";
    if (match == TakeMatch::Removed)
        return RemovedTakeText(*beside.take, takeFile);
    if (match != TakeMatch::Replaced)
        return std::nullopt;
    const TakeFile& now = *beside.take;
    std::string ours;
    if (recordTake == 0) {
        ours = "the AVI's take (of a build before take identities)";
    } else {
        const EarlierTake* earlier = FindEarlierTake(now, recordTake);
        ours = "the AVI's take " + TakeIdText(recordTake) + " (" +
               (earlier ? Started(earlier->started) : std::string("not known to this take file")) +
               ")";
    }
    return ours + " is no longer in the data file: " + std::string(takeFile) + " names take " +
           TakeIdText(now.id) + " (" + Started(now.started) +
           ") now; a later capture wrote over these frames, or the AVI comes from another machine";
}

std::string TakeSummary(const TakeFile& take) {
    return TakeIdText(take.id) + ", " + Started(take.started) + ", " +
           (take.frames ? std::to_string(*take.frames) + " frames"
                        : std::string("no frame count (its capture has not ended)")) +
           (take.removed.empty() ? "" : ", removed on " + take.removed + " (its pieces are gone)");
}

std::string DamagedTakeSummary(const std::string& damage) {
    return "a damaged take file (" + damage +
           "): which take the data file holds cannot be told, and its frames are refused";
}

} // namespace kestro::avi
