#pragma once

#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace kestrel
{

// What this CPU offers vector code, as cpuid tells it and the system enables it.
struct CpuFeatures {
    std::string model; // the CPU's brand string ("AMD EPYC"); empty where there is none
    bool sse42 = false, avx = false, avx2 = false, fma = false, avx512f = false;
    // "sse4.2 avx avx2 fma avx512f": those the CPU has, in that order; "none of them"
    // when it has none (any CPU that is not x86-64).
    std::string vectorText() const;
};
const CpuFeatures& cpuFeatures(); // read once

// Clears the upper halves of the vector registers (vzeroupper). A thread inherits its
// creator's registers, and a library that leaves the upper halves in use (one that
// QGuiApplication loads does) makes every legacy SSE instruction after it slow on some
// Intel CPUs: ours, GSL's and SQLite's numeric code is all legacy SSE. So every worker
// thread calls this at its entry and before each job, and so does each numeric or bulk
// job that may run on a thread it did not start. Executes vzeroupper only where the
// CPU has AVX; a no-op on every other CPU and architecture.
void clearUpperVectorState();
// The same on a CPU whose AVX is as given: vzeroupper only when avx holds.
void clearUpperVectorState(bool avx);
// A thread that clears them first, then runs body: how every worker thread starts.
std::thread startWorker(std::function<void()> body);

// Whether the upper halves are in use on this thread now, as the CPU reports it
// (XGETBV with ECX = 1); nullopt where the CPU cannot tell.
std::optional<bool> upperVectorStateInUse();
// Leaves the upper halves in use, as such a library does, where the CPU has AVX; false
// (and nothing done) elsewhere. For the tests and the benchmarks.
bool leaveUpperVectorStateInUse();

} // namespace kestrel
