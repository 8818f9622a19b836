#include "controller/sweepdescription.h"

#include "data/currentranges.h"
#include "data/numbertext.h"

namespace kestrel
{

namespace
{

QString number(double value)
{
    return QString::fromStdString(formatDouble(value));
}

QString endpointText(const Endpoint& endpoint)
{
    return endpoint.address + QLatin1Char(':') + endpoint.port;
}

} // namespace

CsvHeader describeSweep(const QString& program, const SweepSettings& sweep,
                        const QString& sourceIdentity, const QString& meterIdentity)
{
    const auto& ranges = currentRanges();
    const int index = sweep.rangeIndex;
    CsvHeader header;
    header.program = program;
    header.taken = QDateTime::currentDateTime();
    header.source = endpointText(sweep.source);
    header.sourceIdentity = sourceIdentity;
    header.meter = endpointText(sweep.meter);
    header.meterIdentity = meterIdentity;
    header.start = number(sweep.plan.start);
    header.stop = number(sweep.plan.stop);
    header.steps = QString::number(sweep.plan.steps);
    header.shape = shapeName(sweep.plan.shape);
    header.range =
        index >= 0 && index < int(ranges.size())
            ? QStringLiteral("%1 (index %2)").arg(ranges[std::size_t(index)].label).arg(index)
            : QString::number(index);
    header.limit = sweep.limitAmps ? number(*sweep.limitAmps) : QString();
    return header;
}

} // namespace kestrel
