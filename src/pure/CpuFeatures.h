#pragma once
// Processor identification from raw CPUID values; no platform calls, so it is testable anywhere.
#include <cstdint>
#include <initializer_list>

namespace kestro {

constexpr uint32_t FEATURE_MMX = 1;
constexpr uint32_t FEATURE_SSE = 2;
constexpr uint32_t FEATURE_SSE2 = 4;
constexpr uint32_t FEATURE_3DNOW = 8;
constexpr uint32_t kAllFeatures = FEATURE_MMX | FEATURE_SSE | FEATURE_SSE2 | FEATURE_3DNOW;

struct CpuInfo {
    char vendor[13];
    char name[31];
    int32_t family;
    int32_t model;
    int32_t stepping;
    uint32_t features;
    uint32_t osFeatures;
    uint32_t reportedFeatures;
};

// What CPUID said: leaf 0's vendor registers, leaf 1's signature and flags, and leaf 0x80000001's
// flags (0 when the extended leaves are absent).
struct CpuidValues {
    uint32_t vendorEbx, vendorEdx, vendorEcx;
    uint32_t signature;
    uint32_t standardEdx;
    uint32_t extendedEdx;
};

// One CPUID answer; the instruction must exist (HasCpuid in the user interface).
struct CpuidRegisters {
    uint32_t eax, ebx, ecx, edx;
};
CpuidRegisters Cpuid(uint32_t leaf, uint32_t subleaf = 0);
// The highest leaf of the range that starts at `base` (0 or 0x80000000); 0 without CPUID.
uint32_t HighestCpuidLeaf(uint32_t base);
// The vendor, feature and extended feature leaves of this processor.
CpuidValues ReadCpuidValues();

struct Signature {
    int32_t family;
    int32_t model;
    int32_t stepping;
};

Signature DecodeSignature(uint32_t signature);

// The product name for a family, model and vendor, "Unknown" where the table has no row.
const char* CpuName(int32_t family, int32_t model, const char* vendor);

// The feature bits the processor reports, in the order they are probed.
uint32_t FeaturesFromCpuid(const CpuidValues& values);

// Fills `info` from the CPUID values; `osAllows(bit)` runs the probe of one reported bit.
template <typename Probe>
uint32_t BuildCpuInfo(const CpuidValues& values, Probe&& osAllows, CpuInfo* info);

void FillCpuRecord(const CpuidValues& values, uint32_t features, uint32_t osFeatures,
                   CpuInfo* info);

template <typename Probe>
uint32_t BuildCpuInfo(const CpuidValues& values, Probe&& osAllows, CpuInfo* info) {
    uint32_t features = 0, osFeatures = 0;
    const uint32_t reported = FeaturesFromCpuid(values);
    for (uint32_t bit : {FEATURE_MMX, FEATURE_3DNOW, FEATURE_SSE, FEATURE_SSE2}) {
        if (!(reported & bit))
            continue;
        features |= bit;
        if (osAllows(bit))
            osFeatures |= bit;
    }
    if (info)
        FillCpuRecord(values, features, osFeatures, info);
    return features;
}

} // namespace kestro
