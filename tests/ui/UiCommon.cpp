#include "UiCommon.h"

#include <gtest/gtest.h>

#include <vector>

#include "UiDriver.h"

#include "edge/Module.h"

namespace ui {

namespace {

// The dialogs' tests read the Japanese texts, whatever the language of the machine: the test
// thread takes the resources of a Japanese user (the tests of other languages set their own).
class JapaneseUi : public ::testing::Environment {
public:
    void SetUp() override { UseUiLanguage(kJapanese); }
};
[[maybe_unused]] ::testing::Environment* const g_japaneseUi =
    ::testing::AddGlobalTestEnvironment(new JapaneseUi);

} // namespace

HMODULE CodecResources() {
    static HMODULE module = LoadLibraryExA((kt::SystemDir() + "\\kestro32.dll").c_str(), nullptr,
                                           LOAD_LIBRARY_AS_DATAFILE);
    return module;
}

void UseCodecResources() {
    kestro::SetModuleHandle(CodecResources());
}

bool WaitCodecUnloaded() {
    for (int i = 0; i < 500 && kt::CodecLoaded(); ++i)
        Sleep(20);
    return !kt::CodecLoaded();
}

std::string IniValue(const char* key) {
    char text[600] = {};
    GetPrivateProfileStringA("general", key, "<absent>", text, sizeof text, kt::IniPath().c_str());
    return text;
}

bool AllZero(const std::string& path, uint64_t offset, uint64_t length) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(offset);
    SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    std::vector<uint64_t> buffer(1 << 20);
    bool zero = true;
    while (length && zero) {
        DWORD want = DWORD(std::min<uint64_t>(length, buffer.size() * 8)), got = 0;
        if (!ReadFile(file, buffer.data(), want, &got, nullptr) || got != want) {
            zero = false;
            break;
        }
        uint64_t any = 0;
        for (DWORD i = 0; i < got / 8; ++i)
            any |= buffer[i];
        const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
        for (DWORD i = got / 8 * 8; i < got; ++i)
            any |= bytes[i];
        zero = any == 0;
        length -= got;
    }
    CloseHandle(file);
    return zero;
}

uint64_t FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return UINT64_MAX;
    return (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace ui
