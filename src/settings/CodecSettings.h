#pragma once
#include <array>
#include <climits>
#include <cstdint>
#include <span>
#include <string>

#include "pure/SettingsText.h"

// The one process-wide settings record, read from "kestdisk.ini" beside the library at load and
// written back at unload and when the configuration sheet is accepted.
class CCodecSettings {
public:
    std::string profilepath;
    // The data file's base name; its pieces are `piecenames` ("filename").
    std::string dataFileName;
    // Capture writes are overlapped, completed through a port ("fastwrite").
    bool overlappedWrites = true;
    // The data file is split into pieces of `pieceGiB` ("divide", "dividesize").
    bool splitPieces = false;
    int32_t pieceGiB = 2;
    // A fast write first copies the host's image into the request's own pages ("buffer"), so
    // that an image of any size may be written unbuffered.
    bool copyBeforeWrite = true;
    // Overlapped writes a run may have in flight ("request").
    int32_t writeRequests = 3;
    // The chained codec's four-character code, first character in the low byte; 0 stores the
    // host's pictures as they come ("fourcc").
    int32_t chainedFourcc = 0;
    bool fastioallowed = false;
    // Fast writes go through the system's cache instead of straight to the disk ("cpu").
    bool cachedWrites = false;
    // Playback reads are overlapped and unbuffered, with reads ahead ("fastread").
    bool overlappedReads = true;
    // A chained frame may run up to two pages past its stored size; a read takes them too
    // ("huffyuv").
    bool chainedExtraPages = false;
    // Reads the fast readers keep in flight ahead of the frame asked for ("readahead").
    int32_t readAheadDepth = kDefaultReadAhead;
    // A compress begin that is refused says why on the debugger only, not in a message box
    // ("quiet").
    bool quiet = false;
    std::array<std::string, kestro::kPieceCount> piecenames;
    std::string datadrive;
    uint64_t disktotal = 0;

    // Reads the INI beside `modulePath` (the library's own file name).
    void LoadSettings(const std::string& modulePath);
    void SaveSettings() const;
    // Overlapped unbuffered I/O needs an NT-family system of version 4 or later; without it the
    // fast modes are off for this process (the file keeps its values until the next save).
    void ApplyPlatform(bool allowsFastIo);
    void RebuildPieceNames();
    std::string PieceName(int i) const;
    void SetFilename(const std::string& name) { dataFileName = name; }
    // What the sheet's OK chose: every key of `chosen` is stored through its row, then the file
    // is written and the piece names follow the data file. Nothing is stored, and false comes
    // back, when a number lies outside the range of its row.
    bool StoreAccepted(const CCodecSettings& chosen);

    // Requests a run may use and the piece size in bytes: a request count or piece size below 1
    // read from the file is kept (and saved back) as it is, but a run works with at least 1.
    uint32_t EffectiveRequestCount() const {
        return writeRequests < 1 ? 1u : uint32_t(writeRequests);
    }
    uint64_t EffectivePieceBytes() const {
        return uint64_t(pieceGiB < 1 ? 1 : pieceGiB) << kGiBShift;
    }
    static constexpr int kGiBShift = 30; // `pieceGiB` counts gibibytes
    static constexpr int32_t kDefaultReadAhead = 4;
    static constexpr int32_t kMaxReadAhead = 16;
};

// The record of this process.
CCodecSettings& TheSettings();

// One key of the settings file ([general] of kestdisk.ini): the field it fills (text, a 0/1 flag
// that reads any non-zero value as 1, or a number), the value a missing key takes, and the range
// of numbers anybody can choose on the sheet. A number read from the file outside that range is
// kept as read (and saved back) where the run copes with any value; elsewhere it is no choice
// anybody made and takes the missing key's value too.
struct SettingKey {
    const char* key;
    std::string CCodecSettings::*text = nullptr;
    bool CCodecSettings::*flag = nullptr;
    int32_t CCodecSettings::*number = nullptr;
    const char* fallbackText = nullptr;
    int32_t fallback = 0;
    int32_t low = INT32_MIN;
    int32_t high = INT32_MAX;
    bool keptOutsideRange = false;

    bool InRange(int32_t value) const { return value >= low && value <= high; }
};

// Every key, in the order the file is written: files of every version compare line by line.
std::span<const SettingKey> SettingKeys();
// The row of a number field (its range is what the sheet offers).
const SettingKey& SettingKeyOf(int32_t CCodecSettings::*number);
