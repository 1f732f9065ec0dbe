#pragma once
#include <cstdint>

#include "pure/CpuFeatures.h"

namespace kestro {

bool HasCpuid();
// Runs one instruction of the extension; false when the system made it fault.
bool ProbeOsSupport(uint32_t bit);
// The processor's feature bits; fills `record` when given. 0 without CPUID.
uint32_t DetectCpu(CpuInfo* record);
// Runs an instruction that always faults under the same guard: true when the fault was caught
// and execution went on after it.
bool ProbeUndefinedInstruction();

} // namespace kestro
