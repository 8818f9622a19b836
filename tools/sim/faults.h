#pragma once

#include <QString>

#include <optional>
#include <vector>

namespace kestrel::sim
{

// How a broken instrument answers. Commands still take effect; only replies change.
enum class FaultKind {
    Silent,  // no reply at all; the connection stays open
    Close,   // part of the reply, then the connection is closed
    Garbage, // a line that is not a number
};

// --fault KIND:INSTRUMENT:N: from the instrument's Nth command line on (1-based,
// every line it received on any connection).
struct FaultSwitch {
    FaultKind kind;
    QString instrument; // "source", "meter" or "step"
    qint64 fromCommand;
};

std::optional<FaultSwitch> parseFault(const QString& text, QString* error);

// The fault in force for an instrument's Nth command: the latest one switched on by then.
std::optional<FaultKind> faultAt(const std::vector<FaultSwitch>& faults, qint64 command);

inline constexpr char garbageReply[] = "#$%garbage";

} // namespace kestrel::sim
