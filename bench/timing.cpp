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
    const auto rank = [&](double fraction) {
        const auto r = std::size_t(std::ceil(fraction * double(n)));
        return samples[std::max<std::size_t>(r, 1) - 1];
    };
    return {median, rank(0.95), rank(0.99), samples.back(), n};
}

} // namespace kestrel::bench
