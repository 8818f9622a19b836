#pragma once

#include "scpi/scpioptions.h"

#include <string>

namespace kestrel::scpi
{

// A query's reply is its first line; a failure is a short reason such as
// "connection refused" or "no reply within 5 s".
struct Exchange {
    std::string reply; // without the line ending
    std::string failure;
    bool ok() const { return failure.empty(); }
};

bool isQuery(const std::string& command);

// Sends the command to the instrument the address and port name, over the transport
// they choose, and reads the reply of a query. Never waits past the connect limit plus
// the reply limit.
Exchange exchange(const Options& options);

// Over a raw TCP socket: connects, sends the command and a line feed, reads one line.
Exchange socketExchange(const Options& options);

} // namespace kestrel::scpi
