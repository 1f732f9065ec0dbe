#include "settings/CodecSettings.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

namespace {

constexpr int kDecimal = 10;
// The profile functions read a value into a buffer of this many characters and a terminator.
constexpr size_t kLongestValue = MAX_PATH;

bool SystemAllowsFastIo() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info; // 148 bytes
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExA(&info))
        return false;
#pragma GCC diagnostic pop
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 4;
}

} // namespace

std::span<const SettingKey> SettingKeys() {
    using S = CCodecSettings;
    static const SettingKey keys[] = {
        {.key = "filename", .text = &S::dataFileName, .fallbackText = "c:\\kestro"},
        {.key = "fastwrite", .flag = &S::overlappedWrites, .fallback = 1},
        {.key = "divide", .flag = &S::splitPieces, .fallback = 0},
        {.key = "dividesize",
         .number = &S::pieceGiB,
         .fallback = 2,
         .low = 1,
         .high = 100,
         .keptOutsideRange = true},
        {.key = "buffer", .flag = &S::copyBeforeWrite, .fallback = 1},
        {.key = "request",
         .number = &S::writeRequests,
         .fallback = 3,
         .low = 1,
         .high = 20,
         .keptOutsideRange = true},
        {.key = "fourcc", .number = &S::chainedFourcc, .fallback = 0},
        {.key = "cpu", .flag = &S::cachedWrites, .fallback = 0},
        {.key = "fastread", .flag = &S::overlappedReads, .fallback = 1},
        {.key = "huffyuv", .flag = &S::chainedExtraPages, .fallback = 0},
        // Each read in flight ahead holds a slot of a whole picture.
        {.key = "readahead",
         .number = &S::readAheadDepth,
         .fallback = 4,
         .low = 1,
         .high = S::kMaxReadAhead},
        {.key = "quiet", .flag = &S::quiet, .fallback = 0},
        {.key = "overwrite", .flag = &S::overwrite, .fallback = 0},
        // Data files on other disks a take is striped over, after `filename`; empty: none.
        {.key = "stripe1", .text = &S::stripeFile1, .fallbackText = ""},
        {.key = "stripe2", .text = &S::stripeFile2, .fallbackText = ""},
        {.key = "stripe3", .text = &S::stripeFile3, .fallbackText = ""},
    };
    return keys;
}

namespace {

using S = CCodecSettings;
std::string S::*FieldOf(const SettingKey& row, std::string S::*) {
    return row.text;
}
bool S::*FieldOf(const SettingKey& row, bool S::*) {
    return row.flag;
}
int32_t S::*FieldOf(const SettingKey& row, int32_t S::*) {
    return row.number;
}

template <typename Field> const SettingKey& RowOf(Field S::*field) {
    for (const SettingKey& row : SettingKeys())
        if (FieldOf(row, field) == field)
            return row;
    // Every keyed field has its row; a field without one would be neither read nor saved.
    std::abort();
}

// A whole decimal integer that fits 32 bits, sign allowed, nothing around it.
std::optional<int32_t> WholeNumber(const std::string& text) {
    const size_t digits = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos)
        return std::nullopt;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, kDecimal);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return int32_t(value);
}

} // namespace

const SettingKey& SettingKeyOf(std::string CCodecSettings::*text) {
    return RowOf(text);
}
const SettingKey& SettingKeyOf(bool CCodecSettings::*flag) {
    return RowOf(flag);
}
const SettingKey& SettingKeyOf(int32_t CCodecSettings::*number) {
    return RowOf(number);
}

const SettingKey* FindSettingKey(const std::string& key) {
    for (const SettingKey& row : SettingKeys())
        if (lstrcmpiA(row.key, key.c_str()) == 0)
            return &row;
    return nullptr;
}

std::string SettingKeyNames() {
    std::string names;
    for (const SettingKey& row : SettingKeys())
        names.append(names.empty() ? "" : ", ").append(row.key);
    return names;
}

std::string SettingKey::DefaultText() const {
    return text ? fallbackText : std::to_string(fallback);
}

std::string SettingKey::Stored(const CCodecSettings& s) const {
    if (text)
        return s.*text;
    return std::to_string(flag ? int32_t(s.*flag) : s.*number);
}

void SettingKey::Load(CCodecSettings& s, const std::string& stored) const {
    if (text) {
        s.*text = stored;
        return;
    }
    // Parsed here rather than by GetPrivateProfileInt so that negative values survive on every
    // system.
    const int32_t value =
        stored.empty() ? fallback : int32_t(std::strtol(stored.c_str(), nullptr, kDecimal));
    if (flag)
        s.*flag = value != 0;
    else
        s.*number = InRange(value) || keptOutsideRange ? value : fallback;
}

void SettingKey::Copy(CCodecSettings& to, const CCodecSettings& from) const {
    if (text)
        to.*text = from.*text;
    else if (flag)
        to.*flag = from.*flag;
    else
        to.*number = from.*number;
}

std::string SettingKey::Refusal(const std::string& value) const {
    if (text)
        return value.size() <= kLongestValue
                   ? std::string()
                   : std::string(key) + " takes at most " + std::to_string(kLongestValue) +
                         " characters (the codec reads no more)";
    const std::optional<int32_t> number = WholeNumber(value);
    if (flag)
        return number == 0 || number == 1 ? std::string() : std::string(key) + " takes 0 or 1";
    if (number && InRange(*number))
        return {};
    return std::string(key) + " takes a whole number from " + std::to_string(low) + " to " +
           std::to_string(high);
}

std::string ReadKeyText(const std::string& path, const SettingKey& row, const std::string& absent) {
    char text[kLongestValue + 1] = {};
    GetPrivateProfileStringA(kSettingsSection, row.key, absent.c_str(), text, sizeof text,
                             path.c_str());
    return text;
}

bool WriteKeyText(const std::string& path, const SettingKey& row, const std::string& text) {
    return WritePrivateProfileStringA(kSettingsSection, row.key, text.c_str(), path.c_str());
}

CCodecSettings::CCodecSettings() {
    for (const SettingKey& row : SettingKeys())
        row.Load(*this, row.DefaultText());
}

CCodecSettings& TheSettings() {
    static CCodecSettings settings;
    return settings;
}

void CCodecSettings::LoadSettings(const std::string& modulePath) {
    profilepath = kestro::ProfilePathForModule(modulePath);
    for (const SettingKey& row : SettingKeys())
        row.Load(*this, ReadKeyText(profilepath, row, row.DefaultText()));
    ApplyPlatform(SystemAllowsFastIo());
    RebuildPieceNames();
}

void CCodecSettings::ApplyPlatform(bool allowsFastIo) {
    fastioallowed = allowsFastIo;
    if (!fastioallowed) {
        overlappedWrites = false;
        overlappedReads = false;
    }
}

void CCodecSettings::SaveSettings() const {
    if (profilepath.empty())
        return;
    for (const SettingKey& row : SettingKeys())
        WriteKeyText(profilepath, row, row.Stored(*this));
}

bool CCodecSettings::StoreAccepted(const CCodecSettings& chosen) {
    for (const SettingKey& row : SettingKeys())
        if (row.number && !row.InRange(chosen.*row.number))
            return false;
    for (const SettingKey& row : SettingKeys())
        row.Copy(*this, chosen);
    SaveSettings();
    RebuildPieceNames();
    return true;
}

void CCodecSettings::RebuildPieceNames() {
    for (int i = 0; i < kestro::kPieceCount; ++i)
        piecenames[i] = kestro::FormatPieceName(dataFileName, i);
    datadrive = kestro::DriveOf(dataFileName);
    ULARGE_INTEGER total;
    if (GetDiskFreeSpaceExA(datadrive.empty() ? nullptr : (datadrive + "\\").c_str(), nullptr,
                            &total, nullptr))
        disktotal = total.QuadPart;
}

std::vector<std::string> CCodecSettings::StripeFiles() const {
    std::vector<std::string> files{dataFileName};
    for (const std::string* stripe : {&stripeFile1, &stripeFile2, &stripeFile3})
        if (!stripe->empty())
            files.push_back(*stripe);
    return files;
}

std::string CCodecSettings::PieceName(int i) const {
    if (i < 0 || i >= kestro::kPieceCount)
        return {};
    return piecenames[i];
}
