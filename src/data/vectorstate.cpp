#include "data/vectorstate.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <cstring>
#endif

#if defined(__x86_64__)
// Plain assembly: the compiler ends every function of its own that touches the upper
// halves with vzeroupper, and this one must leave them in use.
__asm__(".pushsection .text\n"
        ".globl kestrelLeaveUpperInUse\n"
        ".hidden kestrelLeaveUpperInUse\n"
        ".type kestrelLeaveUpperInUse, @function\n"
        "kestrelLeaveUpperInUse:\n"
        "    vpcmpeqd %ymm1, %ymm1, %ymm1\n"
        "    ret\n"
        ".size kestrelLeaveUpperInUse, . - kestrelLeaveUpperInUse\n"
        ".popsection\n");
extern "C" void kestrelLeaveUpperInUse();
#endif

namespace kestrel
{

#if defined(__x86_64__)

namespace
{

// Only ever called on a CPU with AVX. Kept out of line so no AVX instruction of it can
// be inlined into code that runs on any CPU.
__attribute__((target("avx"), noinline)) void zeroUpper()
{
    __asm__ volatile("vzeroupper" ::: "memory");
}

std::string brandString()
{
    unsigned int a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0x80000000u, nullptr) < 0x80000004u)
        return std::string();
    char text[49] = {};
    for (unsigned int leaf = 0; leaf < 3; ++leaf) {
        __cpuid(0x80000002u + leaf, a, b, c, d);
        const unsigned int words[] = {a, b, c, d};
        std::memcpy(text + 16 * leaf, words, sizeof words);
    }
    std::string model(text);
    const auto first = model.find_first_not_of(' ');
    const auto last = model.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : model.substr(first, last - first + 1);
}

// XGETBV with ECX = 1 reports which state components are in use
// (CPUID.(EAX=0DH,ECX=1):EAX bit 2 says whether the CPU has it).
bool hasXinuse()
{
    unsigned int a = 0, b = 0, c = 0, d = 0;
    return cpuFeatures().avx && __get_cpuid_count(0x0d, 1, &a, &b, &c, &d) && (a & 4u) != 0;
}

} // namespace

const CpuFeatures& cpuFeatures()
{
    static const CpuFeatures features = [] {
        __builtin_cpu_init();
        CpuFeatures f;
        f.model = brandString();
        // These also ask whether the system saves the registers (XCR0), so a CPU with
        // AVX under a system without it counts as without.
        f.sse42 = __builtin_cpu_supports("sse4.2");
        f.avx = __builtin_cpu_supports("avx");
        f.avx2 = __builtin_cpu_supports("avx2");
        f.fma = __builtin_cpu_supports("fma");
        f.avx512f = __builtin_cpu_supports("avx512f");
        return f;
    }();
    return features;
}

void clearUpperVectorState(bool avx)
{
    if (avx)
        zeroUpper();
}

std::optional<bool> upperVectorStateInUse()
{
    static const bool known = hasXinuse();
    if (!known)
        return std::nullopt;
    unsigned int low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(1u));
    return (low & 4u) != 0; // bit 2: the upper halves of the YMM registers
}

bool leaveUpperVectorStateInUse()
{
    if (!cpuFeatures().avx)
        return false;
    kestrelLeaveUpperInUse();
    return true;
}

#else

const CpuFeatures& cpuFeatures()
{
    static const CpuFeatures none;
    return none;
}

void clearUpperVectorState(bool) {}

std::optional<bool> upperVectorStateInUse()
{
    return std::nullopt;
}

bool leaveUpperVectorStateInUse()
{
    return false;
}

#endif

void clearUpperVectorState()
{
    clearUpperVectorState(cpuFeatures().avx);
}

std::thread startWorker(std::function<void()> body)
{
    return std::thread([body = std::move(body)] {
        clearUpperVectorState(); // as the creating thread left them
        body();
    });
}

std::string CpuFeatures::vectorText() const
{
    std::string text;
    for (const auto& [has, name] :
         {std::pair{sse42, "sse4.2"}, std::pair{avx, "avx"}, std::pair{avx2, "avx2"},
          std::pair{fma, "fma"}, std::pair{avx512f, "avx512f"}})
        if (has)
            text += (text.empty() ? "" : " ") + std::string(name);
    return text.empty() ? std::string("none of them") : text;
}

} // namespace kestrel
