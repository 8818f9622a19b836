#include "timing.h"

#include <algorithm>
#include <cmath>

namespace kestrel::bench
{

Summary summarize(std::vector<double> samples)
{
    if (samples.empty())
        return {};
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    const double median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    const auto rank = std::size_t(std::ceil(0.95 * double(n)));
    return {median, samples[std::max<std::size_t>(rank, 1) - 1]};
}

} // namespace kestrel::bench
