#pragma once

#include "controller/sweepengine.h"
#include "data/csvfile.h"

namespace kestrel
{

// The CSV header that describes a sweep: who measured what, how, and when (now).
CsvHeader describeSweep(const QString& program, const SweepSettings& sweep,
                        const QString& sourceIdentity, const QString& meterIdentity);

} // namespace kestrel
