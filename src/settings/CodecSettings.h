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
    std::string filename;
    bool fastwrite = true;
    bool divide = false;
    int32_t dividesize = 2;
    // A fast write first copies the host's image into the request's own pages ("buffer"), so
    // that an image of any size may be written unbuffered.
    bool copyBeforeWrite = true;
    int32_t request = 3;
    int32_t fourcc = 0;
    bool fastioallowed = false;
    // Fast writes go through the system's cache instead of straight to the disk ("cpu").
    bool cachedWrites = false;
    bool fastread = true;
    // A chained frame may run up to two pages past its stored size; a read takes them too
    // ("huffyuv").
    bool chainedExtraPages = false;
    // Reads the fast readers keep in flight ahead of the frame asked for.
    int32_t readahead = kDefaultReadAhead;
    // A compress begin that is refused says why on the debugger only, not in a message box.
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
    void SetFilename(const std::string& name) { filename = name; }

    // Pieces a run may use and the piece size in bytes: a `request` or `dividesize` below 1 read
    // from the file is kept (and saved back) as it is, but a run works with at least 1.
    uint32_t EffectiveRequestCount() const { return request < 1 ? 1u : uint32_t(request); }
    uint64_t EffectivePieceBytes() const {
        return uint64_t(dividesize < 1 ? 1 : dividesize) << kGiBShift;
    }
    static constexpr int kGiBShift = 30; // `dividesize` counts gibibytes
    static constexpr int32_t kDefaultReadAhead = 4;
    static constexpr int32_t kMaxReadAhead = 16;
};

// The record of this process.
CCodecSettings& TheSettings();

// One key of the settings file ([general] of kestdisk.ini): the field it fills (text, a 0/1 flag
// that reads any non-zero value as 1, or a number kept as read), the value a missing key takes,
// and the range outside which a number is no choice anybody made and takes that value too.
struct SettingKey {
    const char* key;
    std::string CCodecSettings::*text = nullptr;
    bool CCodecSettings::*flag = nullptr;
    int32_t CCodecSettings::*number = nullptr;
    const char* fallbackText = nullptr;
    int32_t fallback = 0;
    int32_t low = INT32_MIN;
    int32_t high = INT32_MAX;
};

// Every key, in the order the file is written: files of every version compare line by line.
std::span<const SettingKey> SettingKeys();
