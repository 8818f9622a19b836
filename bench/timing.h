#pragma once

#include <vector>

namespace kestrel::bench
{

struct Summary {
    double median = 0;
    double p95 = 0; // nearest rank
};

Summary summarize(std::vector<double> samples);

} // namespace kestrel::bench
