#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ui/Dialog.h"

class CFilePage;

constexpr UINT WM_RESERVE_PROGRESS = WM_USER + 1;
constexpr UINT WM_RESERVE_DONE = WM_USER + 2;

// Writes one piece full of zeros on a thread of its own, at the lowest priority.
class CWriteThread {
public:
    // Null when the object or its events cannot be made.
    static CWriteThread* Create(HWND owner, const std::string& fileName, uint64_t totalBytes);
    ~CWriteThread();
    // Creates the thread suspended, lowers its priority and lets it run; false when no thread.
    bool Start();
    // Asks the work to end and waits until the thread has ended.
    void Stop();

    uint64_t totalBytes;
    HWND owner;
    std::string fileName;
    // The take file that the zeros replace a take in (piece 0's writer only); empty for others.
    std::string takeFile;
    bool stopped = false;
    HANDLE stopEvent = nullptr;
    HANDLE finishedEvent = nullptr;
    HANDLE thread = nullptr;

private:
    CWriteThread(HWND owner, const std::string& fileName, uint64_t totalBytes);
    static DWORD WINAPI ThreadMain(void* self);
    void Work();
};

// Writes the data file's pieces to their full length with one writer per piece.
class CProgressDlg : public kestro::Dialog {
public:
    // Writes the pieces of the data file `base`; empty: the page's data file as it stands.
    CProgressDlg(const CFilePage& owner, uint64_t reserveBytes, std::string base = {});
    ~CProgressDlg() override;

    std::vector<CWriteThread*> writers;
    uint64_t reserveBytes;
    std::string base;
    uint32_t writerCount = 0;
    uint64_t writtenBytes = 0;
    const CFilePage& owner;
    uint32_t percent = 0;
    // The clock (milliseconds) when the writers started and when the last one ended; a cancel
    // leaves the end unset.
    DWORD startTicks = 0, endTicks = 0;
    bool ended = false;

    // The rate of the whole reservation, all pieces together; 0 when it was cancelled or lasted
    // too short a time to tell the disk from its buffers.
    double MeasuredBytesPerSecond() const;

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code) override;
    INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void ReportProgress(uint64_t bytes);
    void ThreadFinished(CWriteThread* writer);
    void StopAll();
    bool AnyWriter() const;
};

// Computes the space of a capture from rate, minutes and frame size, and reserves it.
class CPartitionDlg : public kestro::Dialog {
public:
    explicit CPartitionDlg(const CFilePage& owner) : owner(owner) {}

    double frameRate = 0;
    int32_t minutes = 0;
    uint64_t reserveBytes = 0;
    uint32_t frameBytes = 0; // the size selected
    struct FrameSize {
        std::wstring text;
        uint32_t size = 0;
    };
    // Room for more sizes than the list offers (kFrameSizes).
    static constexpr int kFrameSizeSlots = 20;
    FrameSize FrameSizeTable[kFrameSizeSlots];
    bool initialized = false;
    const CFilePage& owner;
    std::wstring sizeText;
    // The data files the next capture would begin in, where the zeros go: the page's data file
    // and then each stripe, each the one named when it holds no take of frames (or overwrite is
    // on), else a free name beside it; empty when one has none.
    std::vector<std::string> reserveBases;

    bool UpdateData(bool save);
    void Recompute();

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code) override;

private:
    void FrameRateChanged();
    void ShowReserveName();
    void Reserve();
    // Says at what rate the reservation was written (each disk's of a striped take, and the
    // take's: frames go in turn, so the slowest disk sets the pace of all), and warns when that is
    // less than the chosen frame size and rate need. A rate of 0: not timed, nothing said.
    void ShowMeasuredRate(const std::vector<double>& rates);
    int rateChangeDepth_ = 0;
};

namespace kestro {
// Failures that tests bring about on purpose; all off in normal use.
struct ReserveFaults {
    int failThreadAt = -1;  // the writer at this slot gets no thread
    int failWriterAt = -1;  // the writer object of this slot cannot be made
    bool failSlots = false; // the slot array cannot be allocated
};
ReserveFaults& ReserveFaultInjection();
} // namespace kestro
