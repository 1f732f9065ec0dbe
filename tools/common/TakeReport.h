#pragma once
// report: what a capture's AVI and the frame journal beside its pieces say about its take, as
// both tools print it. Plain bytes only: the tools find and read the files.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "AviRecords.h"
#include "JournalAnalysis.h"
#include "pure/TakeFile.h"

namespace kestro::avi {

// The take's stream and records from the AVI (one cut short read as far as it goes); empty with
// `error` when it is no capture or its records do not read.
std::optional<TakeFacts> ReadTakeFacts(ByteFile& avi, std::string& error);

// The journal beside a piece: the piece's name without its ".NNN" suffix, then ".journal".
std::optional<std::string> JournalOfPiece(std::string_view piece);

// What the take file beside the first piece tells of a striped take: its data files go into
// `facts`; when that piece is not of the take's first data file, the first data file's piece 0 is
// returned, beside which the journal lies (the piece rule judges that name before anything is
// looked for there). Nothing when the journal lies beside the first piece, or the take file is of
// another take.
std::optional<std::string> NoteStripes(const TakeFileRead& beside, TakeFacts& facts);

// The journal's bytes judged for this take: the read, or why it is refused (damaged, or the
// journal of another take) in `refusal`, naming `journalPath`.
JournalRead ReadJournalFor(std::span<const uint8_t> bytes, const TakeFacts& facts,
                           const std::string& journalPath, std::string& refusal);

// The report as text: `journal` the read journal's findings, or null with `noJournal` saying why
// there is none (then only what the AVI says is printed).
std::string ReportText(const std::string& aviPath, const TakeFacts& facts,
                       const std::string& journalPath, const JournalRead* read,
                       const JournalFindings* journal, const std::string& noJournal);

// The same as one HTML page that needs nothing but itself: the numbers, the verdict and charts
// of the disk's rate against the stream's need, the requests in flight and each write's time.
std::string ReportPage(const std::string& aviPath, const std::string& text,
                       const JournalFindings* journal);

} // namespace kestro::avi
