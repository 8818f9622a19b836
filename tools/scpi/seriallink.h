#pragma once

#include "scpi/scpiexchange.h"
#include "scpi/target.h"

namespace kestrel::scpi
{

// One command over serial, with the limits of options.
Exchange serialExchange(const Target& target, const Options& options);

} // namespace kestrel::scpi
