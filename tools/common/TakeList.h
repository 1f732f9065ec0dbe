#pragma once
// The takes beside a data file, as both tools list and remove them: the files of a folder grouped
// by data file name, the AVIs that name each take, what a removal may delete, and the words for
// all of it. Plain bytes only: each tool lists the folder, reads the files and deletes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AviRecords.h"
#include "pure/TakeFile.h"
#include "pure/TakeNames.h"

namespace kestro::avi {

// One name in a folder, as the tool found it (links are not followed).
struct FolderEntry {
    std::string name; // no folder
    uint64_t bytes = 0;
    bool regular = true; // a regular file; else a folder, a link, a FIFO or a device
};

struct TakePiece {
    int index = 0;
    std::string name;
    uint64_t bytes = 0;
    bool regular = true;
};

// An AVI whose records name a data file.
struct AviNaming {
    std::string avi;   // its file name
    uint32_t take = 0; // the take its records carry (0: a build before takes)
    uint64_t frames = 0;
};

struct StripeFound;

// The files of one data file name: its pieces and its take file.
struct DataFileTakes {
    std::string base;              // the data file's name without folder, as a piece spells it
    NumberedBase numbered;         // of `base`
    std::vector<TakePiece> pieces; // by index
    std::string takeFile;          // its name when there is one
    TakeFileRead take;             // filled in by the tool
    std::vector<AviNaming> avis;   // filled in by NoteAvi
    // A striped take: its other data files, in turn order, as the tool found them (StripesOf).
    std::vector<StripeFound> stripes;
    uint64_t Bytes() const;
};

// Another data file of a striped take, where its name leads on this machine.
struct StripeFound {
    uint32_t stripe = 0;  // its place among the take's data files
    std::string dataFile; // as the take file names it: a path from a file
    std::string base;     // its name without folder
    std::string folder;   // where the tool looked, ending in a separator
    std::string refusal;  // why the tool did not look (the path rule, a folder it cannot list)
    std::vector<TakePiece> pieces;
    std::string takeFile; // its name when there is one
    TakeFileRead take;    // filled in by the tool
};

// The other data files of the take `data` holds, each with its place and base name, for the tool
// to judge by its path rule, look for (NoteStripeFiles) and read the take file of; none for a
// take in one data file.
std::vector<StripeFound> StripesOf(const DataFileTakes& data);

// The pieces and take file of `stripe` among the names of its folder.
void NoteStripeFiles(StripeFound& stripe, const std::vector<FolderEntry>& entries);

// The folder's pieces (NAME.000 to NAME.499) and take files (NAME.take) grouped by data file
// name, letter case aside; sorted by name, numbered siblings by number.
std::vector<DataFileTakes> GroupDataFiles(const std::vector<FolderEntry>& entries);

// Only the data file named `base` (no folder) and its numbered siblings: take, take-2, take-3...
std::vector<DataFileTakes> FamilyOf(std::vector<DataFileTakes> all, std::string_view base);

// The records of the AVI `name` counted by data file and take, added to the data files they
// name; false (with `error`) when it is no capture AVI.
bool NoteAvi(ByteFile& file, const std::string& name, std::vector<DataFileTakes>& takes,
             std::string& error);

// What `takes` prints: one paragraph per data file, in `folder`.
std::string TakesText(const std::vector<DataFileTakes>& takes, const std::string& folder,
                      bool aviDirGiven);

// What a removal of one take deletes, or why it may not be made.
struct RemovalPlan {
    std::string refusal; // empty: it may go
    const DataFileTakes* data = nullptr;
    std::vector<std::string> pieces;         // file names
    std::vector<const StripeFound*> stripes; // of a striped take: all their pieces go too
    uint64_t bytes = 0;                      // of every piece that goes
};

// A take is removed by its identity, as `takes` lists it. Refused: no such identity among
// `takes`, or two take files give it; an identity only a take file's history knows (its pieces
// hold a later take now); a take removed already, pieces and all; with `mustHaveEnded`, a take
// whose capture has not ended (a capture may be writing it); two files of one piece's name, or
// one that is no regular file; a striped take whose other data file cannot be looked at, has no
// take file or one that names another take or none.
RemovalPlan PlanRemoval(const std::vector<DataFileTakes>& takes, std::string_view id,
                        bool mustHaveEnded);

// What will go, said before it goes.
std::string RemovalText(const RemovalPlan& plan, const std::string& folder);

// The take file that stays once the pieces are gone: the take's identity, start and end, its
// history, and when it was removed (`now`); no formats.
TakeFile RemovedTake(const TakeFile& take, const std::string& now);

} // namespace kestro::avi
