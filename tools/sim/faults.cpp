#include "sim/faults.h"

#include <QStringList>

namespace kestrel::sim
{

std::optional<FaultSwitch> parseFault(const QString& text, QString* error)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    *error = QStringLiteral("--fault %1: expected KIND:INSTRUMENT:N, KIND silent, close or "
                            "garbage, INSTRUMENT source, meter or step, N from 1")
                 .arg(text);
    if (parts.size() != 3)
        return std::nullopt;

    FaultSwitch fault{FaultKind::Silent, parts[1], 0};
    if (parts[0] == QLatin1String("silent"))
        fault.kind = FaultKind::Silent;
    else if (parts[0] == QLatin1String("close"))
        fault.kind = FaultKind::Close;
    else if (parts[0] == QLatin1String("garbage"))
        fault.kind = FaultKind::Garbage;
    else
        return std::nullopt;
    if (fault.instrument != QLatin1String("source") && fault.instrument != QLatin1String("meter") &&
        fault.instrument != QLatin1String("step"))
        return std::nullopt;
    bool ok = false;
    fault.fromCommand = parts[2].toLongLong(&ok);
    if (!ok || fault.fromCommand < 1)
        return std::nullopt;
    error->clear();
    return fault;
}

std::optional<FaultKind> faultAt(const std::vector<FaultSwitch>& faults, qint64 command)
{
    std::optional<FaultKind> kind;
    qint64 since = 0;
    for (const FaultSwitch& fault : faults) {
        if (fault.fromCommand <= command && fault.fromCommand >= since) {
            kind = fault.kind;
            since = fault.fromCommand;
        }
    }
    return kind;
}

} // namespace kestrel::sim
