#include "capture/FrameJournal.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "pure/TakeFile.h"

using namespace kestro;

namespace {

// Pages of rows kept in memory: far more than the rows whose writes may still be on their way.
constexpr uint32_t kRingPages = 8;
// Rows after its end by which a page's writes have completed, besides the requests.
constexpr uint64_t kLagRows = 2;

// The journal beside a piece 0 as the take file is beside it: the data file's name and ".journal".
std::string JournalOfPiece(const std::string& firstPiece) {
    if (!TakeFileOfPiece(firstPiece))
        return {};
    return JournalFileName(std::string_view(firstPiece).substr(0, firstPiece.size() - 4));
}

void Say(const std::string& what, const std::string& path) {
    const std::string text = "Kestro32: cannot " + what + " the frame journal " + path +
                             " (system error " + std::to_string(GetLastError()) +
                             "); the capture goes on without it\n";
    OutputDebugStringA(text.c_str());
}

} // namespace

int64_t FrameJournal::Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

void FrameJournal::Begin(const std::string& firstPiece, JournalHeader h) {
    End();
    path = JournalOfPiece(firstPiece);
    LARGE_INTEGER frequency{};
    if (path.empty() || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
        return;
    page = std::max<uint32_t>(SystemPageSize(), kJournalHeaderBytes);
    ringPages = kRingPages;
    lag = kLagRows + h.requests;
    ring.reset(new (std::nothrow) JournalRow[size_t(ringPages) * (page / kJournalRowBytes)]);
    dirty.reset(new (std::nothrow) bool[ringPages]());
    scratch = PageBuffer(page);
    if (!ring || !dirty || !scratch)
        return Drop("make room for");
    header = h;
    header.ticksPerSecond = uint64_t(frequency.QuadPart);
    header.rate = pendingRate;
    header.scale = pendingScale;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    header.beganFileTime = uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    // An earlier take's journal goes, and with it whatever else bore the name (a link is removed,
    // not followed): what is opened next is a new file.
    DeleteFileA(path.c_str());
    file.reset(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK)
        return Drop("create");
    rows = 0;
    rowOpen = false;
    began = lastWrite = Now();
    dirty[0] = true;
    WritePage(0);
}

void FrameJournal::SetRate(uint32_t rate, uint32_t scale) {
    pendingRate = rate;
    pendingScale = scale;
    if (!file)
        return;
    header.rate = rate;
    header.scale = scale;
    if (InRing(0))
        dirty[0] = true;
    else
        WriteHeaderOnly();
}

uint64_t FrameJournal::FirstRowOf(uint64_t filePage) const {
    return filePage == 0 ? 0 : (filePage * page - kJournalHeaderBytes) / kJournalRowBytes;
}

bool FrameJournal::InRing(uint64_t filePage) const {
    const uint64_t newest = rows ? PageOf(rows - 1) : 0;
    return filePage <= newest && filePage + ringPages > newest;
}

JournalRow* FrameJournal::RowAt(uint64_t row) {
    if (!file || row >= rows || !InRing(PageOf(row)))
        return nullptr;
    const uint64_t at = kJournalHeaderBytes + row * kJournalRowBytes;
    return &ring[size_t((at / page) % ringPages) * (page / kJournalRowBytes) +
                 size_t(at % page / kJournalRowBytes)];
}

void FrameJournal::MarkDirty(uint64_t row) {
    dirty[PageOf(row) % ringPages] = true;
}

void FrameJournal::Arrive(uint32_t frame, int64_t tick) {
    if (!file)
        return;
    if (rowOpen)
        Return(0, 0, 0);
    const uint64_t filePage = PageOf(rows);
    // The page this one takes the place of in memory goes out first if it changed since.
    if (filePage >= ringPages && rows == FirstRowOf(filePage) && dirty[filePage % ringPages]) {
        WritePage(filePage - ringPages);
        if (!file)
            return;
    }
    ++rows;
    rowOpen = true;
    rowIssued = false;
    JournalRow* r = RowAt(rows - 1);
    *r = JournalRow{};
    r->frame = frame;
    r->arrived = uint64_t(std::max<int64_t>(tick - began, 0));
    r->completed = kJournalUnknown;
    MarkDirty(rows - 1);
}

uint32_t FrameJournal::Issue(uint32_t inFlight) {
    if (!file || !rowOpen)
        return kNoRow;
    JournalRow* r = RowAt(rows - 1);
    // A frame written in two parts (its whole pages, then its last page) is issued with the first.
    if (!rowIssued) {
        rowIssued = true;
        r->issued =
            JournalTicks(uint64_t(std::max<int64_t>(Now() - began - int64_t(r->arrived), 0)));
        r->inFlight = uint8_t(std::min<uint32_t>(inFlight, 255));
    }
    return rows - 1 > UINT32_MAX - 1 ? kNoRow : uint32_t(rows - 1);
}

void FrameJournal::Complete(uint32_t row) {
    if (row == kNoRow)
        return;
    JournalRow* r = RowAt(row);
    if (!r)
        return;
    const int64_t issued = began + int64_t(r->arrived) + int64_t(r->issued);
    r->completed = JournalTicks(uint64_t(std::max<int64_t>(Now() - issued, 0)));
    MarkDirty(row);
}

void FrameJournal::Waited(int64_t ticks) {
    if (!file || !rowOpen || ticks <= 0)
        return;
    JournalRow* r = RowAt(rows - 1);
    r->waited = JournalTicks(uint64_t(r->waited) + uint64_t(ticks));
}

void FrameJournal::Return(uint32_t bytes, int32_t piece, uint32_t stripe) {
    if (!file || !rowOpen)
        return;
    rowOpen = false;
    JournalRow* r = RowAt(rows - 1);
    const int64_t now = Now();
    r->bytes = bytes;
    r->piece = uint8_t(std::clamp<int32_t>(piece, 0, 254));
    r->stripe = uint8_t(std::min<uint32_t>(stripe, kMaxStripes - 1));
    r->returned = JournalTicks(uint64_t(std::max<int64_t>(now - began - int64_t(r->arrived), 0)));
    WriteDue(now);
}

// A page goes out once the rows after it are enough for all its writes to have completed, and
// every page that changed goes out once a second, the last one with them.
void FrameJournal::WriteDue(int64_t now) {
    const uint64_t newest = PageOf(rows - 1);
    const bool timed = now - lastWrite >= int64_t(header.ticksPerSecond);
    if (timed)
        lastWrite = now;
    const uint64_t oldest = newest + 1 > ringPages ? newest + 1 - ringPages : 0;
    for (uint64_t p = oldest; p <= newest && file; ++p) {
        if (!dirty[p % ringPages])
            continue;
        if (timed || (p < newest && FirstRowOf(p + 1) + lag <= rows))
            WritePage(p);
    }
}

void FrameJournal::WritePage(uint64_t filePage) {
    uint8_t* out = scratch.data();
    std::memset(out, 0, page);
    if (filePage == 0)
        EncodeJournalHeader(header, out);
    const uint64_t end = std::min(rows, FirstRowOf(filePage + 1));
    for (uint64_t row = FirstRowOf(filePage); row < end; ++row)
        EncodeJournalRow(*RowAt(row), out + (kJournalHeaderBytes + row * kJournalRowBytes) % page);
    OVERLAPPED at{};
    const uint64_t offset = filePage * page;
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD done = 0;
    if (!WriteFile(file.get(), out, page, &done, &at) || done != page)
        return Drop("write");
    dirty[filePage % ringPages] = false;
}

void FrameJournal::WriteHeaderOnly() {
    uint8_t bytes[kJournalHeaderBytes];
    EncodeJournalHeader(header, bytes);
    OVERLAPPED at{};
    DWORD done = 0;
    if (!WriteFile(file.get(), bytes, kJournalHeaderBytes, &done, &at) ||
        done != kJournalHeaderBytes)
        Drop("write");
}

void FrameJournal::End() {
    if (file) {
        if (rowOpen)
            Return(0, 0, 0);
        const uint64_t newest = rows ? PageOf(rows - 1) : 0;
        const uint64_t oldest = newest + 1 > ringPages ? newest + 1 - ringPages : 0;
        for (uint64_t p = oldest; p <= newest && file; ++p)
            if (dirty[p % ringPages])
                WritePage(p);
    }
    file.reset();
    ring.reset();
    dirty.reset();
    scratch.reset();
    rows = 0;
    rowOpen = false;
}

void FrameJournal::Drop(const char* what) {
    Say(what, path);
    file.reset();
}
