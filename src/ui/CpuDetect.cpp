#include "ui/CpuDetect.h"

#include <windows.h>

// Each probe is a tiny routine whose guarded instructions lie between its start label and its
// "_end" label; a fault inside that range resumes at "_end", which restores what the routine
// saved and returns. mingw has no __try, and this works alike on i686 and x86_64.
#if defined(__x86_64__)
#define KESTRO_SAVE_BX "push %rbx\n"
#define KESTRO_RESTORE_BX "pop %rbx\n"
#else
#define KESTRO_SAVE_BX "push %ebx\n"
#define KESTRO_RESTORE_BX "pop %ebx\n"
#endif

// clang-format off
#define KESTRO_PROBE(name, body) ".globl " #name "\n" #name ":\n" body #name "_end:\n"

// One routine per probe: its guarded instructions, then "ret" after the "_end" label.
asm(".text\n"
    ".p2align 4\n"
    KESTRO_PROBE(kestro_probe_cpuid, KESTRO_SAVE_BX "xor %eax, %eax\n" "cpuid\n")
    KESTRO_RESTORE_BX
    "ret\n"
    ".p2align 4\n"
    KESTRO_PROBE(kestro_probe_mmx, "pxor %mm0, %mm0\n" "emms\n")
    "ret\n"
    ".p2align 4\n"
    KESTRO_PROBE(kestro_probe_sse, "xorps %xmm0, %xmm0\n")
    "ret\n"
    ".p2align 4\n"
    KESTRO_PROBE(kestro_probe_sse2, "xorpd %xmm0, %xmm0\n")
    "ret\n"
    ".p2align 4\n"
    KESTRO_PROBE(kestro_probe_3dnow, "pfrcp %mm0, %mm0\n" "emms\n")
    "ret\n"
    ".p2align 4\n"
    KESTRO_PROBE(kestro_probe_ud2, "ud2\n")
    "ret\n");
// clang-format on

extern "C" {
void ProbeCpuid() asm("kestro_probe_cpuid");
extern const char ProbeCpuidEnd[] asm("kestro_probe_cpuid_end");
void ProbeMmx() asm("kestro_probe_mmx");
extern const char ProbeMmxEnd[] asm("kestro_probe_mmx_end");
void ProbeSse() asm("kestro_probe_sse");
extern const char ProbeSseEnd[] asm("kestro_probe_sse_end");
void ProbeSse2() asm("kestro_probe_sse2");
extern const char ProbeSse2End[] asm("kestro_probe_sse2_end");
void Probe3dnow() asm("kestro_probe_3dnow");
extern const char Probe3dnowEnd[] asm("kestro_probe_3dnow_end");
void ProbeUd2() asm("kestro_probe_ud2");
extern const char ProbeUd2End[] asm("kestro_probe_ud2_end");
}

namespace kestro {

namespace {

// The probe that runs now; only faults of its thread inside its range are taken.
struct ActiveProbe {
    DWORD thread = 0;
    uintptr_t start = 0;
    uintptr_t end = 0;
    volatile bool faulted = false;
};

// A slim lock needs no set-up or clean-up, so loading the library takes nothing from the process.
SRWLOCK g_probeLock = SRWLOCK_INIT;
ActiveProbe g_probe;

LONG CALLBACK ProbeHandler(EXCEPTION_POINTERS* info) {
    if (g_probe.thread != GetCurrentThreadId())
        return EXCEPTION_CONTINUE_SEARCH;
    auto at = reinterpret_cast<uintptr_t>(info->ExceptionRecord->ExceptionAddress);
    if (at < g_probe.start || at >= g_probe.end)
        return EXCEPTION_CONTINUE_SEARCH;
    g_probe.faulted = true;
#if defined(__x86_64__)
    info->ContextRecord->Rip = g_probe.end;
#else
    info->ContextRecord->Eip = g_probe.end;
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

// True when the routine ran without a fault.
bool RunGuarded(void (*routine)(), const char* end) {
    AcquireSRWLockExclusive(&g_probeLock);
    g_probe.start = reinterpret_cast<uintptr_t>(routine);
    g_probe.end = reinterpret_cast<uintptr_t>(end);
    g_probe.faulted = false;
    g_probe.thread = GetCurrentThreadId();
    PVOID handler = AddVectoredExceptionHandler(1, ProbeHandler);
    bool ran = handler != nullptr;
    if (ran) {
        routine();
        RemoveVectoredExceptionHandler(handler);
    }
    g_probe.thread = 0;
    bool clean = ran && !g_probe.faulted;
    ReleaseSRWLockExclusive(&g_probeLock);
    return clean;
}

} // namespace

bool HasCpuid() {
    return RunGuarded(ProbeCpuid, ProbeCpuidEnd);
}

bool ProbeOsSupport(uint32_t bit) {
    switch (bit) {
    case FEATURE_MMX:
        return RunGuarded(ProbeMmx, ProbeMmxEnd);
    case FEATURE_SSE:
        return RunGuarded(ProbeSse, ProbeSseEnd);
    case FEATURE_SSE2:
        return RunGuarded(ProbeSse2, ProbeSse2End);
    case FEATURE_3DNOW:
        return RunGuarded(Probe3dnow, Probe3dnowEnd);
    default:
        return true;
    }
}

bool ProbeUndefinedInstruction() {
    return !RunGuarded(ProbeUd2, ProbeUd2End);
}

uint32_t DetectCpu(CpuInfo* record) {
    if (!HasCpuid())
        return 0;
    return BuildCpuInfo(ReadCpuidValues(), ProbeOsSupport, record);
}

} // namespace kestro
