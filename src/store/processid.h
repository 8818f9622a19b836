#pragma once

#include <QtGlobal>

#include <optional>

namespace kestrel
{

// A process as the system tells them apart: its id and when it started (in clock
// ticks since boot), so a process that later gets the same id is not taken for it.
struct ProcessId {
    qint64 pid = 0;
    qint64 started = 0;
    bool operator==(const ProcessId&) const = default;
};

// What the system tells of a process now, from /proc/PID/stat.
struct ProcessStat {
    char state = '?'; // R, S, Z, ...
    qint64 group = 0; // its process group
    qint64 started = 0;
};
std::optional<ProcessStat> processStat(qint64 pid);

ProcessId thisProcess();
// False for a process that has ended, a zombie, or another process with the same id.
bool isAlive(const ProcessId& process);

} // namespace kestrel
