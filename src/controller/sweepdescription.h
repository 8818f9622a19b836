#pragma once

#include "data/csvfile.h"
#include "data/datafile.h"
#include "data/run.h"

#include <memory>
#include <vector>

namespace kestrel
{

// The CSV header that describes a run: who measured what, how, when and how it ended.
CsvHeader describeRun(const QString& program, const Run& run);

// Why there is nothing to save ("no sweep has run yet.", "the last sweep recorded no
// points."), or an empty text. run may be null.
QString nothingToSave(const Run* run);

// The run's points in the saved-data format; nothing is written for a run without any.
WriteResult saveRun(const QString& path, const Run& run);
// The run as CSV with its header; nothing is written for a run without points.
WriteResult exportRunCsv(const QString& program, const QString& path, const Run& run);

// A family's curves as one CSV (see familyCsvText): the header of its last curve, with the
// family's start, its message and every step level; curves without points are left out.
WriteResult exportFamilyCsv(const QString& program, const QString& path,
                            const std::vector<std::shared_ptr<const Run>>& curves,
                            const QString& message);

// What a family's CSV says of its end, from its curves alone (as its store keeps them):
// "Family complete: 3 curves of 6 points." and what became of the step source when every
// curve planned completed, else "Curve 2 of 3 (step 2 V): " and its last curve's message.
QString familyMessage(const std::vector<std::shared_ptr<const Run>>& curves);

} // namespace kestrel
