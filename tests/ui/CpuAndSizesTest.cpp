// Processor identification and reservation arithmetic: the pure parts, and the real probes.
#include <gtest/gtest.h>

#include <cpuid.h>

#include <string>
#include <vector>

#include "ui/CpuDetect.h"
#include "pure/CpuFeatures.h"
#include "pure/ReserveMath.h"

using namespace kestro;

namespace {

uint32_t Sig(uint32_t extFamily, uint32_t extModel, uint32_t family, uint32_t model,
             uint32_t stepping) {
    return extFamily << 20 | extModel << 16 | family << 8 | model << 4 | stepping;
}

CpuidValues Vendor(const char* v) {
    CpuidValues values{};
    memcpy(&values.vendorEbx, v, 4);
    memcpy(&values.vendorEdx, v + 4, 4);
    memcpy(&values.vendorEcx, v + 8, 4);
    return values;
}

} // namespace

TEST(CpuSignature, FamilyModelStepping) {
    Signature s = DecodeSignature(Sig(0, 0, 15, 2, 7));
    EXPECT_EQ(s.family, 15);
    EXPECT_EQ(s.model, 2);
    EXPECT_EQ(s.stepping, 7);
    EXPECT_EQ(DecodeSignature(Sig(1, 0, 15, 0, 0)).family, 31);
    EXPECT_EQ(DecodeSignature(Sig(1, 0, 6, 0, 0)).family, 6) << "extended family only with 15";
    s = DecodeSignature(Sig(0, 6, 6, 15, 1));
    EXPECT_EQ(s.model, 15) << "the extended model is not used";

    CpuidValues values = Vendor("GenuineIntel");
    values.signature = Sig(0, 0, 15, 2, 0);
    CpuInfo info;
    memset(&info, 0x5A, sizeof info);
    BuildCpuInfo(
        values, [](uint32_t) { return true; }, &info);
    EXPECT_STREQ(info.vendor, "GenuineIntel");
    EXPECT_STREQ(info.name, "Unknown");
    EXPECT_EQ(info.family, 15);
    EXPECT_EQ(info.reportedFeatures, 15u);
    EXPECT_EQ(info.features, 0u);
}

TEST(CpuFeatureBits, ProbedInOrderAndOnlyWhenReported) {
    CpuidValues values = Vendor("AuthenticAMD");
    values.signature = Sig(0, 0, 6, 4, 2);
    values.standardEdx = 0x00800000u | 0x02000000u | 0x04000000u;
    values.extendedEdx = 0x80000000u;
    std::vector<uint32_t> probed;
    CpuInfo info{};
    // A system that has not enabled the SSE register state.
    uint32_t features = BuildCpuInfo(
        values,
        [&](uint32_t bit) {
            probed.push_back(bit);
            return bit == FEATURE_MMX || bit == FEATURE_3DNOW;
        },
        &info);
    EXPECT_EQ(features, 15u);
    EXPECT_EQ(probed,
              (std::vector<uint32_t>{FEATURE_MMX, FEATURE_3DNOW, FEATURE_SSE, FEATURE_SSE2}));
    EXPECT_EQ(info.features, 15u);
    EXPECT_EQ(info.osFeatures, FEATURE_MMX | FEATURE_3DNOW);
    EXPECT_STREQ(info.name, "ATHLON");

    values.standardEdx = 0x00800000u; // MMX only
    values.extendedEdx = 0;
    probed.clear();
    EXPECT_EQ(BuildCpuInfo(
                  values,
                  [&](uint32_t bit) {
                      probed.push_back(bit);
                      return true;
                  },
                  nullptr),
              FEATURE_MMX);
    EXPECT_EQ(probed, std::vector<uint32_t>{FEATURE_MMX});
}

TEST(CpuProbes, RealProcessorAndFaultGuard) {
    ASSERT_TRUE(HasCpuid());
    unsigned a, b, c, d;
    __cpuid(1, a, b, c, d);
    const uint32_t signature = a, edx = d;
    CpuInfo info{};
    uint32_t features = DetectCpu(&info);
    EXPECT_EQ(features, info.features);
    EXPECT_NE(features & FEATURE_SSE2, 0u) << "every x86-64 processor has SSE2";
    EXPECT_EQ(info.osFeatures & (FEATURE_MMX | FEATURE_SSE | FEATURE_SSE2),
              FEATURE_MMX | FEATURE_SSE | FEATURE_SSE2)
        << "the system here saves the SSE state";
    EXPECT_EQ(info.family, DecodeSignature(signature).family);
    EXPECT_EQ(bool(features & FEATURE_SSE), bool(edx & 0x02000000u));
    EXPECT_STREQ(info.name, CpuName(info.family, info.model, info.vendor));
    EXPECT_EQ(DetectCpu(nullptr), features);
    EXPECT_TRUE(ProbeOsSupport(0x100)) << "an unknown bit runs nothing";

    // A faulting instruction is caught, reported, and execution goes on; again and again.
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(ProbeUndefinedInstruction());
    EXPECT_TRUE(ProbeOsSupport(FEATURE_SSE2));
}

TEST(ReserveSizes, ComputedFromRateMinutesAndFrame) {
    EXPECT_EQ(ReserveBytes(1, 24.0, 614400), 884736000u);
    EXPECT_EQ(MegabyteFigure(884736000u), 843);
    EXPECT_EQ(ReserveBytes(1, 29.97, 614400), 1104691200u); // 1798 frames
    EXPECT_EQ(MegabyteFigure(1104691200u), 1053);
    EXPECT_EQ(ReserveBytes(1, 1.0, 76800), 4608000u);
    EXPECT_EQ(MegabyteFigure(4608000u), 4);
    EXPECT_EQ(ReserveBytes(600, 30.0, 1036800), 1080000ull * 1036800);
    EXPECT_EQ(ReserveBytes(-3, 24.0, 614400), 0u);
    EXPECT_EQ(MegabyteFigure(uint64_t(5) << 40), 5 << 20);
}

TEST(ReserveSizes, PiecesAndWrites) {
    const uint64_t gib = 1ull << 30, unit = 8192000;
    EXPECT_EQ(PieceSizes(884736000, false, 1, 500), std::vector<uint64_t>{884736000});
    WritePlan plan = PlanWrites(884736000, unit);
    EXPECT_EQ(plan.fullWrites, 108u);
    EXPECT_EQ(plan.tailBytes, 0u);
    EXPECT_EQ(plan.Count(), 108u);

    auto pieces = PieceSizes(1104691200, true, 1, 500);
    ASSERT_EQ(pieces, (std::vector<uint64_t>{gib, 30949376}));
    plan = PlanWrites(gib, unit);
    EXPECT_EQ(plan.fullWrites, 131u);
    EXPECT_EQ(plan.tailBytes, 589824u);
    plan = PlanWrites(30949376, unit);
    EXPECT_EQ(plan.fullWrites, 3u);
    EXPECT_EQ(plan.tailBytes, 6373376u);

    EXPECT_EQ(PieceSizes(4 * gib, true, 2, 500), (std::vector<uint64_t>{2 * gib, 2 * gib}));
    EXPECT_TRUE(PieceSizes(0, true, 2, 500).empty());
    EXPECT_EQ(PieceSizes(3 * gib, true, 0, 500).size(), 3u) << "a piece size below 1 counts as 1";
    // Never more pieces than there are names.
    auto many = PieceSizes(600 * gib + 5, true, 1, 500);
    EXPECT_EQ(many.size(), 500u);
    EXPECT_EQ(many.back(), gib);
}
