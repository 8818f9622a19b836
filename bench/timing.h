#pragma once

#include <QtGlobal>

#include <chrono>
#include <vector>

namespace kestrel::bench
{

struct Summary {
    double median = 0;
    double p95 = 0; // nearest rank
    double p99 = 0; // nearest rank
    double max = 0;
    std::size_t count = 0;
};

Summary summarize(std::vector<double> samples);

using Clock = std::chrono::steady_clock;

// Nanoseconds on the steady clock: one time line for every record of a run.
inline qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Milliseconds from then to now.
inline double msSince(Clock::time_point then)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - then).count();
}

} // namespace kestrel::bench
