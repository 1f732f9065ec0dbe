#pragma once
// Capture runs driven through the platform's codec manager, with the data file read back.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "WineCodec.h"

namespace kt {

constexpr DWORD kKtst = kTestCodecFourcc;
constexpr uint32_t kPage = 4096;

std::string FourccSetting(DWORD code); // signed decimal, as the settings file holds it

// Picture bytes that differ per frame and per position.
std::vector<uint8_t> FramePattern(size_t bytes, int frame);
// What the test codec stores for an input: its byte count, then the bytes up to the last non-zero.
std::vector<uint8_t> TestCodecForm(const std::vector<uint8_t>& input);

std::vector<uint8_t> ReadAt(const std::string& path, uint64_t offset, size_t bytes);
uint64_t FileSizeOf(const std::string& path); // UINT64_MAX when absent
bool Exists(const std::string& path);

struct Record {
    uint64_t offset = 0;
    uint32_t size = 0;
    uint32_t take = 0;
    std::string name;
};

struct FrameResult {
    LRESULT result = ICERR_OK;
    Record record;
    DWORD ckid = 0;
    DWORD flags = 0;
    DWORD outputSize = 0; // biSizeImage of the output format afterwards
};

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the settings (filename points into this test's folder unless given) and opens KEST.
    void Open(std::map<std::string, std::string> settings);
    std::string Piece(int index) const;
    // Stripe `k` (1 to 3) of the take into a folder of its own in this test's folder: its data
    // file, set as "stripe<k>" in `settings`, removed with the test.
    std::string AddStripe(std::map<std::string, std::string>& settings, int k);
    LRESULT Begin(const Format& in);
    FrameResult Compress(const Format& in, const void* bits, LONG frameNum = 0);
    LRESULT End();

    std::string dir;
    std::string base;
    uint32_t runTake = 0; // the take the records of the run so far carry; 0 before the first
    Hic hic;
    Format out;
    std::vector<std::string> extraCleanup;
};

} // namespace kt
