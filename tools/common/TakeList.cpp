#include "TakeList.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <utility>

#include "pure/PiecePath.h"

namespace kestro::avi {

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// "take" and its index for "take.017"; nothing for any other name.
std::optional<std::pair<std::string, int>> PieceName(std::string_view name) {
    const std::optional<int> index = PieceIndexOf(name);
    if (!index)
        return std::nullopt;
    return std::pair{std::string(name.substr(0, name.size() - 4)), *index};
}

std::optional<std::string> TakeFileBase(std::string_view name) {
    const size_t suffix = kTakeFileSuffix.size();
    if (name.size() <= suffix || Lower(name.substr(name.size() - suffix)) != kTakeFileSuffix)
        return std::nullopt;
    return std::string(name.substr(0, name.size() - suffix));
}

DataFileTakes& GroupOf(std::vector<DataFileTakes>& groups, const std::string& base) {
    for (auto& group : groups)
        if (Lower(group.base) == Lower(base))
            return group;
    DataFileTakes& group = groups.emplace_back();
    group.base = base;
    group.numbered = SplitTakeNumber(base);
    return group;
}

std::optional<uint32_t> IdentityText(std::string_view text) {
    if (text.size() != 8)
        return std::nullopt;
    uint32_t id = 0;
    for (char c : text) {
        const int digit = std::isxdigit(static_cast<unsigned char>(c))
                              ? (std::isdigit(static_cast<unsigned char>(c))
                                     ? c - '0'
                                     : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10)
                              : -1;
        if (digit < 0)
            return std::nullopt;
        id = id << 4 | uint32_t(digit);
    }
    return id ? std::optional<uint32_t>(id) : std::nullopt;
}

RemovalPlan Refused(std::string why) {
    RemovalPlan plan;
    plan.refusal = std::move(why);
    return plan;
}

std::string TakeLine(const DataFileTakes& data) {
    if (data.takeFile.empty())
        return "no take file: pieces of a build before takes, told apart by nothing";
    if (!data.take.take)
        return "the take file " + data.takeFile + " is damaged (" + data.take.damage +
               "): which take the pieces hold cannot be told";
    const TakeFile& take = *data.take.take;
    std::string line = TakeIdText(take.id) + ", started " +
                       (take.started.empty() ? std::string("(not known)") : take.started);
    if (!take.ended.empty())
        line += ", ended " + take.ended;
    if (take.frames)
        line += ", " + std::to_string(*take.frames) + " frames";
    if (!take.removed.empty())
        return line + ", removed on " + take.removed;
    if (take.ended.empty())
        line += ", not ended (a capture may be writing it, or it stopped without ending)";
    return line;
}

std::string PiecesLine(const DataFileTakes& data) {
    if (data.pieces.empty())
        return "none";
    std::string line = std::to_string(data.pieces.size()) + ", " + std::to_string(data.Bytes()) +
                       " bytes on disk (" + data.pieces.front().name;
    if (data.pieces.size() > 1)
        line += " to " + data.pieces.back().name;
    line += ")";
    for (const TakePiece& piece : data.pieces)
        if (!piece.regular)
            line += "; " + piece.name + " is no regular file";
    return line;
}

std::string AviLine(const DataFileTakes& data, const AviNaming& avi) {
    std::string line = avi.avi + ": " + std::to_string(avi.frames) + " frames, ";
    const uint32_t held = data.take.take ? data.take.take->id : 0;
    if (avi.take == 0)
        return line + "of a build before takes";
    if (avi.take != held || data.takeFile.empty())
        return line + "of take " + TakeIdText(avi.take) + ", which this data file no longer holds";
    return line + (data.take.take->removed.empty() ? "of this take" : "of this removed take");
}

bool Striped(const DataFileTakes& data) {
    return data.take.take && data.take.take->stripeFiles.size() > 1;
}

// Two take files of one striped take, each of its own data file: a folder may hold more than one
// of its stripes.
bool StripesOfOneTake(const DataFileTakes& a, const DataFileTakes& b) {
    return Striped(a) && Striped(b) && a.take.take->id == b.take.take->id &&
           a.take.take->stripe != b.take.take->stripe &&
           a.take.take->stripeFiles == b.take.take->stripeFiles;
}

std::string StripeLine(const StripeFound& stripe, uint32_t id) {
    std::string line = std::to_string(stripe.stripe) + ", " + stripe.dataFile + ": ";
    if (!stripe.refusal.empty())
        return line + "not looked at: " + stripe.refusal;
    if (stripe.takeFile.empty())
        return line + "missing: no take file " + stripe.base + ".take in " + stripe.folder +
               (stripe.pieces.empty() ? "" : ", and pieces that nothing names");
    if (!stripe.take.take)
        return line + "its take file " + stripe.folder + stripe.takeFile + " is damaged (" +
               stripe.take.damage + ")";
    if (stripe.take.take->id != id)
        return line + "its take file " + stripe.folder + stripe.takeFile + " names take " +
               TakeIdText(stripe.take.take->id) + ": this take's frames there are gone";
    uint64_t bytes = 0;
    for (const TakePiece& piece : stripe.pieces)
        bytes += piece.bytes;
    return line + std::to_string(stripe.pieces.size()) + " piece(s), " + std::to_string(bytes) +
           " bytes, in " + stripe.folder;
}

// A striped take's data files, each on a line, and what all of them hold together.
std::string StripesText(const DataFileTakes& data) {
    const TakeFile& take = *data.take.take;
    std::string text = "  stripe: " + std::to_string(take.stripe) + " of " +
                       std::to_string(take.stripeFiles.size()) +
                       " (frames go to each data file in turn): this one\n";
    size_t pieces = data.pieces.size(), found = 1;
    uint64_t bytes = data.Bytes();
    // Each take file counts the frames of its own data file: the take's are known once all are.
    std::optional<uint64_t> frames = take.frames;
    for (const StripeFound& stripe : data.stripes) {
        text += "  stripe: " + StripeLine(stripe, take.id) + "\n";
        if (stripe.refusal.empty() && stripe.take.take && stripe.take.take->id == take.id) {
            ++found;
            pieces += stripe.pieces.size();
            for (const TakePiece& piece : stripe.pieces)
                bytes += piece.bytes;
            frames = frames && stripe.take.take->frames
                         ? std::optional(*frames + *stripe.take.take->frames)
                         : std::nullopt;
        }
    }
    const bool allFound = found == take.stripeFiles.size();
    return text + "  all:    " + std::to_string(pieces) + " piece(s), " + std::to_string(bytes) +
           " bytes on disk in " + std::to_string(found) + " of its " +
           std::to_string(take.stripeFiles.size()) + " data files" +
           (frames && allFound ? ", " + std::to_string(*frames) + " frames" : "") + "\n";
}

// Adds the pieces of one data file to what a removal deletes; the refusal when one may not go.
std::string AddPieces(const std::vector<TakePiece>& pieces, const std::string& base,
                      const std::string& shown, RemovalPlan& plan,
                      std::vector<std::string>* names) {
    for (size_t i = 0; i < pieces.size(); ++i) {
        const TakePiece& piece = pieces[i];
        if (!piece.regular)
            return piece.name + " is no regular file, and no piece of take " + shown;
        if (i > 0 && pieces[i - 1].index == piece.index)
            return "two files are piece " + std::to_string(piece.index) + " of " + base + " (" +
                   pieces[i - 1].name + ", " + piece.name + "): which one holds take " + shown +
                   " cannot be told";
        if (names)
            names->push_back(piece.name);
        plan.bytes += piece.bytes;
    }
    return "";
}

// Why a striped take's other data file may not lose its pieces with the take; empty when it may.
std::string StripeRefusal(const StripeFound& stripe, uint32_t id) {
    const std::string which = "stripe " + std::to_string(stripe.stripe) + " of take " +
                              TakeIdText(id) + " (" + stripe.dataFile + ")";
    if (!stripe.refusal.empty())
        return which + " cannot be looked at: " + stripe.refusal;
    if (stripe.takeFile.empty())
        return which + " has no take file in " + stripe.folder +
               ": which take its pieces hold cannot be told (is its disk here?)";
    if (!stripe.take.take)
        return which + ": its take file " + stripe.folder + stripe.takeFile + " is damaged (" +
               stripe.take.damage + ")";
    if (stripe.take.take->id != id)
        return which + ": its take file " + stripe.folder + stripe.takeFile + " names take " +
               TakeIdText(stripe.take.take->id) + ", whose pieces are not this take's";
    return "";
}

} // namespace

uint64_t DataFileTakes::Bytes() const {
    uint64_t bytes = 0;
    for (const TakePiece& piece : pieces)
        bytes += piece.bytes;
    return bytes;
}

std::vector<StripeFound> StripesOf(const DataFileTakes& data) {
    std::vector<StripeFound> stripes;
    if (!Striped(data))
        return stripes;
    const TakeFile& take = *data.take.take;
    for (uint32_t k = 0; k < take.stripeFiles.size(); ++k) {
        if (k == take.stripe)
            continue;
        StripeFound& stripe = stripes.emplace_back();
        stripe.stripe = k;
        stripe.dataFile = take.stripeFiles[k];
        const size_t slash = stripe.dataFile.find_last_of("\\/:");
        stripe.base =
            slash == std::string::npos ? stripe.dataFile : stripe.dataFile.substr(slash + 1);
    }
    return stripes;
}

void NoteStripeFiles(StripeFound& stripe, const std::vector<FolderEntry>& entries) {
    for (DataFileTakes& data : GroupDataFiles(entries)) {
        if (Lower(data.base) == Lower(stripe.base)) {
            stripe.pieces = std::move(data.pieces);
            stripe.takeFile = std::move(data.takeFile);
        }
    }
}

std::vector<DataFileTakes> GroupDataFiles(const std::vector<FolderEntry>& entries) {
    std::vector<DataFileTakes> groups;
    for (const FolderEntry& entry : entries) {
        if (auto piece = PieceName(entry.name)) {
            GroupOf(groups, piece->first)
                .pieces.push_back({piece->second, entry.name, entry.bytes, entry.regular});
        } else if (auto base = TakeFileBase(entry.name)) {
            DataFileTakes& group = GroupOf(groups, *base);
            if (group.takeFile.empty())
                group.takeFile = entry.name;
        }
    }
    for (auto& group : groups)
        std::stable_sort(group.pieces.begin(), group.pieces.end(),
                         [](const TakePiece& a, const TakePiece& b) { return a.index < b.index; });
    std::sort(groups.begin(), groups.end(), [](const DataFileTakes& a, const DataFileTakes& b) {
        const std::string sa = Lower(a.numbered.stem), sb = Lower(b.numbered.stem);
        return sa != sb ? sa < sb : a.numbered.number < b.numbered.number;
    });
    return groups;
}

std::vector<DataFileTakes> FamilyOf(std::vector<DataFileTakes> all, std::string_view base) {
    const std::string stem = Lower(SplitTakeNumber(base).stem);
    std::erase_if(all, [&](const DataFileTakes& d) { return Lower(d.numbered.stem) != stem; });
    return all;
}

bool NoteAvi(ByteFile& file, const std::string& name, std::vector<DataFileTakes>& takes,
             std::string& error) {
    auto layout = ReadAviLayout(file, true, error);
    if (!layout)
        return false;
    std::map<std::pair<std::string, uint32_t>, uint64_t> counted; // data file, take: frames
    const bool read = ForEachRecord(
        file, *layout,
        [&](const RecordChunk&, const FrameRecordView& record) -> std::optional<std::string> {
            const std::string_view path = record.path;
            const size_t slash = path.find_last_of("\\/:");
            const auto piece =
                PieceName(slash == std::string_view::npos ? path : path.substr(slash + 1));
            if (piece)
                ++counted[{Lower(piece->first), record.take}];
            return std::nullopt;
        },
        error);
    if (!read)
        return false;
    for (const auto& [key, frames] : counted)
        for (auto& data : takes)
            if (Lower(data.base) == key.first)
                data.avis.push_back({name, key.second, frames});
    return true;
}

std::string TakesText(const std::vector<DataFileTakes>& takes, const std::string& folder,
                      bool aviDirGiven) {
    std::string text;
    for (size_t i = 0; i < takes.size(); ++i) {
        const DataFileTakes& data = takes[i];
        // One row for a take: a stripe listed already names this one.
        if (std::any_of(takes.begin(), takes.begin() + long(i),
                        [&](const DataFileTakes& other) { return StripesOfOneTake(other, data); }))
            continue;
        text += "data file: " + folder + data.base + "\n";
        text += "  take:   " + TakeLine(data) + "\n";
        text += "  pieces: " + PiecesLine(data) + "\n";
        if (Striped(data))
            text += StripesText(data);
        for (const AviNaming& avi : data.avis)
            text += "  avi:    " + AviLine(data, avi) + "\n";
        if (aviDirGiven && data.avis.empty())
            text += "  avi:    none in the folder given names it\n";
    }
    return text;
}

RemovalPlan PlanRemoval(const std::vector<DataFileTakes>& takes, std::string_view id,
                        bool mustHaveEnded) {
    RemovalPlan plan;
    const auto wanted = IdentityText(id);
    if (!wanted) {
        plan.refusal.append(id).append(
            " is no take identity (eight hex digits, as takes lists them)");
        return plan;
    }
    const std::string shown = TakeIdText(*wanted);
    std::vector<const DataFileTakes*> found;
    const DataFileTakes* history = nullptr;
    for (const DataFileTakes& data : takes) {
        if (!data.take.take)
            continue;
        if (data.take.take->id == *wanted)
            found.push_back(&data);
        else if (FindEarlierTake(*data.take.take, *wanted))
            history = &data;
    }
    // Stripes of one take in one folder are that take once, by its first stripe there.
    std::erase_if(found, [&](const DataFileTakes* data) {
        return data != found[0] && StripesOfOneTake(*found[0], *data);
    });
    if (found.size() > 1) {
        plan.refusal = "two data files name take " + shown + " (" + found[0]->takeFile + ", " +
                       found[1]->takeFile +
                       "): a take file was copied, and which pieces hold the take cannot be told";
        return plan;
    }
    if (found.empty()) {
        plan.refusal = history
                           ? "take " + shown + " is no longer in " + history->base +
                                 ": its pieces hold take " + TakeIdText(history->take.take->id) +
                                 " now (a later capture wrote over it), which would go with "
                                 "them"
                           : "no take " + shown + " among the takes listed here";
        return plan;
    }
    const DataFileTakes& data = *found[0];
    const TakeFile& take = *data.take.take;
    if (!take.removed.empty() && data.pieces.empty()) {
        plan.refusal = "take " + shown + " was removed already, on " + take.removed;
        return plan;
    }
    if (mustHaveEnded && take.ended.empty() && take.removed.empty()) {
        plan.refusal = "take " + shown + " has not ended (" + data.takeFile +
                       " has no end): a capture may be writing it now. Once no program holds "
                       "its pieces, delete them by hand, or remove it with kestro-host";
        return plan;
    }
    // A refusal names nothing to delete.
    if (std::string why = AddPieces(data.pieces, data.base, shown, plan, &plan.pieces);
        !why.empty())
        return Refused(why);
    for (const StripeFound& stripe : data.stripes) {
        std::string why = StripeRefusal(stripe, take.id);
        if (why.empty())
            why = AddPieces(stripe.pieces, stripe.base, shown, plan, nullptr);
        if (!why.empty())
            return Refused(why);
        plan.stripes.push_back(&stripe);
    }
    plan.data = &data;
    return plan;
}

std::string RemovalText(const RemovalPlan& plan, const std::string& folder) {
    const DataFileTakes& data = *plan.data;
    size_t pieces = plan.pieces.size();
    for (const StripeFound* stripe : plan.stripes)
        pieces += stripe->pieces.size();
    std::string text = "take " + TakeIdText(data.take.take->id) + " of " + folder + data.base +
                       ": " + std::to_string(pieces) + " piece(s), " + std::to_string(plan.bytes) +
                       " bytes, will be removed:\n";
    for (const std::string& piece : plan.pieces)
        text += "  " + folder + piece + "\n";
    for (const StripeFound* stripe : plan.stripes)
        for (const TakePiece& piece : stripe->pieces)
            text += "  " + stripe->folder + piece.name + "\n";
    std::string stays = folder + data.takeFile;
    for (const StripeFound* stripe : plan.stripes)
        stays += ", " + stripe->folder + stripe->takeFile;
    return text + "  " + stays + (plan.stripes.empty() ? " stays" : " stay") +
           ", marked removed, so that the take's AVIs say it was removed\n";
}

TakeFile RemovedTake(const TakeFile& take, const std::string& now) {
    TakeFile removed;
    removed.id = take.id;
    removed.started = take.started;
    removed.pieceBytes = take.pieceBytes;
    removed.frames = take.frames;
    removed.ended = take.ended;
    removed.replaced = take.replaced;
    removed.removed = take.removed.empty() ? now : take.removed;
    removed.stripe = take.stripe;
    removed.stripeFiles = take.stripeFiles;
    return removed;
}

} // namespace kestro::avi
