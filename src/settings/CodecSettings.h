#pragma once
#include <array>
#include <climits>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pure/SettingsText.h"

// The one process-wide settings record, read from "kestdisk.ini" beside the library at load and
// written back at unload and when the configuration sheet is accepted.
class CCodecSettings {
public:
    // Every keyed field starts at the value its row gives a missing key.
    CCodecSettings();

    std::string profilepath;
    // The data file's base name; its pieces are `piecenames` ("filename").
    std::string dataFileName;
    // Capture writes are overlapped, completed through a port ("fastwrite").
    bool overlappedWrites;
    // The data file is split into pieces of `pieceGiB` ("divide", "dividesize").
    bool splitPieces;
    int32_t pieceGiB;
    // A fast write first copies the host's image into the request's own pages ("buffer"), so
    // that an image of any size may be written unbuffered.
    bool copyBeforeWrite;
    // Overlapped writes a run may have in flight ("request").
    int32_t writeRequests;
    // The chained codec's four-character code, first character in the low byte; 0 stores the
    // host's pictures as they come ("fourcc").
    int32_t chainedFourcc;
    bool fastioallowed = false;
    // Fast writes go through the system's cache instead of straight to the disk ("cpu").
    bool cachedWrites;
    // Playback reads are overlapped and unbuffered, with reads ahead ("fastread").
    bool overlappedReads;
    // A chained frame may run up to two pages past its stored size; a read takes them too
    // ("huffyuv").
    bool chainedExtraPages;
    // Reads the fast readers keep in flight ahead of the frame asked for ("readahead").
    int32_t readAheadDepth;
    // A compress begin that is refused says why on the debugger only, not in a message box
    // ("quiet").
    bool quiet;
    // A compress begin captures into the data file of `dataFileName` over whatever take it holds,
    // instead of beside a take of frames ("overwrite").
    bool overwrite;
    // Data files on other disks a take is striped over: frames go to the data file and these in
    // turn ("stripe1" to "stripe3"; empty ones are left out).
    std::string stripeFile1, stripeFile2, stripeFile3;
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
    // The data files of a take in the order frames go to them: `dataFileName`, then every stripe
    // that is set.
    std::vector<std::string> StripeFiles() const;
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
    static constexpr int32_t kMaxReadAhead = 16;
};

// The record of this process.
CCodecSettings& TheSettings();

// The section of the settings file that holds every key.
inline constexpr char kSettingsSection[] = "general";

// One key of the settings file ([general] of kestdisk.ini): the field it fills (text, a 0/1 flag
// that reads any non-zero value as 1, or a number), the value a missing key takes, and the range
// of numbers anybody can choose on the sheet. A number read from the file outside that range is
// kept as read (and saved back) where the run copes with any value; elsewhere it is no choice
// anybody made and takes the missing key's value too. Reading, writing, checking and copying a
// setting walk these rows, so a new key is a field and a row.
struct SettingKey {
    const char* key;
    std::string CCodecSettings::*text = nullptr;
    bool CCodecSettings::*flag = nullptr;
    int32_t CCodecSettings::*number = nullptr;
    const char* fallbackText = "";
    int32_t fallback = 0;
    int32_t low = INT32_MIN;
    int32_t high = INT32_MAX;
    bool keptOutsideRange = false;

    bool InRange(int32_t value) const { return value >= low && value <= high; }
    // What a missing key reads as, in the file's own words.
    std::string DefaultText() const;
    // The field of `s` as the file stores it: the text, 0 or 1, or the number in decimal.
    std::string Stored(const CCodecSettings& s) const;
    // The field of `s` from the file's text; an empty number takes the default.
    void Load(CCodecSettings& s, const std::string& stored) const;
    void Copy(CCodecSettings& to, const CCodecSettings& from) const;
    // Why `value` is no choice for this key, as someone names it (kestro-host --ini KEY=VALUE):
    // a flag takes 0 or 1, a number a decimal integer in its range, a text no more than the
    // codec reads back; empty when it is a choice.
    std::string Refusal(const std::string& value) const;
};

// Every key, in the order the file is written: files of every version compare line by line.
std::span<const SettingKey> SettingKeys();
// The row of a field, and the row of a key as a file or a command line names it (letter case
// aside, as the profile functions take it); null when there is none.
const SettingKey& SettingKeyOf(std::string CCodecSettings::*text);
const SettingKey& SettingKeyOf(bool CCodecSettings::*flag);
const SettingKey& SettingKeyOf(int32_t CCodecSettings::*number);
const SettingKey* FindSettingKey(const std::string& key);
// Every key's name, comma-separated, for a message that refuses another one.
std::string SettingKeyNames();

// The text of `row`'s key in the settings file `path`, or `absent` when it has none.
std::string ReadKeyText(const std::string& path, const SettingKey& row, const std::string& absent);
// False when the file cannot be written.
bool WriteKeyText(const std::string& path, const SettingKey& row, const std::string& text);
