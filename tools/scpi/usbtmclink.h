#pragma once

#include "scpi/scpiexchange.h"
#include "scpi/target.h"

namespace kestrel::scpi
{

// One command over USBTMC, with the limits of options.
Exchange usbtmcExchange(const Target& target, const Options& options);

} // namespace kestrel::scpi
