#include "common/CpuBackend.h"

#if defined(__arm__)
#include <sys/auxv.h>
#endif

namespace Quorvex {

namespace {

#if defined(__arm__)
#if defined(HWCAP_ARM_NEON)
constexpr unsigned long kHwcapNeon = HWCAP_ARM_NEON;
#else
constexpr unsigned long kHwcapNeon = 1ul << 12; // the kernel's HWCAP_NEON
#endif
#endif

} // namespace

const char* to_str(CpuBackend backend)
{
    switch (backend) {
    case CpuBackend::SCALAR:
        return "scalar";
    case CpuBackend::AVX2:
        return "avx2";
    case CpuBackend::NEON:
        return "neon";
    }
    return "unknown";
}

bool cpuHasAvx2()
{
#if defined(__x86_64__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

bool cpuHasFma()
{
#if defined(__x86_64__)
    return __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

bool cpuHasAvx512()
{
#if defined(__x86_64__)
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#else
    return false;
#endif
}

bool cpuHasNeon()
{
#if defined(__aarch64__)
    return true;
#elif defined(__arm__)
    return (getauxval(AT_HWCAP) & kHwcapNeon) != 0;
#else
    return false;
#endif
}

CpuBackend fastestBackend(bool (*runs)(CpuBackend))
{
    for (CpuBackend b : {CpuBackend::AVX2, CpuBackend::NEON}) {
        if (runs(b))
            return b;
    }
    return CpuBackend::SCALAR;
}

std::vector<CpuBackend> usableBackends(bool (*runs)(CpuBackend))
{
    std::vector<CpuBackend> list{CpuBackend::SCALAR};
    const CpuBackend fastest = fastestBackend(runs);
    if (fastest != CpuBackend::SCALAR)
        list.push_back(fastest);
    return list;
}

} // namespace Quorvex
