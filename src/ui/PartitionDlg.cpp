#include "ui/PartitionDlg.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <new>
#include <utility>

#include "edge/TakeFiles.h"
#include "edge/TakePlace.h"
#include "edge/Win32Edge.h"
#include "resources/resource.h"
#include "settings/CodecSettings.h"
#include "ui/ConfigDlg.h"
#include "ui/DataExchange.h"
#include "ui/SheetChecks.h"
#include "pure/PiecePath.h"
#include "pure/ReserveMath.h"
#include "pure/SettingsText.h"

namespace {

// The frame rate: the check takes 1 to 30; the spin counts whole rates, and its top stands for
// the NTSC rate.
constexpr double kMinFrameRate = 1.0;
constexpr double kMaxFrameRate = 30.0;
constexpr int kRateSpinTop = 30;
constexpr double kNtscFrameRate = 29.97;
constexpr double kDefaultFrameRate = 24.0;
// Capture minutes: the check takes 1 to 180; the spin goes further and the check then objects.
constexpr int32_t kMinMinutes = 1;
constexpr int32_t kMaxMinutes = 180;
constexpr int32_t kMinuteSpinTop = 600;
constexpr int32_t kDefaultMinutes = 1;
constexpr WPARAM kDecimal = 10; // the up-down controls' number base
constexpr int kMaxRateRewrites = 40;
constexpr uint32_t kWholePercent = 100;
// A reservation shorter than this has measured the drive's buffers rather than the disk.
constexpr DWORD kShortestTimedMs = 1000;
constexpr double kMsPerSecond = 1000;
constexpr double kBytesPerMegabyte = 1e6;

} // namespace

namespace kestro {
ReserveFaults& ReserveFaultInjection() {
    static ReserveFaults faults;
    return faults;
}
} // namespace kestro

CWriteThread::CWriteThread(HWND owner, const std::string& fileName, uint64_t totalBytes)
    : totalBytes(totalBytes), owner(owner), fileName(fileName) {}

CWriteThread* CWriteThread::Create(HWND owner, const std::string& fileName, uint64_t totalBytes) {
    CWriteThread* writer = nullptr;
    try {
        writer = new CWriteThread(owner, fileName, totalBytes);
    } catch (...) {
        return nullptr;
    }
    writer->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writer->finishedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!writer->stopEvent || !writer->finishedEvent) {
        delete writer;
        return nullptr;
    }
    return writer;
}

CWriteThread::~CWriteThread() {
    if (thread)
        CloseHandle(thread);
    if (stopEvent)
        CloseHandle(stopEvent);
    if (finishedEvent)
        CloseHandle(finishedEvent);
}

bool CWriteThread::Start() {
    thread = CreateThread(nullptr, 0, ThreadMain, this, CREATE_SUSPENDED, nullptr);
    if (!thread)
        return false;
    SetThreadPriority(thread, THREAD_PRIORITY_LOWEST);
    ResumeThread(thread);
    return true;
}

void CWriteThread::Stop() {
    if (stopped)
        return;
    stopped = true;
    SetEvent(stopEvent);
    // Without a thread nothing would ever signal the end.
    if (!thread)
        return;
    WaitForSingleObject(finishedEvent, INFINITE);
    WaitForSingleObject(thread, INFINITE);
}

DWORD WINAPI CWriteThread::ThreadMain(void* self) {
    auto* writer = static_cast<CWriteThread*>(self);
    writer->Work();
    SetEvent(writer->finishedEvent);
    return 0;
}

void CWriteThread::Work() {
    const uint64_t unit = uint64_t(kestro::SystemPageSize()) * 2000;
    // Committed read-only memory reads as zeros and is never copied into.
    if (kestro::PageBuffer zeros(size_t(unit), PAGE_READONLY); zeros) {
        const kestro::WritePlan plan = kestro::PlanWrites(totalBytes, unit);
        // No truncation: a longer piece keeps its tail.
        kestro::UniqueFile file(CreateFileA(fileName.c_str(), GENERIC_WRITE, 0, nullptr,
                                            OPEN_ALWAYS, FILE_FLAG_NO_BUFFERING, nullptr));
        if (file && WaitForSingleObject(stopEvent, 0) != WAIT_OBJECT_0) {
            // The zeros replace the take: an AVI of it is refused rather than shown black.
            if (!takeFile.empty()) {
                kestro::TakeFile reserved = kestro::FreshTake();
                reserved.frames = 0;
                kestro::ReplaceTakeFile(takeFile, reserved);
            }
            for (uint64_t i = 0; i < plan.Count(); ++i) {
                const DWORD length =
                    DWORD(i == plan.fullWrites && plan.tailBytes ? plan.tailBytes : unit);
                DWORD written = 0;
                if (!WriteFile(file.get(), zeros.data(), length, &written, nullptr))
                    break;
                PostMessageW(owner, WM_RESERVE_PROGRESS, written, 0);
                if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0)
                    break;
            }
        }
    }
    PostMessageW(owner, WM_RESERVE_DONE, reinterpret_cast<WPARAM>(this), 0);
}

CProgressDlg::CProgressDlg(const CFilePage& owner, uint64_t reserveBytes, std::string base)
    : reserveBytes(reserveBytes), base(std::move(base)), owner(owner) {}

CProgressDlg::~CProgressDlg() {
    StopAll();
}

BOOL CProgressDlg::OnInitDialog() {
    kestro::SetItemText(hwnd_, IDC_PERCENT, std::to_wstring(percent));
    const auto& faults = kestro::ReserveFaultInjection();
    std::vector<uint64_t> sizes;
    try {
        sizes = kestro::PieceSizes(reserveBytes, owner.chosen.splitPieces, owner.chosen.pieceGiB,
                                   kestro::kPieceCount);
        if (faults.failSlots)
            throw std::bad_alloc();
        writers.assign(sizes.size(), nullptr);
    } catch (...) {
        sizes.clear();
        writers.clear();
    }
    writerCount = owner.chosen.splitPieces ? uint32_t(sizes.size()) : 0;
    if (owner.chosen.splitPieces && !sizes.empty()) {
        // Pieces past the last name are not written; the percentage is of what is.
        uint64_t planned = 0;
        for (uint64_t size : sizes)
            planned += size;
        reserveBytes = planned;
    }
    for (size_t i = 0; i < writers.size(); ++i) {
        if (int(i) == faults.failWriterAt)
            continue;
        writers[i] = CWriteThread::Create(hwnd_,
                                          base.empty() ? owner.chosen.PieceName(int(i))
                                                       : kestro::FormatPieceName(base, int(i)),
                                          sizes[i]);
    }
    if (!writers.empty() && writers[0]) {
        auto take = kestro::TakeFileOfPiece(writers[0]->fileName);
        writers[0]->takeFile = take ? *take : std::string();
    }
    SendMessageW(Item(IDC_PROGRESS_BAR), PBM_SETRANGE32, 0, kWholePercent);
    startTicks = GetTickCount();
    for (size_t i = 0; i < writers.size(); ++i) {
        if (writers[i] && (int(i) == faults.failThreadAt || !writers[i]->Start())) {
            delete writers[i];
            writers[i] = nullptr;
        }
    }
    // With no writer running no message would ever close the dialog.
    if (!AnyWriter())
        EndDialog(hwnd_, IDCANCEL);
    return TRUE;
}

bool CProgressDlg::AnyWriter() const {
    for (CWriteThread* writer : writers)
        if (writer)
            return true;
    return false;
}

bool CProgressDlg::OnCommand(int id, int) {
    if (id != IDCANCEL)
        return false;
    StopAll();
    EndDialog(hwnd_, IDCANCEL);
    return true;
}

void CProgressDlg::StopAll() {
    for (CWriteThread*& writer : writers) {
        if (!writer)
            continue;
        writer->Stop();
        delete writer;
        writer = nullptr;
    }
}

INT_PTR CProgressDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
    case WM_RESERVE_PROGRESS:
        ReportProgress(uint32_t(wParam));
        SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_RESERVE_DONE:
        ThreadFinished(reinterpret_cast<CWriteThread*>(wParam));
        return TRUE;
    }
    return FALSE;
}

void CProgressDlg::ReportProgress(uint64_t bytes) {
    writtenBytes += bytes;
    percent = reserveBytes ? uint32_t(writtenBytes * kWholePercent / reserveBytes) : kWholePercent;
    SendMessageW(Item(IDC_PROGRESS_BAR), PBM_SETPOS, percent, 0);
    kestro::SetItemText(hwnd_, IDC_PERCENT, std::to_wstring(percent));
}

void CProgressDlg::ThreadFinished(CWriteThread* finished) {
    // Only writers of this dialog count; a stale notice finds no slot.
    for (CWriteThread*& writer : writers) {
        if (writer != finished)
            continue;
        writer->Stop();
        delete writer;
        writer = nullptr;
        if (!AnyWriter()) {
            endTicks = GetTickCount();
            ended = true;
            EndDialog(hwnd_, IDCANCEL);
        }
        return;
    }
}

double CProgressDlg::MeasuredBytesPerSecond() const {
    const DWORD elapsed = endTicks - startTicks; // unsigned: right across the clock's wrap
    if (!ended || elapsed < kShortestTimedMs)
        return 0;
    return double(writtenBytes) * kMsPerSecond / double(elapsed);
}

bool CPartitionDlg::UpdateData(bool save) {
    kestro::DataExchange dx(hwnd_, save);
    dx.Real(IDC_FRAME_RATE, frameRate);
    dx.RealRange(IDC_FRAME_RATE, frameRate, kMinFrameRate, kMaxFrameRate);
    dx.Int(IDC_MINUTES, minutes);
    dx.IntRange(IDC_MINUTES, minutes, kMinMinutes, kMaxMinutes);
    dx.Text(IDC_SIZE_TEXT, sizeText);
    return !dx.Failed();
}

BOOL CPartitionDlg::OnInitDialog() {
    UpdateData(false);
    frameRate = kDefaultFrameRate;
    minutes = kDefaultMinutes;
    HWND rateSpin = Item(IDC_FRAME_RATE_SPIN), minuteSpin = Item(IDC_MINUTES_SPIN);
    SendMessageW(rateSpin, UDM_SETRANGE32, int(kMinFrameRate), kRateSpinTop);
    SendMessageW(rateSpin, UDM_SETPOS32, 0, int(kMinFrameRate));
    SendMessageW(minuteSpin, UDM_SETRANGE32, kMinMinutes, kMinuteSpinTop);
    SendMessageW(minuteSpin, UDM_SETPOS32, 0, kMinMinutes);
    SendMessageW(rateSpin, UDM_SETBASE, kDecimal, 0);
    SendMessageW(minuteSpin, UDM_SETBASE, kDecimal, 0);
    HWND list = Item(IDC_FRAME_SIZE);
    for (int i = 0; i < int(std::size(kestro::kFrameSizes)); ++i) {
        FrameSizeTable[i].text = std::to_wstring(kestro::kFrameSizes[i]);
        FrameSizeTable[i].size = kestro::kFrameSizes[i];
        SendMessageW(list, CB_INSERTSTRING, WPARAM(i),
                     reinterpret_cast<LPARAM>(FrameSizeTable[i].text.c_str()));
        SendMessageW(list, CB_SETITEMDATA, WPARAM(i), LPARAM(FrameSizeTable[i].size));
    }
    SendMessageW(list, CB_SETCURSEL, kestro::kDefaultFrameSizeIndex, 0);
    UpdateData(false);
    Recompute();
    ShowReserveName();
    initialized = true;
    return TRUE;
}

// Space reserved under a data file that holds a take of frames would destroy it, and a capture
// would then go beside it anyway: the zeros go where the next capture begins, in each data file
// of a striped take.
void CPartitionDlg::ShowReserveName() {
    reserveBases.clear();
    std::wstring names;
    for (const std::string& configured : owner.chosen.StripeFiles()) {
        const std::string base =
            owner.chosen.overwrite || !kestro::DataFileNameUsable(configured, kestro::FileCallName)
                ? configured
                : kestro::TakePlace::Next(configured);
        if (base.empty()) {
            reserveBases.clear();
            kestro::SetItemText(hwnd_, IDC_RESERVE_NAME,
                                kestro::WithValues(IDS_RESERVE_NO_NAME, kestro::Widen(configured)));
            EnableWindow(Item(IDOK), FALSE);
            return;
        }
        reserveBases.push_back(base);
        names += (names.empty() ? L"" : L", ") + kestro::Widen(kestro::FormatPieceName(base, 0));
    }
    kestro::SetItemText(hwnd_, IDC_RESERVE_NAME, kestro::WithValues(IDS_RESERVE_NAME, names));
    EnableWindow(Item(IDOK), !reserveBases.empty());
}

bool CPartitionDlg::OnCommand(int id, int code) {
    switch (id) {
    case IDC_FRAME_RATE:
        if (code == EN_CHANGE && initialized)
            FrameRateChanged();
        return code == EN_CHANGE;
    case IDC_MINUTES:
        if (code == EN_CHANGE && initialized)
            Recompute();
        return code == EN_CHANGE;
    case IDC_FRAME_SIZE:
        if (code == CBN_SELCHANGE && initialized)
            Recompute();
        return code == CBN_SELCHANGE;
    case IDOK:
        Reserve();
        return true;
    case IDCANCEL:
        EndDialog(hwnd_, IDCANCEL);
        return true;
    }
    return false;
}

void CPartitionDlg::Recompute() {
    UpdateData(true);
    HWND list = Item(IDC_FRAME_SIZE);
    LRESULT selected = SendMessageW(list, CB_GETCURSEL, 0, 0);
    frameBytes =
        selected == CB_ERR ? 0 : uint32_t(SendMessageW(list, CB_GETITEMDATA, WPARAM(selected), 0));
    reserveBytes = kestro::ReserveBytes(minutes, frameRate, frameBytes);
    sizeText = std::to_wstring(kestro::MegabyteFigure(reserveBytes));
    UpdateData(false);
}

// The top of the spin range stands for 29.97 frames per second. The field then holds a text the
// spin cannot read as its position; that text is taken as the rate as it stands, so writing
// "29.97" never leads to another rewrite.
void CPartitionDlg::FrameRateChanged() {
    if (rateChangeDepth_ > kMaxRateRewrites) // bounds any chain of rewrites, whatever the spin says
        return;
    ++rateChangeDepth_;
    double typed = 0;
    const bool fraction = kestro::ParseReal(kestro::ItemText(hwnd_, IDC_FRAME_RATE), typed) &&
                          typed != std::floor(typed);
    if (!fraction) {
        BOOL error = FALSE;
        int position = int(SendMessageW(Item(IDC_FRAME_RATE_SPIN), UDM_GETPOS32, 0,
                                        reinterpret_cast<LPARAM>(&error)));
        if (!error && position == kRateSpinTop) {
            frameRate = kNtscFrameRate;
            UpdateData(false);
        } else if (!error && position > kRateSpinTop) {
            kestro::SetItemText(hwnd_, IDC_FRAME_RATE, std::to_wstring(position - 1));
        }
    }
    Recompute();
    --rateChangeDepth_;
}

void CPartitionDlg::Reserve() {
    if (reserveBases.empty())
        return;
    const uint64_t total = owner.chosen.disktotal;
    if (reserveBytes > total)
        reserveBytes = total;
    // Frames go to the data files in turn: each disk holds its share of the capture.
    const uint64_t share = (reserveBytes + reserveBases.size() - 1) / reserveBases.size();
    std::vector<double> rates;
    for (const std::string& base : reserveBases) {
        // Owned by this dialog so that it stays disabled while the writers run.
        CProgressDlg progress(owner, share, base);
        progress.RunModal(hwnd_, IDD_PROGRESS);
        rates.push_back(progress.MeasuredBytesPerSecond());
        if (!progress.ended)
            break;
    }
    ShowMeasuredRate(rates);
    if (UpdateData(true))
        EndDialog(hwnd_, IDOK);
}

void CPartitionDlg::ShowMeasuredRate(const std::vector<double>& rates) {
    if (rates.size() != reserveBases.size() ||
        std::find(rates.begin(), rates.end(), 0.0) != rates.end())
        return;
    const double rate = *std::min_element(rates.begin(), rates.end()) * double(rates.size());
    const double need = kestro::StreamBytesPerSecond(frameBytes, frameRate);
    const bool keeps = kestro::KeepsUp(rate, need);
    auto figure = [](double bytesPerSecond) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", bytesPerSecond / kBytesPerMegabyte);
        return kestro::Widen(text);
    };
    std::wstring disks;
    for (size_t i = 0; rates.size() > 1 && i < rates.size(); ++i)
        disks += kestro::WithValues(IDS_RESERVE_DISK_RATE,
                                    kestro::Widen(kestro::FormatPieceName(reserveBases[i], 0)),
                                    figure(rates[i])) +
                 (i + 1 < rates.size() ? L"\n" : L"\n\n");
    MessageBoxW(hwnd_,
                (disks + kestro::WithValues(keeps ? IDS_RESERVE_RATE : IDS_RESERVE_SLOW,
                                            figure(rate), figure(need * kestro::kRateMargin)))
                    .c_str(),
                kestro::LoadResourceString(IDS_SHEET_CAPTION).c_str(),
                MB_OK | (keeps ? MB_ICONINFORMATION : MB_ICONWARNING));
}
