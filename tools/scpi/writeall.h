#pragma once

#include "scpi/deadline.h"

#include <string>
#include <string_view>

namespace kestrel::scpi
{

// How a descriptor takes bytes: a socket by send() without SIGPIPE, so that an instrument
// that closed its end fails the write instead of ending the program; anything else
// (a serial port) by write().
enum class Descriptor { Socket, Device };

// Writes all of data to a non-blocking descriptor by the deadline, through short writes
// and EINTR, waiting whenever it would block. On failure *failure says why: timedOut at
// the deadline, else what errorText makes of errno ("connection reset by the
// instrument").
bool writeAll(int fd, Descriptor kind, std::string_view data, Clock::time_point deadline,
              const std::string& timedOut, std::string (*errorText)(int error),
              std::string& failure);

} // namespace kestrel::scpi
