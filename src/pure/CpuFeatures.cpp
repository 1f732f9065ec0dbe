#include "pure/CpuFeatures.h"

#include <cpuid.h>

#include <cstring>

namespace kestro {

CpuidRegisters Cpuid(uint32_t leaf, uint32_t subleaf) {
    unsigned a, b, c, d;
    __cpuid_count(leaf, subleaf, a, b, c, d);
    return {a, b, c, d};
}

uint32_t HighestCpuidLeaf(uint32_t base) {
    return __get_cpuid_max(base, nullptr);
}

CpuidValues ReadCpuidValues() {
    constexpr uint32_t kExtendedBase = 0x80000000u;
    CpuidValues values{};
    const CpuidRegisters vendor = Cpuid(0);
    values.vendorEbx = vendor.ebx;
    values.vendorEdx = vendor.edx;
    values.vendorEcx = vendor.ecx;
    const CpuidRegisters features = Cpuid(1);
    values.signature = features.eax;
    values.standardEdx = features.edx;
    if (Cpuid(kExtendedBase).eax >= kExtendedBase)
        values.extendedEdx = Cpuid(kExtendedBase + 1).edx;
    return values;
}

namespace {

struct NameRow {
    const char* vendor;
    int32_t family;              // -1: any
    int32_t modelLow, modelHigh; // -1: any
    const char* name;
};

constexpr NameRow kNames[] = {
    {"AuthenticAMD", 4, -1, -1, "Am486"},
    {"AuthenticAMD", 5, 0, 3, "K5"},
    {"AuthenticAMD", 5, 6, 7, "K6"},
    {"AuthenticAMD", 5, 8, 8, "K6-2"},
    {"AuthenticAMD", 5, 9, 15, "K6-3"},
    {"AuthenticAMD", 6, -1, -1, "ATHLON"},
    {"GenuineIntel", 4, 0, 1, "486DX"},
    {"GenuineIntel", 4, 2, 2, "486SX"},
    {"GenuineIntel", 4, 3, 3, "486DX2"},
    {"GenuineIntel", 4, 4, 4, "486SL"},
    {"GenuineIntel", 4, 5, 5, "486SX2"},
    {"GenuineIntel", 4, 7, 7, "486DX2E"},
    {"GenuineIntel", 4, 8, 8, "486DX4"},
    {"GenuineIntel", 5, 1, 3, "Pentium"},
    {"GenuineIntel", 5, 4, 4, "Pentium-MMX"},
    {"GenuineIntel", 6, 1, 1, "Pentium-Pro"},
    {"GenuineIntel", 6, 3, 3, "Pentium-II"},
    {"GenuineIntel", 6, 5, 5, "Pentium-II"},
    {"GenuineIntel", 6, 6, 6, "Celeron"},
    {"GenuineIntel", 6, 7, 8, "Pentium-III"},
    {"GenuineIntel", 6, 10, 10, "Pentium-III"},
    {"GenuineIntel", 15, 0, 0, "Pentium-4"},
    {"CyrixInstead", -1, -1, -1, "Cyrix"},
    {"CentaurHauls", -1, -1, -1, "Centaur"},
};

void PutRegister(char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = char((value >> (8 * i)) & 0xFF);
}

} // namespace

Signature DecodeSignature(uint32_t signature) {
    Signature s{};
    s.family = int32_t((signature >> 8) & 0xF);
    if (s.family == 15)
        s.family = 15 + 16 * int32_t((signature >> 20) & 0xFF);
    s.model = int32_t((signature >> 4) & 0xF);
    s.stepping = int32_t(signature & 0xF);
    return s;
}

const char* CpuName(int32_t family, int32_t model, const char* vendor) {
    if (!vendor)
        return "Unknown";
    for (const NameRow& row : kNames) {
        if (std::strncmp(vendor, row.vendor, 12) != 0)
            continue;
        if (row.family >= 0 && row.family != family)
            continue;
        if (row.modelLow >= 0 && (model < row.modelLow || model > row.modelHigh))
            continue;
        return row.name;
    }
    return "Unknown";
}

uint32_t FeaturesFromCpuid(const CpuidValues& v) {
    uint32_t bits = 0;
    if (v.standardEdx & 0x00800000u)
        bits |= FEATURE_MMX;
    if (v.extendedEdx & 0x80000000u)
        bits |= FEATURE_3DNOW;
    if (v.standardEdx & 0x02000000u)
        bits |= FEATURE_SSE;
    if (v.standardEdx & 0x04000000u)
        bits |= FEATURE_SSE2;
    return bits;
}

void FillCpuRecord(const CpuidValues& values, uint32_t features, uint32_t osFeatures,
                   CpuInfo* info) {
    std::memset(info, 0, sizeof *info);
    info->features = features;
    info->osFeatures = osFeatures & features;
    const Signature s = DecodeSignature(values.signature);
    info->family = s.family;
    info->model = s.model;
    info->stepping = s.stepping;
    PutRegister(info->vendor, values.vendorEbx);
    PutRegister(info->vendor + 4, values.vendorEdx);
    PutRegister(info->vendor + 8, values.vendorEcx);
    info->vendor[12] = 0;
    std::strncpy(info->name, CpuName(info->family, info->model, info->vendor),
                 sizeof info->name - 1);
    info->reportedFeatures = kAllFeatures;
}

} // namespace kestro
