#pragma once

#include "scpi/scpiexchange.h"
#include "scpi/target.h"

#include <cstddef>
#include <string>

namespace kestrel::scpi
{

// The instrument's device file as the kernel's usbtmc driver offers it; a test puts a
// fake in its place. Each call returns 0 (or a byte count) or -1 with errno set.
class UsbtmcFile
{
  public:
    virtual ~UsbtmcFile() = default;
    virtual int open(const std::string& path) = 0;
    // An exclusive lock without waiting: EWOULDBLOCK while another program holds it.
    virtual int tryLock() = 0;
    // The driver's limit for each transfer, read or write.
    virtual int setTimeout(unsigned milliseconds) = 0;
    virtual long write(const char* data, std::size_t size) = 0;
    // One transfer of the instrument's message, at most size bytes.
    virtual long read(char* data, std::size_t size) = 0;
};

// One command over USBTMC, with the limits of options.
Exchange usbtmcExchange(const Target& target, const Options& options);
Exchange usbtmcExchange(const Target& target, const Options& options, UsbtmcFile& file);

} // namespace kestrel::scpi
