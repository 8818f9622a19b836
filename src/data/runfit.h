#pragma once

#include "data/fitvocabulary.h"

#include <QDateTime>

#include <optional>
#include <vector>

namespace kestrel
{

// A fit kept with its run: the model and the conditions it was fitted under, and what
// it found. Only fits that gave a result are kept.
struct RunFit {
    analysis::Model model = analysis::Model::Linear;
    std::optional<double> fromVolts; // the window; none: from the run's lowest level
    std::optional<double> toVolts;   // none: to its highest
    double temperatureC = 25.0;
    bool shunt = false;
    std::vector<analysis::Quantity> quantities;
    QDateTime created;
};

} // namespace kestrel
