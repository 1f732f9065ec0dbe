#pragma once
// The take file: a small text file beside a capture's first piece that says which take the
// pieces hold now. A take is one capture run; its identity is drawn at compress begin and written
// into every frame record (bytes 12-15) and into this file, so that a record can tell whether the
// pieces it names still hold its frames or have been overwritten by a later take.
//
// The file is ASCII with CRLF line ends (LF accepted):
//   [take]
//   id=8f3a91c2
//   started=2026-12-09T10:11:12Z
//   piecebytes=2147483648          (0 when the data file is not split)
//   input=2800000080020000...      (the host's input format, hex)
//   stream=3400000080020000...     (the stream format: 52 bytes and the chained format, hex)
//   frames=277                     (written by compress end)
//   ended=2026-12-09T10:21:12Z     (written by compress end)
//   replaced=5e6f7a8b 2026-12-08T09:00:00Z   (takes this file named before, oldest first)
//   removed=2026-12-10T08:00:00Z   (the take's pieces were deleted on request; the file stays)
//   stripe=1                       (a striped take: the place of this data file among them)
//   stripefile=d:\caps\kestro      (a striped take: every data file, in turn, this one too)
//   stripefile=e:\caps\kestro
// Unknown keys are ignored, so that a later build may add some; anything else that does not read
// makes the file a damaged one, never no file at all.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// A take that the file named before the one it names now; its start is empty when unknown.
struct EarlierTake {
    uint32_t id = 0;
    std::string started;
    bool operator==(const EarlierTake&) const = default;
};

struct TakeFile {
    uint32_t id = 0;                   // never 0 for a take
    std::string started;               // UTC, as TakeTimeText writes it
    uint64_t pieceBytes = 0;           // the size of one piece; 0 when the data file is not split
    std::vector<uint8_t> inputFormat;  // as the host gave it at begin (header and what follows)
    std::vector<uint8_t> streamFormat; // the stream format the host stores for the take
    std::optional<uint64_t> frames;    // frames stored, once the run has ended
    std::string ended;                 // UTC, once the run has ended
    std::vector<EarlierTake> replaced; // oldest first, at most kMaxEarlierTakes
    // UTC, once the take's pieces were removed: the file stays so that its AVIs say so. A build
    // before removal ignores the key and finds no piece: its tools refuse the frames as missing,
    // its codec shows them black as it shows any missing piece's.
    std::string removed;
    // A take striped over several data files, frames going to each in turn: this file's place
    // among them and the data files' names (base names, without a piece suffix). Empty for a
    // take in one data file. Paths from a file: they pass the piece rule before any file call.
    uint32_t stripe = 0;
    std::vector<std::string> stripeFiles;
};

// The most data files one take is striped over.
constexpr size_t kMaxStripes = 4;
// The longest stripe name a take file keeps: its piece names still fit a record.
constexpr size_t kMaxStripeFileName = 255;

// Larger files are damaged: a reader never takes more than this.
constexpr size_t kMaxTakeFileBytes = 64 * 1024;
// Formats longer than this are left out of the file (a chained codec with a huge format).
constexpr size_t kMaxTakeFormatBytes = 16 * 1024;
constexpr std::string_view kTakeFileSuffix = ".take";
// Earlier takes a file remembers: enough to name the take of an AVI a few captures old.
constexpr size_t kMaxEarlierTakes = 16;

// The take file of a data file: its base name followed by ".take", which no piece can be named.
std::string TakeFileName(std::string_view dataFile);

// The take file beside a piece: the piece's name without its ".NNN" suffix, followed by ".take".
// Nothing when the name has no piece suffix.
std::optional<std::string> TakeFileOfPiece(std::string_view piecePath);

std::string FormatTakeFile(const TakeFile& take);

// What a reader found where a take file belongs: nothing, a take file read whole and valid, or a
// damaged one (something that cannot be read as a take file), with what is wrong with it.
struct TakeFileRead {
    std::optional<TakeFile> take;
    std::string damage; // without a take: empty when there is no file, else why it is damaged
};

// Reads a take file's text: the take, or what makes it damaged (too long, no "[take]" line first,
// a control character, no identity or two, a value that does not read, a stripe outside its
// data files or one of them alone, more than kMaxStripes). Never looks past `text`.
TakeFileRead ParseTakeFile(std::string_view text);

// `next` replaces `earlier` in the same file: the history `earlier` kept, and `earlier` itself,
// follow into `next` (the oldest dropped beyond kMaxEarlierTakes).
void NoteReplacedTake(TakeFile& next, const TakeFile& earlier);

// The earlier take of that identity the file remembers, or null.
const EarlierTake* FindEarlierTake(const TakeFile& take, uint32_t id);

// An identity as people read it: eight lower-case hex digits.
std::string TakeIdText(uint32_t id);

// "2026-12-09T10:11:12Z" from the parts of a UTC time.
std::string TakeTimeText(unsigned year, unsigned month, unsigned day, unsigned hour,
                         unsigned minute, unsigned second);

// How a frame record's take relates to the take file beside its piece.
enum class TakeMatch {
    NoTakeFile, // no take file there (a capture of an earlier build, or its file was lost)
    Same,       // the pieces hold the record's take
    Replaced,   // the pieces hold another take: the record's frames are gone
    Removed,    // the record's take was removed on request: its pieces are gone
    Untold,     // the take file is damaged: which take the pieces hold cannot be told
};

// A damaged take file tells nothing, so no record's frames are believed, with or without an
// identity: a take file beside them means a build with takes has written there since.
inline TakeMatch MatchTake(const TakeFileRead& beside, uint32_t recordTake) {
    if (beside.take && beside.take->id != recordTake)
        return TakeMatch::Replaced;
    if (beside.take)
        return beside.take->removed.empty() ? TakeMatch::Same : TakeMatch::Removed;
    return beside.damage.empty() ? TakeMatch::NoTakeFile : TakeMatch::Untold;
}

} // namespace kestro
