#pragma once

#include "scpi/scpiexchange.h"
#include "scpi/target.h"

namespace kestrel::scpi
{

// One command over VXI-11, with the limits of options.
Exchange vxi11Exchange(const Target& target, const Options& options);

} // namespace kestrel::scpi
