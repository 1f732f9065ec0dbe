#include "CaptureFixture.h"

#include <cstdio>
#include <cstring>

namespace kt {

std::string FourccSetting(DWORD code) {
    return std::to_string(int32_t(code));
}

std::vector<uint8_t> FramePattern(size_t bytes, int frame) {
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i)
        data[i] = uint8_t(i * 7 + frame * 13 + (i >> 12) + 1);
    return data;
}

std::vector<uint8_t> TestCodecForm(const std::vector<uint8_t>& input) {
    size_t used = input.size();
    while (used > 0 && input[used - 1] == 0)
        --used;
    std::vector<uint8_t> form(4 + used);
    uint32_t n = uint32_t(input.size());
    std::memcpy(form.data(), &n, 4);
    std::memcpy(form.data() + 4, input.data(), used);
    return form;
}

std::vector<uint8_t> ReadAt(const std::string& path, uint64_t offset, size_t bytes) {
    std::vector<uint8_t> data;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return data;
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(offset);
    data.resize(bytes);
    DWORD got = 0;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
        !ReadFile(file, data.data(), DWORD(bytes), &got, nullptr))
        got = 0;
    data.resize(got);
    CloseHandle(file);
    return data;
}

uint64_t FileSizeOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info))
        return UINT64_MAX;
    return (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void CaptureTest::SetUp() {
    ASSERT_FALSE(CodecLoaded()) << "another test left a codec handle open";
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& ch : name)
        if (ch == '/')
            ch = '_';
    dir = DataDir(name);
    base = dir + "\\data";
}

void CaptureTest::TearDown() {
    hic.reset();
    for (int i = 0; i < 500; ++i) {
        std::string piece = Piece(i);
        if (!DeleteFileA(piece.c_str()))
            RemoveDirectoryA(piece.c_str());
    }
    for (const char* beside : {".take", ".journal"}) {
        const std::string path = base + beside;
        if (!DeleteFileA(path.c_str()))
            RemoveDirectoryA(path.c_str());
    }
    for (const auto& path : extraCleanup)
        if (!DeleteFileA(path.c_str()))
            RemoveDirectoryA(path.c_str());
    RemoveDirectoryA(dir.c_str());
    RemoveIni();
}

void CaptureTest::Open(std::map<std::string, std::string> settings) {
    if (!settings.count("filename"))
        settings["filename"] = base;
    else
        base = settings["filename"];
    WriteIni(settings);
    hic = OpenKest();
    ASSERT_TRUE(hic);
}

std::string CaptureTest::Piece(int index) const {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ".%03d", index);
    return base + suffix;
}

std::string CaptureTest::AddStripe(std::map<std::string, std::string>& settings, int k) {
    const std::string folder = dir + "\\stripe" + std::to_string(k);
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string file = folder + "\\data";
    for (const char* beside : {".000", ".001", ".take", ".journal", "-2.000", "-2.take"})
        extraCleanup.push_back(file + beside);
    extraCleanup.push_back(folder);
    settings["stripe" + std::to_string(k)] = file;
    return file;
}

LRESULT CaptureTest::Begin(const Format& in) {
    runTake = 0;
    out = StreamFormatFor(hic.get(), in);
    if (out.bytes.empty())
        return ICERR_BADFORMAT;
    return ICCompressBegin(hic.get(), in.header(), out.header());
}

FrameResult CaptureTest::Compress(const Format& in, const void* bits, LONG frameNum) {
    FrameResult r;
    std::vector<uint8_t> record(600, 0xCD);
    Format input = in; // the codec must not depend on the host keeping its format
    r.result = LONG(ICCompress(hic.get(), 0, out.header(), record.data(), input.header(),
                               const_cast<void*>(bits), &r.ckid, &r.flags, frameNum, 0, 0, nullptr,
                               nullptr));
    r.outputSize = out.header()->biSizeImage;
    if (r.result == ICERR_OK) {
        std::memcpy(&r.record.offset, record.data(), 8);
        std::memcpy(&r.record.size, record.data() + 8, 4);
        std::memcpy(&r.record.take, record.data() + 12, 4);
        r.record.name = reinterpret_cast<const char*>(record.data() + 16);
        EXPECT_NE(r.record.take, 0u) << "every record carries its take";
        if (runTake == 0)
            runTake = r.record.take;
        EXPECT_EQ(r.record.take, runTake) << "one take for every record of a run";
        EXPECT_EQ(r.outputSize, 17 + r.record.name.size());
        EXPECT_EQ(record[17 + r.record.name.size()], 0xCD) << "nothing past the record";
    }
    return r;
}

LRESULT CaptureTest::End() {
    runTake = 0;
    return ICCompressEnd(hic.get());
}

} // namespace kt
