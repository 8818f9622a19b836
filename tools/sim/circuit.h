#pragma once

#include "sim/device.h"

#include <memory>

namespace kestrel::sim
{

// What both instruments share: the source's output and the device it drives.
struct Circuit {
    std::shared_ptr<const Device> device;
    bool outputOn = false;
    double levelVolts = 0.0;

    double current() const { return outputOn ? device->current(levelVolts) : 0.0; }
};

} // namespace kestrel::sim
