#include "TakeRefusal.h"

namespace kestro::avi {

namespace {

std::string Started(const std::string& started) {
    return started.empty() ? std::string("start not known") : "started " + started;
}

} // namespace

std::optional<std::string> ReplacedTakeText(const std::optional<TakeFile>& beside,
                                            uint32_t recordTake, std::string_view takeFile) {
    if (MatchTake(beside, recordTake) != TakeMatch::Replaced)
        return std::nullopt;
    std::string ours;
    if (recordTake == 0) {
        ours = "the AVI's take (of a build before take identities)";
    } else {
        const EarlierTake* earlier = FindEarlierTake(*beside, recordTake);
        ours = "the AVI's take " + TakeIdText(recordTake) + " (" +
               (earlier ? Started(earlier->started) : std::string("not known to this take file")) +
               ")";
    }
    return ours + " is no longer in the data file: " + std::string(takeFile) + " names take " +
           TakeIdText(beside->id) + " (" + Started(beside->started) +
           ") now; a later capture wrote over these frames, or the AVI comes from another machine";
}

std::string TakeSummary(const TakeFile& take) {
    return TakeIdText(take.id) + ", " + Started(take.started) + ", " +
           (take.frames ? std::to_string(*take.frames) + " frames"
                        : std::string("no frame count (its capture has not ended)"));
}

} // namespace kestro::avi
