#include "TakeReport.h"

#include <algorithm>
#include <cctype>

#include "pure/Fourcc.h"
#include "pure/SettingsText.h"
#include "pure/StreamFormat.h"
#include "pure/TakeFile.h"

namespace kestro::avi {

namespace {

constexpr size_t kRateRows = 60;    // rows of the disk's rate in the text
constexpr size_t kListedRows = 100; // skips and stalls named one by one

std::string Upper(std::string s) {
    for (char& c : s)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string KindText(const StreamFormatHeader& h) {
    if (h.biChainHandler)
        return FourccText(h.biChainHandler) + " (chained codec)";
    if (const PixelFormat* f = FormatFor(h.biSourceCompression, h.biBitCount))
        return Upper(f->name);
    return FourccText(h.biSourceCompression);
}

std::string Plural(uint64_t n, const char* one, const char* many) {
    return Grouped(n) + " " + (n == 1 ? one : many);
}

std::string StreamLine(const TakeFacts& facts, const JournalFindings* journal) {
    std::string line = "stream: " + std::to_string(facts.width) + "x" +
                       std::to_string(facts.height) + " " + facts.kind + ", " +
                       std::to_string(facts.rate) + "/" + std::to_string(facts.scale) +
                       " frames a second, ";
    line += facts.frameBytes ? Grouped(facts.frameBytes) + " bytes a frame"
                             : std::string("frames of varying size");
    double need = journal ? journal->needRate : 0;
    if (!journal && facts.frameBytes && facts.rate && facts.scale)
        need = double(facts.frameBytes) * facts.rate / facts.scale;
    if (need > 0)
        line += ": the stream needs " + RateText(need);
    return line + "\n";
}

std::string FramesLine(const TakeFacts& facts) {
    std::string line = "frames: " + Grouped(facts.frames) + " in the AVI, " +
                       SizeText(facts.dataBytes) + " of frame data in " +
                       Plural(facts.pieces.size(), "piece", "pieces") + ", take " +
                       TakeIdText(facts.take);
    if (facts.cut)
        line += " (the AVI ends early: its writer never closed it)";
    return line + "\n";
}

std::string SpreadText(const Spread& s) {
    return MillisText(s.median) + " median, " + MillisText(s.p99) + " at the 99th percentile, " +
           MillisText(s.max) + " at most";
}

std::string SkipLines(const JournalFindings& f) {
    std::string text = "skipped: " + Plural(f.skipped, "frame", "frames") +
                       " by the host (gaps in its frame numbers)";
    if (f.renumbered)
        text += "; " + Plural(f.renumbered, "frame number", "frame numbers") +
                " not above the one before";
    text += "\n";
    for (size_t i = 0; i < f.skips.size() && i < kListedRows; ++i) {
        const SkipSpan& s = f.skips[i];
        const std::string from = ClockText(s.first), to = ClockText(s.last);
        text += "  at " + from + (from == to ? "" : "-" + to) + ": " +
                Plural(s.frames, "frame", "frames") + " after frame " + Grouped(s.after) + "\n";
    }
    if (f.skips.size() > kListedRows)
        text += "  ... and " + Grouped(f.skips.size() - kListedRows) + " more\n";
    return text;
}

// The disk's rate in at most kRateRows rows, buckets joined where there are more.
std::string RateLines(const JournalFindings& f) {
    std::string text = "disk: " + RateText(f.meanRate) + " over the take\n";
    const size_t group = (f.buckets.size() + kRateRows - 1) / kRateRows;
    for (size_t i = 0; group && i < f.buckets.size(); i += group) {
        uint64_t bytes = 0;
        double seconds = 0;
        for (size_t j = i; j < std::min(f.buckets.size(), i + group); ++j)
            if (ShownBucket(f, j))
                bytes += f.buckets[j].bytes, seconds += f.buckets[j].seconds;
        if (seconds <= 0)
            continue;
        text += "  " + ClockText(f.buckets[i].at) + "  " + RateText(double(bytes) / seconds) +
                ", " + SizeText(f.buckets[i].before) + " written before\n";
    }
    return text;
}

std::string StallLines(const JournalFindings& f) {
    std::string text = "stalls: " + Grouped(f.stalls.size()) + " (no write completed for over " +
                       MillisText(f.stallLimit) + " while one was in flight)\n";
    for (size_t i = 0; i < f.stalls.size() && i < kListedRows; ++i) {
        const Stall& s = f.stalls[i];
        text.append("  ").append(ClockText(s.at, true)).append("  ");
        text.append(MillisText(s.length * 1000)).append(":");
        if (s.longestWrite > 0)
            text.append(" the write that ended it took ")
                .append(MillisText(s.longestWrite))
                .append(s.waited ? "," : "");
        if (s.waited)
            text.append(" ")
                .append(Plural(s.waited, "frame", "frames"))
                .append(" waited up to ")
                .append(MillisText(s.longestWait));
        text += " (frames " + Grouped(s.firstFrame) + "-" + Grouped(s.lastFrame) + ")\n";
    }
    if (f.stalls.size() > kListedRows)
        text += "  ... and " + Grouped(f.stalls.size() - kListedRows) + " more\n";
    return text;
}

// A striped take: each data file's rate, stalls and waits, its disk named.
std::string StripeLines(const JournalFindings& f) {
    std::string text;
    for (const StripeFindings& s : f.stripes) {
        text += "disk of " + s.name + ": " + Plural(s.frames, "frame", "frames") + ", " +
                RateText(s.meanRate) + " over the take (its share of the need " +
                RateText(s.needRate) + "), " + RateText(s.busyRate) + " while writing";
        if (s.rateAfterFall > 0)
            text += ", " + RateText(s.rateAfterFall) + " after the take fell behind";
        text += "; " + Plural(s.stalls.size(), "stall", "stalls");
        if (!s.stalls.empty()) {
            const Stall& longest = *std::max_element(
                s.stalls.begin(), s.stalls.end(),
                [](const Stall& a, const Stall& b) { return a.length < b.length; });
            text += " (the longest " + MillisText(longest.length * 1000) + " at " +
                    ClockText(longest.at, true) + ")";
        }
        text += "; " + Plural(s.waitedFrames, "frame", "frames") + " waited for a request" +
                (s.waitedFrames ? ", up to " + MillisText(s.longestWait) : "") + "\n";
    }
    return text;
}

std::string JournalLines(const std::string& journalPath, const JournalRead& read,
                         const JournalFindings& f) {
    std::string text = "journal: " + journalPath + ": " + Plural(f.frames, "row", "rows") + ", " +
                       Plural(f.requests, "request", "requests") + " in the pool\n";
    if (read.cutBytes)
        text += "journal: its last row is cut (" + Plural(read.cutBytes, "byte", "bytes") +
                " after the last whole row): read up to there, as a host killed mid-take "
                "leaves it\n";
    text += SkipLines(f);
    if (f.framePeriod > 0)
        text += "late: " + Plural(f.late, "frame", "frames") + " more than a frame's time (" +
                MillisText(f.framePeriod * 1000, true) + ") after their place in the stream" +
                (f.late ? ", up to " + MillisText(f.worstLate) : "") + "\n";
    else
        text += "late: not judged: neither the journal nor the AVI gives the stream's rate\n";
    text += "codec: " + SpreadText(f.codec) + ", from a frame's arrival until it returned\n";
    text += "writes: " + SpreadText(f.latency) + ", from issue to completion";
    text += f.neverCompleted
                ? "; " + Plural(f.neverCompleted, "write", "writes") + " never seen to complete\n"
                : "\n";
    text += "waits: " + Plural(f.waitedFrames, "frame", "frames") + " waited for a free request" +
            (f.waitedFrames ? ", up to " + MillisText(f.longestWait) : "") + "\n";
    return text + RateLines(f) + StripeLines(f) + StallLines(f);
}

} // namespace

std::optional<TakeFacts> ReadTakeFacts(ByteFile& avi, std::string& error) {
    auto layout = ReadAviLayout(avi, true, error, true);
    if (!layout)
        return std::nullopt;
    const StreamInfo& stream = layout->streams[size_t(layout->kestStream)];
    const auto h = ReadStreamFormat(stream.format.data());
    if (!h) {
        error = "the KEST stream's format does not read";
        return std::nullopt;
    }
    TakeFacts facts;
    facts.rate = stream.rate, facts.scale = stream.scale;
    facts.width = h->biWidth;
    facts.height = int32_t(AbsoluteHeight(h->biHeight));
    facts.kind = KindText(*h);
    facts.cut = layout->cut;
    bool sameSize = true;
    const bool walked = ForEachRecord(
        avi, *layout,
        [&](const RecordChunk&, const FrameRecordView& r) -> std::optional<std::string> {
            if (facts.frames == 0)
                facts.take = r.take, facts.frameBytes = r.size;
            sameSize = sameSize && r.size == facts.frameBytes;
            ++facts.frames;
            facts.dataBytes += r.size;
            if (std::find(facts.pieces.begin(), facts.pieces.end(), r.path) == facts.pieces.end())
                facts.pieces.emplace_back(r.path);
            return std::nullopt;
        },
        error);
    if (!walked && !layout->cut)
        return std::nullopt;
    error.clear();
    if (!sameSize)
        facts.frameBytes = 0;
    return facts;
}

std::optional<std::string> JournalOfPiece(std::string_view piece) {
    auto take = TakeFileOfPiece(piece);
    if (!take)
        return std::nullopt;
    return JournalFileName(
        std::string_view(*take).substr(0, take->size() - kTakeFileSuffix.size()));
}

std::optional<std::string> NoteStripes(const TakeFileRead& beside, TakeFacts& facts) {
    if (!beside.take || beside.take->id != facts.take || beside.take->stripeFiles.size() < 2)
        return std::nullopt;
    facts.stripeFiles = beside.take->stripeFiles;
    if (beside.take->stripe == 0)
        return std::nullopt;
    return FormatPieceName(facts.stripeFiles.front(), 0);
}

JournalRead ReadJournalFor(std::span<const uint8_t> bytes, const TakeFacts& facts,
                           const std::string& journalPath, std::string& refusal) {
    JournalRead read = ParseJournal(bytes);
    refusal.clear();
    if (!read.header)
        refusal = "the journal " + journalPath + " is damaged: " + read.damage;
    else if (read.header->take != facts.take)
        refusal = "the journal " + journalPath + " is of take " + TakeIdText(read.header->take) +
                  ", the AVI's frames of take " + TakeIdText(facts.take) +
                  ": a later capture into the same data file wrote it, so it says nothing of "
                  "this take";
    return read;
}

std::string ReportText(const std::string& aviPath, const TakeFacts& facts,
                       const std::string& journalPath, const JournalRead* read,
                       const JournalFindings* journal, const std::string& noJournal) {
    std::string text = "report: " + aviPath + "\n";
    text += StreamLine(facts, journal);
    text += FramesLine(facts);
    if (!read || !journal)
        return text + "journal: " + noJournal +
               ": only what the AVI says (frames, rate, sizes), nothing about timing\n";
    if (facts.frames != journal->frames)
        text += "frames: the journal holds " + Plural(journal->frames, "frame", "frames") +
                ", the AVI " + Grouped(facts.frames) + "\n";
    text += JournalLines(journalPath, *read, *journal);
    return text + "verdict: " + journal->verdict + "\n";
}

} // namespace kestro::avi
