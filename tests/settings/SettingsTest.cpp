// The settings file as the loaded library reads and writes it, and the record's derived names.
#include <gtest/gtest.h>

#include <windows.h>

#include <iterator>
#include <string>

#include "WineCodec.h"
#include "settings/CodecSettings.h"

using namespace kt;

namespace {

std::string Key(const std::string& path, const char* key) {
    char value[300] = {};
    GetPrivateProfileStringA("general", key, "<absent>", value, sizeof value, path.c_str());
    return value;
}

// Loading and unloading the library is what reads and writes the file. Callers stop when it
// fails: the file then says nothing about the codec.
void LoadAndUnloadCodec() {
    ASSERT_FALSE(CodecLoaded());
    Hic hic = OpenKest();
    ASSERT_TRUE(hic);
    ASSERT_TRUE(CodecLoaded());
    hic.reset();
    ASSERT_FALSE(CodecLoaded()) << "the manager should unload the library with its last close";
}

TEST(SettingsFile, AbsentFileIsWrittenWithEveryDefaultAtUnload) {
    RemoveIni();
    ASSERT_NO_FATAL_FAILURE(LoadAndUnloadCodec());
    std::string text = ReadFileBytes(IniPath());
    const char* keys[] = {"filename",  "fastwrite", "divide",    "dividesize",
                          "buffer",    "request",   "fourcc",    "cpu",
                          "fastread",  "huffyuv",   "readahead", "quiet",
                          "overwrite", "stripe1",   "stripe2",   "stripe3"};
    const char* values[] = {"c:\\kestro", "1", "0", "2", "1", "3", "0", "0",
                            "1",          "0", "4", "0", "0", "",  "",  ""};
    size_t at = text.find("[general]");
    ASSERT_NE(at, std::string::npos) << text;
    for (size_t i = 0; i < std::size(keys); ++i) {
        EXPECT_EQ(Key(IniPath(), keys[i]), values[i]) << keys[i];
        size_t next = text.find(std::string(keys[i]) + "=", at);
        // A fixed order keeps files written by every version comparable line by line.
        EXPECT_NE(next, std::string::npos) << keys[i] << " is out of its place";
        at = next;
    }
}

// A record made in code (kestro-host's, the sheet's before a load) starts where a file without
// keys would put it.
TEST(SettingsFile, ANewRecordHoldsEveryKeysDefault) {
    const CCodecSettings fresh;
    for (const SettingKey& row : SettingKeys()) {
        if (row.flag)
            EXPECT_EQ(fresh.*row.flag, row.fallback != 0) << row.key;
        else if (row.number)
            EXPECT_EQ(fresh.*row.number, row.fallback) << row.key;
        else
            EXPECT_EQ(fresh.*row.text, row.fallbackText) << row.key;
    }
}

// What a command line may set (kestro-host --ini KEY=VALUE): each key takes what its row allows
// and nothing else, named as the profile functions take it, letter case aside.
TEST(SettingsRows, EachKeyTakesWhatItsRowAllows) {
    const struct {
        const char* key;
        std::string value;
        bool taken;
    } rows[] = {
        {"request", "20", true},
        {"request", "21", false},
        {"request", "0", false},
        {"request", "7x", false},
        {"request", "", false},
        {"request", " 7", false},
        {"dividesize", "100", true},
        {"dividesize", "-1", false},
        {"readahead", "16", true},
        {"readahead", "17", false},
        {"fourcc", "-123456", true},
        {"fourcc", "2147483648", false},
        {"fastwrite", "1", true},
        {"fastwrite", "0", true},
        {"fastwrite", "2", false},
        {"fastwrite", "yes", false},
        {"filename", "", true},
        {"filename", std::string(260, 'x'), true},
        {"filename", std::string(261, 'x'), false},
        {"FastRead", "0", true},
    };
    for (const auto& row : rows) {
        const SettingKey* key = FindSettingKey(row.key);
        ASSERT_NE(key, nullptr) << row.key;
        EXPECT_EQ(key->Refusal(row.value).empty(), row.taken) << row.key << "=" << row.value;
    }
    EXPECT_EQ(FindSettingKey("requests"), nullptr);
    EXPECT_EQ(FindSettingKey(""), nullptr);

    // The longest name taken is the longest the codec reads back whole.
    std::string dir = DataDir("settings-longest");
    const std::string ini = dir + "\\kestdisk.ini";
    const SettingKey& name = SettingKeyOf(&CCodecSettings::dataFileName);
    for (size_t length : {260u, 261u}) {
        const std::string written(length, 'x');
        ASSERT_TRUE(WriteKeyText(ini, name, written));
        CCodecSettings s;
        s.LoadSettings(dir + "\\kestro32.dll");
        EXPECT_EQ(s.dataFileName == written, name.Refusal(written).empty()) << length;
    }
    DeleteFileA(ini.c_str());
}

TEST(SettingsFile, ValuesAreTakenAsReadAndBooleansSavedAsZeroOrOne) {
    WriteIni({{"filename", "T:\\capture\\take"},
              {"fastwrite", "5"},
              {"divide", "-7"},
              {"dividesize", "-1"},
              {"buffer", "0"},
              {"request", "0"},
              {"fourcc", "-123456"},
              {"cpu", "2"},
              {"fastread", "0"},
              {"huffyuv", "9"}});
    ASSERT_NO_FATAL_FAILURE(LoadAndUnloadCodec());
    std::string path = IniPath();
    EXPECT_EQ(Key(path, "filename"), "T:\\capture\\take");
    EXPECT_EQ(Key(path, "fastwrite"), "1");
    EXPECT_EQ(Key(path, "divide"), "1");
    EXPECT_EQ(Key(path, "dividesize"), "-1");
    EXPECT_EQ(Key(path, "buffer"), "0");
    EXPECT_EQ(Key(path, "request"), "0");
    EXPECT_EQ(Key(path, "fourcc"), "-123456");
    EXPECT_EQ(Key(path, "cpu"), "1");
    EXPECT_EQ(Key(path, "fastread"), "0");
    EXPECT_EQ(Key(path, "huffyuv"), "1");
}

TEST(SettingsFile, MissingKeysTakeTheirDefaults) {
    WriteIni({{"request", "7"}});
    ASSERT_NO_FATAL_FAILURE(LoadAndUnloadCodec());
    EXPECT_EQ(Key(IniPath(), "request"), "7");
    EXPECT_EQ(Key(IniPath(), "dividesize"), "2");
    EXPECT_EQ(Key(IniPath(), "filename"), "c:\\kestro");
    RemoveIni();
}

TEST(SettingsRecord, ProfileBesideTheModuleAndPieceNames) {
    std::string dir = DataDir("settings-record");
    CCodecSettings s;
    DeleteFileA((dir + "\\kestdisk.ini").c_str());
    s.LoadSettings(dir + "\\kestro32.dll");
    EXPECT_EQ(s.profilepath, dir + "\\\\kestdisk.ini");
    EXPECT_EQ(s.dataFileName, "c:\\kestro");
    EXPECT_EQ(s.PieceName(0), "c:\\kestro.000");
    EXPECT_EQ(s.PieceName(7), "c:\\kestro.007");
    EXPECT_EQ(s.PieceName(499), "c:\\kestro.499");
    EXPECT_EQ(s.PieceName(500), "");
    EXPECT_EQ(s.PieceName(-1), "");
    EXPECT_EQ(s.datadrive, "c:");
    EXPECT_GT(s.disktotal, 0u);
    EXPECT_TRUE(s.overlappedWrites);
    EXPECT_TRUE(s.copyBeforeWrite);
    EXPECT_TRUE(s.overlappedReads);
    EXPECT_EQ(s.writeRequests, 3);
    EXPECT_EQ(s.pieceGiB, 2);
    EXPECT_EQ(s.chainedFourcc, 0);

    s.SetFilename("relative\\name");
    s.RebuildPieceNames();
    EXPECT_EQ(s.datadrive, "");
    EXPECT_EQ(s.PieceName(12), "relative\\name.012");
    s.SetFilename("\\\\server\\share\\x");
    s.RebuildPieceNames();
    EXPECT_EQ(s.datadrive, "");
}

TEST(SettingsRecord, OldSystemsTurnTheFastModesOffAndSaveZero) {
    std::string dir = DataDir("settings-platform");
    std::string ini = dir + "\\kestdisk.ini";
    WriteFileBytes(ini, "[general]\r\nfastwrite=1\r\nfastread=1\r\n");
    CCodecSettings s;
    s.LoadSettings(dir + "\\kestro32.dll");
    EXPECT_TRUE(s.fastioallowed) << "this platform reports an NT-family system";
    s.ApplyPlatform(false);
    EXPECT_FALSE(s.overlappedWrites);
    EXPECT_FALSE(s.overlappedReads);
    EXPECT_EQ(Key(s.profilepath, "fastwrite"), "1") << "the file keeps its values until a save";
    s.SaveSettings();
    EXPECT_EQ(Key(s.profilepath, "fastwrite"), "0");
    EXPECT_EQ(Key(s.profilepath, "fastread"), "0");
}

// The read-ahead depth is the one key whose value is checked: each step costs a whole picture of
// memory, so a value nobody could have chosen falls back to the default, and is saved as such.
TEST(SettingsRecord, ReadAheadOutsideOneToSixteenTakesTheDefault) {
    std::string dir = DataDir("settings-readahead");
    std::string ini = dir + "\\kestdisk.ini";
    const struct {
        const char* text; // null: no such key
        int32_t read;
    } rows[] = {{nullptr, 4}, {"1", 1},  {"16", 16},  {"7", 7},           {"0", 4},
                {"17", 4},    {"-3", 4}, {"many", 4}, {"99999999999", 4}, {"", 4}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text ? row.text : "absent");
        std::string text = "[general]\r\nrequest=5\r\n";
        if (row.text)
            text += std::string("readahead=") + row.text + "\r\n";
        WriteFileBytes(ini, text);
        CCodecSettings s;
        s.LoadSettings(dir + "\\kestro32.dll");
        EXPECT_EQ(s.readAheadDepth, row.read);
        EXPECT_EQ(s.writeRequests, 5) << "the keys before it still read";
        s.SaveSettings();
        EXPECT_EQ(Key(s.profilepath, "readahead"), std::to_string(row.read));
    }
    DeleteFileA(ini.c_str());
}

TEST(SettingsRecord, RunsUseAtLeastOneRequestAndOneGibibyte) {
    CCodecSettings s;
    s.writeRequests = 0;
    s.pieceGiB = -1;
    EXPECT_EQ(s.EffectiveRequestCount(), 1u);
    EXPECT_EQ(s.EffectivePieceBytes(), 1ull << 30);
    s.writeRequests = 20;
    s.pieceGiB = 8;
    EXPECT_EQ(s.EffectiveRequestCount(), 20u);
    EXPECT_EQ(s.EffectivePieceBytes(), 8ull << 30);
}

} // namespace
