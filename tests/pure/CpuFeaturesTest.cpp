// Processor identification from raw CPUID values: the name table over every family and model,
// the feature bits, and the record the compression page shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pure/CpuFeatures.h"
#include "pure/PixelRepack.h"

using namespace kestro;

namespace {

struct NameRow {
    const char* vendor;
    int family;              // -1: any
    std::vector<int> models; // empty: any
    const char* name;
};

// The name table, in its own order: the first row that matches names the processor.
const NameRow kTable[] = {
    {"AuthenticAMD", 4, {}, "Am486"},
    {"AuthenticAMD", 5, {0, 1, 2, 3}, "K5"},
    {"AuthenticAMD", 5, {6, 7}, "K6"},
    {"AuthenticAMD", 5, {8}, "K6-2"},
    {"AuthenticAMD", 5, {9, 10, 11, 12, 13, 14, 15}, "K6-3"},
    {"AuthenticAMD", 6, {}, "ATHLON"},
    {"GenuineIntel", 4, {0, 1}, "486DX"},
    {"GenuineIntel", 4, {2}, "486SX"},
    {"GenuineIntel", 4, {3}, "486DX2"},
    {"GenuineIntel", 4, {4}, "486SL"},
    {"GenuineIntel", 4, {5}, "486SX2"},
    {"GenuineIntel", 4, {7}, "486DX2E"},
    {"GenuineIntel", 4, {8}, "486DX4"},
    {"GenuineIntel", 5, {1, 2, 3}, "Pentium"},
    {"GenuineIntel", 5, {4}, "Pentium-MMX"},
    {"GenuineIntel", 6, {1}, "Pentium-Pro"},
    {"GenuineIntel", 6, {3, 5}, "Pentium-II"},
    {"GenuineIntel", 6, {6}, "Celeron"},
    {"GenuineIntel", 6, {7, 8, 10}, "Pentium-III"},
    {"GenuineIntel", 15, {0}, "Pentium-4"},
    {"CyrixInstead", -1, {}, "Cyrix"},
    {"CentaurHauls", -1, {}, "Centaur"},
};

std::string Expected(const std::string& vendor, int family, int model) {
    for (const NameRow& row : kTable) {
        if (vendor.compare(0, 12, row.vendor) != 0)
            continue;
        if (row.family >= 0 && row.family != family)
            continue;
        bool modelMatches = row.models.empty();
        for (int m : row.models)
            modelMatches |= m == model;
        if (modelMatches)
            return row.name;
    }
    return "Unknown";
}

CpuidValues WithVendor(const char* vendor) {
    CpuidValues values{};
    std::memcpy(&values.vendorEbx, vendor, 4);
    std::memcpy(&values.vendorEdx, vendor + 4, 4);
    std::memcpy(&values.vendorEcx, vendor + 8, 4);
    return values;
}

TEST(CpuNames, EveryFamilyAndModelOfEveryVendorFollowsTheTable) {
    const char* vendors[] = {"AuthenticAMD",  "GenuineIntel",  "CyrixInstead",
                             "CentaurHauls",  "HygonGenuine",  "GenuineIotel",
                             "AuthenticAMD!", "GenuineIntelX", ""};
    // Families as the signature decodes them: 0 to 15, then 15 + 16 x extended family; and one
    // that no signature decodes to.
    std::vector<int> families;
    for (int f = 0; f <= 15; ++f)
        families.push_back(f);
    for (int extended : {1, 2, 8, 255})
        families.push_back(15 + 16 * extended);
    families.push_back(24);
    for (const char* vendor : vendors)
        for (int family : families)
            for (int model = 0; model <= 15; ++model)
                ASSERT_EQ(CpuName(family, model, vendor), Expected(vendor, family, model))
                    << '"' << vendor << "\" family " << family << " model " << model;
    EXPECT_STREQ(CpuName(6, 8, nullptr), "Unknown");

    // The names the compression page shows, written out: the table above is read the same way
    // as the code reads its own, so a rule both get wrong shows only here.
    const NameRow shown[] = {
        {"AuthenticAMD", 4, {0, 7, 15}, "Am486"},
        {"AuthenticAMD", 5, {0, 1, 2, 3}, "K5"},
        {"AuthenticAMD", 5, {6, 7}, "K6"},
        {"AuthenticAMD", 5, {8}, "K6-2"},
        {"AuthenticAMD", 5, {9, 12, 15}, "K6-3"},
        {"AuthenticAMD", 5, {4, 5}, "Unknown"},
        {"AuthenticAMD", 6, {0, 8, 15}, "ATHLON"},
        {"AuthenticAMD", 15, {0}, "Unknown"},
        {"GenuineIntel", 4, {0, 1}, "486DX"},
        {"GenuineIntel", 4, {2}, "486SX"},
        {"GenuineIntel", 4, {3}, "486DX2"},
        {"GenuineIntel", 4, {4}, "486SL"},
        {"GenuineIntel", 4, {5}, "486SX2"},
        {"GenuineIntel", 4, {6}, "Unknown"},
        {"GenuineIntel", 4, {7}, "486DX2E"},
        {"GenuineIntel", 4, {8}, "486DX4"},
        {"GenuineIntel", 5, {1, 2, 3}, "Pentium"},
        {"GenuineIntel", 5, {4}, "Pentium-MMX"},
        {"GenuineIntel", 6, {1}, "Pentium-Pro"},
        {"GenuineIntel", 6, {3, 5}, "Pentium-II"},
        {"GenuineIntel", 6, {6}, "Celeron"},
        {"GenuineIntel", 6, {7, 8, 10}, "Pentium-III"},
        {"GenuineIntel", 6, {0, 2, 4, 9, 11, 15}, "Unknown"},
        {"GenuineIntel", 15, {0}, "Pentium-4"},
        {"GenuineIntel", 15, {1, 2}, "Unknown"},
        {"GenuineIntel", 31, {0}, "Unknown"},
        {"CyrixInstead", 3, {9}, "Cyrix"},
        {"CentaurHauls", 6, {9}, "Centaur"},
        {"HygonGenuine", 24, {0}, "Unknown"},
        {"GenuineIntelX", 6, {1}, "Pentium-Pro"}, // only 12 characters count
    };
    for (const NameRow& r : shown)
        for (int m : r.models)
            EXPECT_STREQ(CpuName(r.family, m, r.vendor), r.name)
                << r.vendor << " " << r.family << "/" << m;
}

TEST(CpuFeatureBits, EachFeatureComesFromItsOwnRegisterBit) {
    struct Bit {
        bool extended;
        uint32_t mask, feature;
    };
    const Bit bits[] = {{false, 0x00800000u, FEATURE_MMX},
                        {false, 0x02000000u, FEATURE_SSE},
                        {false, 0x04000000u, FEATURE_SSE2},
                        {true, 0x80000000u, FEATURE_3DNOW}};
    for (const Bit& bit : bits) {
        CpuidValues values{};
        (bit.extended ? values.extendedEdx : values.standardEdx) = bit.mask;
        EXPECT_EQ(FeaturesFromCpuid(values), bit.feature) << std::hex << bit.mask;
    }
    // Every other flag of both registers names no feature here; 3DNow! only in the extended one.
    CpuidValues others{};
    others.standardEdx = ~(0x00800000u | 0x02000000u | 0x04000000u);
    others.extendedEdx = ~0x80000000u;
    EXPECT_EQ(FeaturesFromCpuid(others), 0u);
    others.standardEdx = 0x80000000u;
    EXPECT_EQ(FeaturesFromCpuid(others), 0u);
}

TEST(CpuRecord, IsClearedAndOnlyClaimsSystemSupportForReportedBits) {
    CpuidValues values = WithVendor("GenuineIntel");
    values.signature = 0x00000F27; // family 15, model 2, stepping 7
    values.standardEdx = 0x00800000u | 0x02000000u;
    CpuInfo info;
    std::memset(&info, 0xA5, sizeof info);
    FillCpuRecord(values, FEATURE_MMX | FEATURE_SSE, kAllFeatures, &info);
    EXPECT_EQ(info.features, FEATURE_MMX | FEATURE_SSE);
    EXPECT_EQ(info.osFeatures, FEATURE_MMX | FEATURE_SSE) << "never more than the processor has";
    EXPECT_EQ(info.family, 15);
    EXPECT_EQ(info.model, 2);
    EXPECT_EQ(info.stepping, 7);
    EXPECT_EQ(info.reportedFeatures, 15u);
    EXPECT_STREQ(info.vendor, "GenuineIntel");
    EXPECT_STREQ(info.name, "Unknown");
    // The record was cleared first: nothing of the old bytes after the terminators.
    for (size_t i = std::strlen(info.name); i < sizeof info.name; ++i)
        ASSERT_EQ(info.name[i], 0) << "name byte " << i;
    EXPECT_EQ(info.vendor[12], 0);
}

TEST(CpuRecord, SignaturesOfTheKnownCornerCases) {
    struct Case {
        const char* vendor;
        uint32_t signature;
        int family, model;
        const char* name;
    };
    const Case cases[] = {
        {"GenuineIntel", 0x00000F20, 15, 2, "Unknown"}, // family 15, extended 0, model 2
        {"GenuineIntel", 0x00100F00, 31, 0, "Unknown"}, // extended family 1
        {"GenuineIntel", 0x000606F0, 6, 15, "Unknown"}, // model 15, extended model 6 unused
        {"GenuineIntel", 0x00100600, 6, 0, "Unknown"},  // extended family only with 15
        {"AuthenticAMD", 0x00000683, 6, 8, "ATHLON"},
        {"GenuineIntel", 0x00000F00, 15, 0, "Pentium-4"},
    };
    for (const Case& c : cases) {
        CpuidValues values = WithVendor(c.vendor);
        values.signature = c.signature;
        CpuInfo info{};
        BuildCpuInfo(
            values, [](uint32_t) { return true; }, &info);
        EXPECT_EQ(info.family, c.family) << std::hex << c.signature;
        EXPECT_EQ(info.model, c.model) << std::hex << c.signature;
        EXPECT_STREQ(info.name, c.name) << std::hex << c.signature;
    }
}

// What CPUID and XGETBV report, and the level it allows: a level needs its instructions and the
// state of its registers saved by the system (XCR0), and every level below it.
TEST(KernelLevelTest, LevelFollowsReportedInstructionsAndSavedState) {
    constexpr uint32_t kSse2 = 1u << 26, kSsse3 = 1u << 9, kOsxsave = 1u << 27, kAvx = 1u << 28;
    constexpr uint32_t kAvx2 = 1u << 5, kF = 1u << 16, kBw = 1u << 30, kVl = 1u << 31;
    constexpr uint32_t kVexEcx = kSsse3 | kOsxsave | kAvx;
    constexpr uint32_t kAvx512 = kAvx2 | kF | kBw | kVl;
    struct Row {
        const char* name;
        SimdSupport support;
        KernelLevel level;
    };
    const Row rows[] = {
        {"nothing", {0, 0, 0, 0}, KernelLevel::Scalar},
        {"SSE2", {0, kSse2, 0, 0}, KernelLevel::Sse2},
        {"SSSE3 without SSE2", {kSsse3, 0, 0, 0}, KernelLevel::Scalar},
        {"SSSE3", {kSsse3, kSse2, 0, 0}, KernelLevel::Ssse3},
        {"AVX2, YMM state saved", {kVexEcx, kSse2, kAvx2, 0x07}, KernelLevel::Avx2},
        {"AVX2, only SSE state saved", {kVexEcx, kSse2, kAvx2, 0x03}, KernelLevel::Ssse3},
        {"AVX2 without the AVX bit", {kSsse3 | kOsxsave, kSse2, kAvx2, 0x07}, KernelLevel::Ssse3},
        {"AVX2, XCR0 set but no OSXSAVE", {kSsse3 | kAvx, kSse2, kAvx2, 0x07}, KernelLevel::Ssse3},
        {"AVX-512, all state saved", {kVexEcx, kSse2, kAvx512, 0xE7}, KernelLevel::Avx512},
        {"AVX-512, upper XCR0 word set too",
         {kVexEcx, kSse2, kAvx512, 0x2000000E7ull},
         KernelLevel::Avx512},
        {"AVX-512, no opmask state", {kVexEcx, kSse2, kAvx512, 0xC7}, KernelLevel::Avx2},
        {"AVX-512, no ZMM_Hi256 state", {kVexEcx, kSse2, kAvx512, 0xA7}, KernelLevel::Avx2},
        {"AVX-512, no Hi16_ZMM state", {kVexEcx, kSse2, kAvx512, 0x67}, KernelLevel::Avx2},
        {"AVX-512, only YMM state", {kVexEcx, kSse2, kAvx512, 0x07}, KernelLevel::Avx2},
        {"AVX-512 state without the AVX state",
         {kVexEcx, kSse2, kAvx512, 0xE3},
         KernelLevel::Ssse3},
        {"AVX-512 F and BW, no VL", {kVexEcx, kSse2, kAvx2 | kF | kBw, 0xE7}, KernelLevel::Avx2},
        {"AVX-512 F and VL, no BW", {kVexEcx, kSse2, kAvx2 | kF | kVl, 0xE7}, KernelLevel::Avx2},
        {"AVX-512 BW and VL, no F", {kVexEcx, kSse2, kAvx2 | kBw | kVl, 0xE7}, KernelLevel::Avx2},
        {"AVX-512 without AVX2", {kVexEcx, kSse2, kF | kBw | kVl, 0xE7}, KernelLevel::Ssse3},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(int(LevelFor(row.support)), int(row.level)) << row.name;
    }
}

TEST(KernelLevelTest, RequestAboveTheCpuIsClamped) {
    const KernelLevel saved = CurrentKernelLevel();
    SetKernelLevel(KernelLevel::Avx512);
    EXPECT_EQ(CurrentKernelLevel(), BestKernelLevel());
    SetKernelLevel(KernelLevel::Scalar);
    EXPECT_EQ(CurrentKernelLevel(), KernelLevel::Scalar);
    SetKernelLevel(saved);
}

} // namespace
