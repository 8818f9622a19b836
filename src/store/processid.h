#pragma once

#include <QtGlobal>

namespace kestrel
{

// A process as the system tells them apart: its id and when it started (in clock
// ticks since boot), so a process that later gets the same id is not taken for it.
struct ProcessId {
    qint64 pid = 0;
    qint64 started = 0;
    bool operator==(const ProcessId&) const = default;
};

ProcessId thisProcess();
// False for a process that has ended, a zombie, or another process with the same id.
bool isAlive(const ProcessId& process);

} // namespace kestrel
