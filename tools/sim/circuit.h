#pragma once

#include "sim/device.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace kestrel::sim
{

// What the instruments share: the source's output and the device it drives.
struct Circuit {
    std::shared_ptr<const Device> device; // null: the output drives a gate, which draws nothing
    bool outputOn = false;
    double levelVolts = 0.0;
    // The sourcing instrument's current limit (an SMU's compliance, a supply's CC setting):
    // beyond it the output holds the current at the limit instead of the level.
    double limitAmps = std::numeric_limits<double>::infinity();

    // The step source's output, wired to the device's gate; null without a step source.
    const Circuit* gate = nullptr;

    double gateVolts() const { return gate && gate->outputOn ? gate->levelVolts : 0.0; }
    double unlimitedCurrent() const
    {
        return outputOn && device ? device->gatedCurrent(levelVolts, gateVolts()) : 0.0;
    }
    double current() const { return std::clamp(unlimitedCurrent(), -limitAmps, limitAmps); }
    bool inCompliance() const { return std::abs(unlimitedCurrent()) > limitAmps; }
};

} // namespace kestrel::sim
