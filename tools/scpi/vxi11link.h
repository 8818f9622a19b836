#pragma once

#include "scpi/scpiexchange.h"
#include "scpi/target.h"

namespace kestrel::scpi
{

// One command over VXI-11: asks the host's portmapper (TCP port 111) for the core
// channel, links to the device the target names, writes the command and a line feed
// with END, reads the reply of a query up to its first line, and destroys the link.
// Finding the channel and making the link keep to the connect limit; the command and
// its reply to the reply limit.
Exchange vxi11Exchange(const Target& target, const Options& options);

} // namespace kestrel::scpi
